// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Frames.h"

namespace Frames {

QByteArray frame(const QString &deviceId, QStringView verb)
{
    QByteArray bytes = (deviceId + verb).toLatin1();
    bytes.append(CR);
    return bytes;
}

QByteArray output(const QString &deviceId, int n, bool on)
{
    return frame(deviceId, QString(u'O' + QString::number(n) + (on ? u'H' : u'L')));
}

QByteArray pulse(const QString &deviceId, int n, quint32 milliseconds)
{
    return frame(deviceId,
                 QString(u'O' + QString::number(n) + u'P' + QString::number(milliseconds)));
}

QString handshakeAnswer(const QString &deviceId)
{
    return deviceId + u"OK";
}

QString outputStateLine(const QString &deviceId, int n, bool on)
{
    return deviceId + u'O' + QString::number(n) + (on ? u'H' : u'L');
}

} // namespace Frames
