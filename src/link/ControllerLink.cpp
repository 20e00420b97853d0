// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "ControllerLink.h"

#include "Frames.h"
#include "common/BoardBus.h"
#include "common/Monotonic.h"

#include <algorithm>
#include <cmath>

using namespace PortErrors;
using std::chrono::milliseconds;

LinkTimings LinkTimings::scaled(double factor) const
{
    const auto scale = [factor](milliseconds ms) {
        return milliseconds(qRound64(double(ms.count()) * factor));
    };
    return {scale(retry), scale(replyTimeout), scale(queryDelay), scale(fatalDelay),
            scale(answerMargin)};
}

ControllerLink::ControllerLink(SerialPort *port, LinkTimings timings, QObject *parent)
    : QObject(parent), m_port(port), m_timings(timings)
{
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    m_retryTimer.setInterval(m_timings.retry);
    m_replyTimeout.setTimerType(Qt::PreciseTimer);
    m_replyTimeout.setSingleShot(true);
    m_replyTimeout.setInterval(m_timings.replyTimeout);
    m_fatalTimer.setTimerType(Qt::PreciseTimer);
    m_fatalTimer.setSingleShot(true);
    m_fatalTimer.setInterval(m_timings.fatalDelay);
    m_queryTimer.setTimerType(Qt::PreciseTimer);
    m_queryTimer.setSingleShot(true);
    m_answerTimer.setTimerType(Qt::PreciseTimer);
    m_answerTimer.setSingleShot(true);
    m_deadlineTimer.setTimerType(Qt::PreciseTimer);
    m_deadlineTimer.setSingleShot(true);
    m_clock.start();

    connect(&m_retryTimer, &QTimer::timeout, this, &ControllerLink::attemptConnection);
    connect(&m_replyTimeout, &QTimer::timeout, this, &ControllerLink::onReplyTimeout);
    connect(&m_queryTimer, &QTimer::timeout, this, &ControllerLink::sendDueQuery);
    connect(&m_answerTimer, &QTimer::timeout, this, &ControllerLink::checkAnswer);
    connect(&m_deadlineTimer, &QTimer::timeout, this, &ControllerLink::dropExpired);
    connect(&m_fatalTimer, &QTimer::timeout, this, [this] {
        stop();
        emit fatalEnd();
    });
    connect(m_port, &SerialPort::received, this, &ControllerLink::onReceived);
    connect(m_port, &SerialPort::deviceLost, this, &ControllerLink::onDeviceLost);
}

void ControllerLink::start(const LinkSettings &settings)
{
    m_port->close();
    m_settings = settings;
    m_handshakeAnswer = Frames::handshakeAnswer(settings.deviceId);
    for (int n = 1; n <= Frames::maxOutputs; ++n) {
        m_stateLines[2 * (n - 1)] = Frames::outputStateLine(settings.deviceId, n, true);
        m_stateLines[2 * (n - 1) + 1] = Frames::outputStateLine(settings.deviceId, n, false);
    }
    m_replyPrefix = u"COM:" + QString::number(settings.portNumber) + u" Baud:" + settings.baudText +
                    u" COM data: ";
    m_portFailure = {};
    if (const auto line = LineSettings::parse(settings.baudText + u",n,8,1")) {
        const double bits = 1 + line->dataBits + (line->parity != LineSettings::Parity::None) +
                            (line->stopBits == LineSettings::StopBits::One ? 1.0 : 2.0);
        m_usPerByte = qint64(std::ceil(bits * 1e6 / line->baud));
    }
    // A query still due belongs to the link before this start; its port is closed now, and so
    // is every command that waits.
    cancelPendingQueries();
    dropWaiting(CommandOutcome::Dropped);
    setConnected(false);
    setStatus(Status::Searching, QStringLiteral("Status:"));
    emit settingsChanged();
    m_retryTimer.start();
    if (m_unattended)
        attemptConnection();
}

void ControllerLink::cancelPendingQueries()
{
    m_queriesDue.clear();
    m_queryTimer.stop();
}

void ControllerLink::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    emit connectedChanged(connected);
}

void ControllerLink::stop()
{
    cancelPendingQueries();
    dropWaiting(CommandOutcome::Dropped);
    m_retryTimer.stop();
    m_replyTimeout.stop();
    m_fatalTimer.stop();
    m_port->close();
    setConnected(false);
}

// One connection attempt. A failing step ends it; the next tick tries again.
void ControllerLink::attemptConnection()
{
    const auto lineSettings = LineSettings::parse(m_settings.baudText + u",n,8,1");
    if (!lineSettings) {
        showPortFailure({InvalidPropertyValue,
                         u"the bit rate \"" + m_settings.baudText + u"\" is not a whole number"});
        return;
    }
    setStatus(Status::Searching, QStringLiteral("Searching for Vantrelo uC code..."));
    armReplyTimeout();
    if (!m_port->isOpen()) {
        if (const PortError error = m_port->open(m_settings.portNumber, *lineSettings)) {
            showPortFailure(error);
            return;
        }
    }
    if (const PortError error = m_port->write(Frames::handshake(m_settings.deviceId))) {
        showPortFailure(error);
        return;
    }
    m_portFailure = {};
}

void ControllerLink::showPortFailure(const PortError &error)
{
    m_portFailure = error;
    switch (error.number) {
    case InvalidPortNumber:
        setStatus(Status::Failed, QStringLiteral("Invalid Port Number!"));
        break;
    case PortAlreadyOpen:
        setStatus(Status::Failed, QStringLiteral("Port already open!"));
        break;
    default:
        setStatus(Status::Failed, u"COM Port comm-error! " + QString::number(error.number));
    }
}

void ControllerLink::onReplyTimeout()
{
    setStatus(Status::Failed, QStringLiteral("No response!"));
}

void ControllerLink::armReplyTimeout()
{
    // Arming a running time-out keeps its deadline: repeated handshakes do not postpone it.
    if (!m_replyTimeout.isActive())
        m_replyTimeout.start();
}

void ControllerLink::onReceived(const QByteArray &bytes)
{
    m_lastByteAt = nowUs();
    for (const char c : bytes) {
        if (const auto line = m_assembler.push(c))
            handleLine(QString::fromLatin1(*line));
    }
}

void ControllerLink::onDeviceLost(const PortError &error)
{
    m_portFailure = error;
    // A device that comes back starts a new stream: what came before it is no line's start.
    m_assembler.clear();
    // While searching, the next attempt opens the port again when the device is back.
    if (!m_connected)
        return;
    // The outputs stay usable: a command on the closed port takes the fatal path.
    loseConnection(error);
}

// The states shown no longer hold: say so at once, and search again one retry interval later,
// as after a link start; the board's answer then queries its states anew.
void ControllerLink::loseConnection(const PortError &error)
{
    m_port->close();
    m_assembler.clear();
    m_portFailure = error;
    cancelPendingQueries();
    dropWaiting(CommandOutcome::Dropped);
    m_replyTimeout.stop(); // the failure stays shown until the first new attempt
    setConnected(false);
    showPortFailure(error);
    m_retryTimer.start();
    emit connectionLost(error);
}

// Every line counts as the controller's answer and is shown; lines are recognised by
// comparing them whole with the texts built from the identifier.
void ControllerLink::handleLine(const QString &line)
{
    m_replyTimeout.stop();
    if (line == m_handshakeAnswer) {
        m_retryTimer.stop();
        setConnected(true);
        setStatus(Status::Connected, m_replyPrefix + line);
        emit connected();
        queryStates(); // a later handshake answer queries again
        return;
    }
    const auto match = std::find(m_stateLines.begin(), m_stateLines.end(), line);
    if (match == m_stateLines.end()) {
        setStatus(Status::Reply, m_replyPrefix + line);
        return;
    }
    const auto index = std::distance(m_stateLines.begin(), match);
    const int output = static_cast<int>(index / 2) + 1;
    const bool on = index % 2 == 0;
    noteStateLine(output);
    if (output > outputCount) {
        // A report for an output the window has no place for.
        setStatus(Status::Reply, QStringLiteral("???"));
        return;
    }
    setStatus(Status::Reply, m_replyPrefix + line);
    m_outputs[static_cast<size_t>(output - 1)] = on;
    emit outputReported(output, on);
}

// The reply time-out counts from the handshake answer; lines and clicks that come during the
// delay are handled before the query goes out.
void ControllerLink::queryStates()
{
    armReplyTimeout();
    // One millisecond more: strictly later than the delay, even when the timer fires on it.
    m_queriesDue.append(m_clock.elapsed() + m_timings.queryDelay.count() + 1);
    if (!m_queryTimer.isActive())
        m_queryTimer.start(std::chrono::milliseconds(m_queriesDue.first() - m_clock.elapsed()));
}

void ControllerLink::sendDueQuery()
{
    m_queriesDue.removeFirst();
    if (!m_queriesDue.isEmpty())
        m_queryTimer.start(
            std::chrono::milliseconds(qMax<qint64>(0, m_queriesDue.first() - m_clock.elapsed())));
    enqueue({Frames::stateQuery(m_settings.deviceId), 0, false, {}});
}

std::optional<bool> ControllerLink::outputState(int output) const
{
    if (output < 1 || output > outputCount)
        return std::nullopt;
    return m_outputs[static_cast<size_t>(output - 1)];
}

void ControllerLink::toggleOutput(int output, CommandRequest request)
{
    setOutput(output, !outputState(output).value_or(false), std::move(request));
}

void ControllerLink::setOutput(int output, bool on, CommandRequest request)
{
    if (output < 1 || output > outputCount)
        return enqueue({{}, 0, true, std::move(request)});
    enqueue({Frames::output(m_settings.deviceId, output, on), output, true, std::move(request)});
}

void ControllerLink::pulseOutput(int output, quint32 ms, CommandRequest request)
{
    if (output < 1 || output > outputCount || ms < 1 || ms > BoardBus::maxPulseMs)
        return enqueue({{}, 0, true, std::move(request)});
    enqueue({Frames::pulse(m_settings.deviceId, output, ms), output, true, std::move(request)});
}

void ControllerLink::switchAllOutputs(bool on, CommandRequest request)
{
    enqueue({Frames::allOutputs(m_settings.deviceId, on), 0, true, std::move(request)});
}

namespace {

void tell(const CommandRequest &request, CommandOutcome::Result result, const PortError &error = {})
{
    if (request.done)
        request.done({result, error});
}

bool expired(const CommandRequest &request)
{
    return request.deadline && Monotonic::nowUsec() >= *request.deadline;
}

} // namespace

void ControllerLink::enqueue(Command command)
{
    if (command.frame.isEmpty()) // out of range: nothing to send
        return tell(command.request, CommandOutcome::Dropped);
    if (expired(command.request))
        return tell(command.request, CommandOutcome::Expired);
    m_queue.append(std::move(command));
    sendNext();
}

// Writes the first waiting command when none is in flight. A command that fails to write is
// fatal (unattended: the connection is lost, and what waits with it).
void ControllerLink::sendNext()
{
    if (m_sending) // a completion called back into the link: the loop below goes on
        return;
    m_sending = true;
    while (!m_inFlight && !m_queue.isEmpty()) {
        const Command command = m_queue.takeFirst();
        if (expired(command.request)) {
            tell(command.request, CommandOutcome::Expired);
            continue;
        }
        const qint64 now = nowUs();
        if (const PortError error = m_port->write(command.frame)) {
            if (m_unattended)
                loseConnection(error);
            else
                failFatally(error.number);
            tell(command.request, CommandOutcome::Failed, error);
            continue;
        }
        m_inFlight = InFlight{command.output, command.switches, now,
                              now + command.frame.size() * m_usPerByte, 0};
        m_lastByteAt = 0;
        checkAnswer();
        tell(command.request, CommandOutcome::Written);
    }
    m_sending = false;
    armDeadline();
}

// The command in flight is answered once the board has fallen quiet for the wire time of an
// answer's line; a board known to answer it is waited for, up to the reply time-out.
void ControllerLink::checkAnswer()
{
    if (!m_inFlight)
        return;
    const qint64 now = nowUs();
    const qint64 line = (m_settings.deviceId.size() + 5) * m_usPerByte; // <id>O16H CR
    const qint64 margin =
        std::chrono::duration_cast<std::chrono::microseconds>(m_timings.answerMargin).count();
    const qint64 quietAt = std::max(m_inFlight->sentBy, m_lastByteAt) + line + margin;
    const qint64 giveUpAt =
        m_inFlight->writtenAt +
        std::chrono::duration_cast<std::chrono::microseconds>(m_timings.replyTimeout).count();
    const bool answers = m_inFlight->output
                             ? m_boardEchoes && m_inFlight->switches
                             : m_boardOutputs > 0 && (m_boardEchoes || !m_inFlight->switches);
    const qint64 until = std::min(now < quietAt ? quietAt : answers ? giveUpAt : now, giveUpAt);
    if (now >= until)
        return finishInFlight();
    m_answerTimer.start(std::chrono::milliseconds((until - now + 999) / 1000));
}

void ControllerLink::noteStateLine(int output)
{
    if (!m_inFlight)
        return;
    m_inFlight->highest = std::max(m_inFlight->highest, output);
    if (m_inFlight->output == output) {
        m_boardEchoes = m_boardEchoes || m_inFlight->switches;
        finishInFlight();
    } else if (!m_inFlight->output && output == m_boardOutputs) {
        finishInFlight();
    }
}

void ControllerLink::finishInFlight()
{
    if (!m_inFlight->output) // every output answered: how many the board has
        m_boardOutputs = std::max(m_boardOutputs, m_inFlight->highest);
    m_inFlight.reset();
    m_answerTimer.stop();
    sendNext();
}

// Every waiting command is told, and the one in flight is forgotten: the board that would
// answer it is gone, or is greeted anew.
void ControllerLink::dropWaiting(CommandOutcome::Result result)
{
    m_inFlight.reset();
    m_answerTimer.stop();
    m_deadlineTimer.stop();
    m_boardOutputs = 0;
    m_boardEchoes = false;
    const QList<Command> dropped = std::exchange(m_queue, {});
    for (const Command &command : dropped)
        tell(command.request, result);
}

void ControllerLink::dropExpired()
{
    QList<Command> gone;
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (expired(it->request)) {
            gone.append(std::move(*it));
            it = m_queue.erase(it);
        } else {
            ++it;
        }
    }
    armDeadline();
    for (const Command &command : std::as_const(gone))
        tell(command.request, CommandOutcome::Expired);
}

void ControllerLink::armDeadline()
{
    std::optional<qint64> first;
    for (const Command &command : std::as_const(m_queue))
        if (command.request.deadline)
            first = std::min(first.value_or(*command.request.deadline), *command.request.deadline);
    if (!first) {
        m_deadlineTimer.stop();
        return;
    }
    const qint64 remaining = std::max<qint64>(0, *first - Monotonic::nowUsec());
    m_deadlineTimer.start(std::chrono::milliseconds((remaining + 999) / 1000));
}

void ControllerLink::failFatally(int errorNumber)
{
    m_failed = true;
    // The colour stays; ticks and lines during the delay may still replace the text.
    setStatus(m_status,
              u"COM Port communication error! Close App! " + QString::number(errorNumber));
    m_fatalTimer.start(); // a later failure restarts the delay
}

void ControllerLink::setStatus(Status status, const QString &text)
{
    m_status = status;
    m_statusText = text;
    emit statusChanged(status, text);
}
