// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>
#include <QString>

// The line protocol with the controller. A command frame is the device identifier, the verb
// and CR, with no separator; a reply line is whatever arrived up to a CR, LFs removed.
//
// One character is one byte on the wire, both ways: frames and lines are converted with
// Latin-1, which maps every byte to one character and back. A character of the identifier
// that Latin-1 cannot hold is sent as '?'; since replies are compared as text with the
// identifier itself, such an identifier can never be answered by mistake.
namespace Frames {

inline constexpr char CR = '\r';

// The highest output number the reply side recognises.
inline constexpr int maxOutputs = 16;

QByteArray frame(const QString &deviceId, QStringView verb);

inline QByteArray handshake(const QString &deviceId) // <id>AT
{
    return frame(deviceId, u"AT");
}
inline QByteArray stateQuery(const QString &deviceId) // <id>OA
{
    return frame(deviceId, u"OA");
}
inline QByteArray allOutputs(const QString &deviceId, bool on) // <id>OAH / <id>OAL
{
    return frame(deviceId, on ? u"OAH" : u"OAL");
}
QByteArray output(const QString &deviceId, int n, bool on); // <id>O<n>H / <id>O<n>L
// <id>O<n>P<ms>: on now, off again after ms milliseconds (at most BoardBus::maxPulseMs),
// kept by the board.
QByteArray pulse(const QString &deviceId, int n, quint32 milliseconds);

// The handshake answer: <id>OK.
QString handshakeAnswer(const QString &deviceId);
// The output-state line <id>O<n>H (on) or <id>O<n>L (off).
QString outputStateLine(const QString &deviceId, int n, bool on);

} // namespace Frames
