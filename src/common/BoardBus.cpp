// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "BoardBus.h"

namespace BoardBus {

QString label(const QString &copyName)
{
    QString out;
    const QByteArray bytes = copyName.toUtf8();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (letter || (digit && i > 0))
            out += QLatin1Char(char(c));
        else
            out += u'_' + QString::number(c, 16).rightJustified(2, u'0');
    }
    return out;
}

QString serviceName(const QString &copyName)
{
    return QString::fromUtf16(servicePrefix) + label(copyName);
}

} // namespace BoardBus
