// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QFont>

// The design's fonts, "MS Sans Serif" and "Arial", are not on Linux; Liberation Sans, metric
// compatible with Arial, is the nearest face. Sizes are set in pixels at 96 dpi (8.25 pt =
// 11 px, 9.75 pt = 13 px) so that text keeps fitting the controls, which are sized in the
// same device-independent pixels.
namespace Fonts {
QFont face(double points, bool bold);
// "MS Sans Serif" 8.25, "MS Sans Serif" 9.75 bold and regular, "Arial" 8.25.
inline QFont standard()
{
    return face(8.25, false);
}
inline QFont largeBold()
{
    return face(9.75, true);
}
inline QFont largeRegular()
{
    return face(9.75, false);
}
inline QFont status()
{
    return face(8.25, false);
}
} // namespace Fonts
