// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>

#include <optional>

// Converts a box's text to a 16-bit signed integer, as "Save" does for the COM and STime boxes.
// Accepted: blanks around the number, an optional "+" or "-", decimal digits with an optional
// fraction after a "." (either side of the point may be empty, not both). The fraction is
// rounded to the nearest whole number, a half to the even neighbour ("2.5" -> 2, "3.5" -> 4,
// "-2.5" -> -2). Refused: an empty text, exponents ("1e2"), thousands separators, a decimal
// comma, hexadecimal, and results outside -32768..32767. The rounding is exact: it works on
// the digits, not on a binary floating-point value.
std::optional<qint16> convertToInt16(const QString &text);
