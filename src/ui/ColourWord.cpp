// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "ColourWord.h"

namespace Colours {

QColor toColor(ColourWord word, const QPalette &palette)
{
    if (!isSystem(word))
        return QColor(static_cast<int>(word & 0xFF), static_cast<int>((word >> 8) & 0xFF),
                      static_cast<int>((word >> 16) & 0xFF));
    switch (word & 0xFF) {
    case 0x0F:
        return palette.color(QPalette::Active, QPalette::Button);
    case 0x0D:
        return palette.color(QPalette::Active, QPalette::Highlight);
    case 0x03:
        return palette.color(QPalette::Active, QPalette::Dark);
    case 0x05:
        return palette.color(QPalette::Active, QPalette::Base);
    case 0x08:
        return palette.color(QPalette::Active, QPalette::Text);
    case 0x12:
        return palette.color(QPalette::Active, QPalette::ButtonText);
    default:
        return palette.color(QPalette::Active, QPalette::Window);
    }
}

ColourWord fromRgb(QRgb rgb)
{
    return static_cast<ColourWord>(qRed(rgb)) | (static_cast<ColourWord>(qGreen(rgb)) << 8) |
           (static_cast<ColourWord>(qBlue(rgb)) << 16);
}

} // namespace Colours
