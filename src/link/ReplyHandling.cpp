// The receive side of the window: line assembly and reply handling.

#include "app/VantreloWindow.h"
#include "link/Frames.h"

// Re-entrant: reply handling waits inside the state query, and the next receive event is
// delivered inside that wait. The line being handled has already left the buffer then, so the
// nested call gathers the following characters into a fresh line.
void VantreloWindow::MSComm1_OnComm()
{
    if (m_finished)
        return;
    if (m_comm->CommEvent() == SerialComm::comEventDeviceLost) {
        // The status stays as the link left it; the tooltip tells what happened.
        explainPort(deviceWentAway, m_comm->lastDetail());
        return;
    }
    if (m_comm->CommEvent() != SerialComm::comEvReceive)
        return; // other line events change nothing
    try {
        do {
            char slot;
            if (!m_comm->Input(slot)) // one character; nothing when none waits
                continue;
            if (const auto line = m_rxLine.push(slot))
                HandleReply(QString::fromLatin1(*line));
        } while (!m_finished && m_comm->InBufferCount() != 0);
    } catch (const CommError &) {
        // The port was closed while a nested handler ran (a save, the exit, a lost device).
        // What had not been read stays unread; nothing else is affected.
    }
}

void VantreloWindow::HandleReply(const QString &line)
{
    m_timerCom.disarm();
    setStatusColour(Colours::StatusReply);
    setStatus(m_replyPrefix + line);

    if (line == Frames::handshakeAnswer(m_settings.DeviceId)) {
        m_ui.lblDevCode->setText(u"Vantrelo: " + windowName());
        m_timer1.stop();
        setStatusColour(Colours::StatusConnected);
        m_ui.frmOuts->setEnabled(true);
        cmdIspis_Click(); // waits, letting events run
        if (m_finished)
            return;
    }

    const auto state = Frames::matchOutputState(line, m_settings.DeviceId);
    if (!state)
        return;
    if (state->output > SettingsRecord::shownOutputs) {
        // The window has buttons for outputs 1 to 4 only.
        setStatus(QStringLiteral("???"));
        return;
    }
    const ColourWord colour = state->on ? Colours::OutputOn : Colours::OutputOff;
    m_ui.cmdOut[static_cast<size_t>(state->output)]->setBackColour(colour);
    emit outputShown(state->output, colour);
}
