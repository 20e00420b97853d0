// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>
#include <QList>

// The controller's side of the line protocol, without any I/O: bytes in, reply bytes out.
//
// Frames end with CR (LFs are ignored). A frame that begins with the controller's identifier
// is answered: <id>AT -> <id>OK; <id>OA -> one state line per output; <id>O<n>H / L switches
// output n and echoes its state line; <id>OAH / <id>OAL switch all outputs and echo each
// state line. Anything else gets no answer. Every answer line ends with CR, and LF too when
// asked.
class ControllerCore
{
public:
    explicit ControllerCore(QByteArray deviceId = {}, int outputs = 4, bool lineFeed = false);

    // Takes received bytes; returns the reply bytes for every frame they completed.
    QByteArray feed(const QByteArray &bytes);
    // The frames completed by the last feed, without their CR.
    const QList<QByteArray> &lastFrames() const { return m_frames; }

    // Answers one frame (without its CR).
    QByteArray answer(const QByteArray &frame);

    // Switches output n (1-based) and returns its state line, as an unsolicited report.
    QByteArray setOutput(int n, bool on);
    bool output(int n) const { return m_states.value(n - 1); }
    int outputs() const { return static_cast<int>(m_states.size()); }

    QByteArray stateLine(int n) const;

private:
    QByteArray line(const QByteArray &text) const;

    QByteArray m_id;
    QList<bool> m_states;
    bool m_lineFeed;
    QByteArray m_pending;
    QList<QByteArray> m_frames;
};
