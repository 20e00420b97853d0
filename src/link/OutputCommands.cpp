// The operator's commands and the program's one fatal path.

#include "app/VantreloWindow.h"
#include "link/Frames.h"

// The commands only send: buttons change colour when the controller's echo arrives.
void VantreloWindow::sendCommand(const QByteArray &frame)
{
    try {
        m_comm->Output(frame);
    } catch (const CommError &error) {
        FatalCommError(error.number());
    }
}

// Re-entrant: a click can arrive inside the state query's or FatalCommError's wait.
void VantreloWindow::cmdOut_Click(int n)
{
    if (m_finished)
        return;
    const ColourWord colour = m_ui.cmdOut[static_cast<size_t>(n)]->backColour();
    if (colour == Colours::OutputOff)
        sendCommand(Frames::output(m_settings.DeviceId, n, true));
    else if (colour == Colours::OutputOn)
        sendCommand(Frames::output(m_settings.DeviceId, n, false));
}

void VantreloWindow::cmdAll1_Click()
{
    if (!m_finished)
        sendCommand(Frames::allOutputs(m_settings.DeviceId, true));
}

void VantreloWindow::cmdAll0_Click()
{
    if (!m_finished)
        sendCommand(Frames::allOutputs(m_settings.DeviceId, false));
}

// The state query. The reply time-out counts from before the wait; events run during it, so
// replies, ticks and clicks are handled before the query frame goes out.
void VantreloWindow::cmdIspis_Click()
{
    m_timerCom.arm();
    waitLettingEventsRun(m_options.timings.queryWait);
    if (m_finished)
        return;
    sendCommand(Frames::stateQuery(m_settings.DeviceId));
}

// Re-entrant: a command that fails inside this wait starts a nested FatalCommError, and the
// program ends when that later wait is over.
void VantreloWindow::FatalCommError(int number)
{
    setStatus(u"COM Port communication error! Close App! " + QString::number(number));
    waitLettingEventsRun(m_options.timings.fatalWait);
    endProgram();
}
