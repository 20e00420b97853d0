// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "ColourWord.h"

#include <QApplication>
#include <QStyle>

#include <algorithm>
#include <cmath>

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

double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor textOn(ColourWord back, const QPalette &palette)
{
    const QColor desktop = palette.color(QPalette::Active, QPalette::ButtonText);
    if (isSystem(back))
        return desktop;
    const QColor fixed = toColor(back, palette);
    const QColor designed =
        QApplication::style()->standardPalette().color(QPalette::Active, QPalette::ButtonText);
    if (contrast(designed, fixed) >= 4.5 || contrast(designed, fixed) >= contrast(desktop, fixed))
        return designed;
    return desktop;
}

} // namespace Colours
