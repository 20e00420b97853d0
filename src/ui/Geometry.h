// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QRect>

// Positions and sizes are given in twips; 15 twips make one device-independent pixel
// (Qt scales those for the screen).
namespace Geometry {
inline constexpr int twipsPerPixel = 15;

constexpr int px(int twips)
{
    return (twips + twipsPerPixel / 2) / twipsPerPixel;
}

constexpr QRect twips(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

inline constexpr int clientWidth = 7785;  // 519 px
inline constexpr int clientHeight = 4455; // 297 px
} // namespace Geometry
