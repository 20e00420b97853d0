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

QString copyName(const QString &serviceName)
{
    const QString prefix = QString::fromUtf16(servicePrefix);
    if (!serviceName.startsWith(prefix))
        return {};
    const QString label = serviceName.mid(prefix.size());
    QByteArray bytes;
    for (qsizetype i = 0; i < label.size(); ++i) {
        bool ok = false;
        const uint byte =
            label[i] == u'_' && i + 2 < label.size() ? label.mid(i + 1, 2).toUInt(&ok, 16) : 0;
        if (ok) {
            bytes += char(byte);
            i += 2;
        } else {
            bytes += label[i].toLatin1();
        }
    }
    return QString::fromUtf8(bytes);
}

QString nameRefusal(const QString &copyName)
{
    // A bus name holds at most 255 characters.
    constexpr qsizetype longest = 255;
    if (copyName.isEmpty())
        return QStringLiteral("a copy's name is not empty");
    if (const qsizetype length = serviceName(copyName).size(); length > longest)
        return QStringLiteral("the name is too long for the bus: its bus name would have %1 "
                              "characters, and a bus name has at most %2")
            .arg(length)
            .arg(longest);
    return {};
}

} // namespace BoardBus
