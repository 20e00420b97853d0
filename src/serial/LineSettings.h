// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>

#include <optional>

// The serial component's settings text: "<baud>,<parity>,<data bits>,<stop bits>",
// for example "9600,N,8,1". Parity N/E/O/M/S in either case; 5 to 8 data bits; 1, 1.5 or 2
// stop bits; the baud a positive whole number.
struct LineSettings
{
    enum class Parity
    {
        None,
        Even,
        Odd,
        Mark,
        Space
    };
    enum class StopBits
    {
        One,
        OneAndHalf,
        Two
    };

    qint32 baud = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    static std::optional<LineSettings> parse(const QString &text);
    friend bool operator==(const LineSettings &, const LineSettings &) = default;
};
