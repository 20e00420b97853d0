// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "ControllerCore.h"

ControllerCore::ControllerCore(QByteArray deviceId, int outputs, bool lineFeed)
    : m_id(std::move(deviceId)), m_states(qBound(1, outputs, 16), false), m_lineFeed(lineFeed)
{
}

QByteArray ControllerCore::feed(const QByteArray &bytes)
{
    m_frames.clear();
    QByteArray replies;
    for (const char c : bytes) {
        if (c == '\n')
            continue;
        if (c != '\r') {
            // A controller has a small frame buffer; a run without CR is dropped.
            if (m_pending.size() < 256)
                m_pending.append(c);
            continue;
        }
        const QByteArray frame = std::exchange(m_pending, QByteArray());
        if (frame.isEmpty())
            continue;
        m_frames << frame;
        replies += answer(frame);
    }
    return replies;
}

QByteArray ControllerCore::answer(const QByteArray &frame)
{
    if (!frame.startsWith(m_id))
        return {};
    const QByteArray verb = frame.mid(m_id.size());
    if (verb == "AT")
        return line(m_id + "OK");
    if (verb == "OA") {
        QByteArray out;
        for (int n = 1; n <= outputs(); ++n)
            out += stateLine(n);
        return out;
    }
    if (verb == "OAH" || verb == "OAL") {
        QByteArray out;
        for (int n = 1; n <= outputs(); ++n)
            out += setOutput(n, verb.endsWith('H'));
        return out;
    }
    // O<n>H / O<n>L, n without leading zero.
    if (verb.size() >= 3 && verb.size() <= 4 && verb.startsWith('O') && verb[1] != '0' &&
        (verb.endsWith('H') || verb.endsWith('L'))) {
        bool ok = false;
        const int n = verb.mid(1, verb.size() - 2).toInt(&ok);
        if (ok && n >= 1 && n <= outputs())
            return setOutput(n, verb.endsWith('H'));
    }
    return {};
}

QByteArray ControllerCore::setOutput(int n, bool on)
{
    m_states[n - 1] = on;
    return stateLine(n);
}

QByteArray ControllerCore::stateLine(int n) const
{
    return line(m_id + 'O' + QByteArray::number(n) + (m_states.value(n - 1) ? 'H' : 'L'));
}

QByteArray ControllerCore::line(const QByteArray &text) const
{
    return text + (m_lineFeed ? "\r\n" : "\r");
}
