// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "LineSettings.h"

#include <QStringList>

std::optional<LineSettings> LineSettings::parse(const QString &text)
{
    const QStringList items = text.split(u',');
    if (items.size() != 4)
        return std::nullopt;

    LineSettings s;
    const QString &baud = items[0];
    if (baud.isEmpty() || baud.size() > 9)
        return std::nullopt;
    for (const QChar c : baud) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    s.baud = baud.toInt();
    if (s.baud <= 0)
        return std::nullopt;

    if (items[1].size() != 1)
        return std::nullopt;
    switch (items[1].at(0).toUpper().unicode()) {
    case u'N':
        s.parity = Parity::None;
        break;
    case u'E':
        s.parity = Parity::Even;
        break;
    case u'O':
        s.parity = Parity::Odd;
        break;
    case u'M':
        s.parity = Parity::Mark;
        break;
    case u'S':
        s.parity = Parity::Space;
        break;
    default:
        return std::nullopt;
    }

    if (items[2].size() != 1 || items[2].at(0) < u'5' || items[2].at(0) > u'8')
        return std::nullopt;
    s.dataBits = items[2].at(0).digitValue();

    if (items[3] == u"1")
        s.stopBits = StopBits::One;
    else if (items[3] == u"1.5")
        s.stopBits = StopBits::OneAndHalf;
    else if (items[3] == u"2")
        s.stopBits = StopBits::Two;
    else
        return std::nullopt;
    return s;
}
