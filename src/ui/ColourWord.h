// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QColor>
#include <QPalette>

// A colour word: 0x00BBGGRR, or 0x80000000 + n for the desktop's system colour n.
using ColourWord = quint32;

namespace Colours {
inline constexpr ColourWord ButtonFace = 0x8000000F;
inline constexpr ColourWord Highlight = 0x8000000D;
inline constexpr ColourWord InactiveTitle = 0x80000003;
inline constexpr ColourWord WindowBackground = 0x80000005;
inline constexpr ColourWord WindowText = 0x80000008;
inline constexpr ColourWord ButtonText = 0x80000012;

// Status line backgrounds.
inline constexpr ColourWord StatusSearching = 0xC0FFFF; // pale yellow
inline constexpr ColourWord StatusFailure = 0x8080FF;   // pale red
inline constexpr ColourWord StatusReply = 0xC0FFC0;     // pale green
inline constexpr ColourWord StatusConnected = 0x00C000; // green

// Output buttons.
inline constexpr ColourWord OutputOn = 0x00C000;
inline constexpr ColourWord OutputOff = ButtonFace;

inline constexpr bool isSystem(ColourWord w)
{
    return (w & 0x80000000u) != 0;
}

// Resolves a word against a palette; system colours map to the palette's roles.
QColor toColor(ColourWord word, const QPalette &palette);
// The inverse for fixed colours: 0x00BBGGRR of an RGB colour.
ColourWord fromRgb(QRgb rgb);

// The contrast ratio of two colours (1 to 21), as WCAG defines it.
double contrast(const QColor &a, const QColor &b);
// The text colour on a back colour word. On a system colour, the palette's button text: the
// desktop chose the two together. On a fixed colour, the designed text colour (the style's own
// palette's) where it reads, 4.5:1 or better, else whichever of it and the palette's reads
// better: a dark desktop's light text never lands on a pale fixed colour.
QColor textOn(ColourWord back, const QPalette &palette);
} // namespace Colours
