// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "BoardService.h"

#include "BoardAdaptor.h"
#include "common/BoardBus.h"
#include "common/Monotonic.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QPointer>

#include <limits>

BoardService::BoardService(ControllerLink *link, QString name, QObject *parent)
    : QObject(parent), m_link(link), m_name(std::move(name))
{
    new BoardAdaptor(this); // owned by this object, relays OutputReported
    for (int n = 1; n <= ControllerLink::outputCount; ++n)
        m_outputNames << QString();
    connect(m_link, &ControllerLink::outputReported, this, [this](int output, bool on) {
        announceChanges();
        emit OutputReported(uint(output), on);
    });
    connect(m_link, &ControllerLink::statusChanged, this, &BoardService::announceChanges);
    connect(m_link, &ControllerLink::connectedChanged, this, &BoardService::announceChanges);
    connect(m_link, &ControllerLink::settingsChanged, this, &BoardService::announceChanges);
    m_announced = properties();
}

QString BoardService::registerOn(QDBusConnection bus)
{
    const QString path = QString::fromUtf16(BoardBus::objectPath);
    const QString service = BoardBus::serviceName(m_name);
    if (const QString refusal = BoardBus::nameRefusal(m_name); !refusal.isEmpty())
        return refusal;
    if (!bus.registerObject(path, this))
        return u"cannot export " + path + u": " + bus.lastError().message();
    if (!bus.registerService(service)) {
        bus.unregisterObject(path);
        const QString owner = bus.interface()->serviceOwner(service).value();
        if (owner.isEmpty())
            return u"the bus name " + service + u" cannot be taken: " + bus.lastError().message();
        return u"the bus name " + service + u" is held by another copy of the same name (" + owner +
               u')';
    }
    m_bus = bus;
    m_announced = properties();
    return {};
}

void BoardService::setOutputNames(const QStringList &names)
{
    m_outputNames = names;
    announceChanges();
}

QStringList BoardService::outputStates() const
{
    QStringList states;
    for (int n = 1; n <= ControllerLink::outputCount; ++n) {
        const auto state = m_link->outputState(n);
        states << (!state   ? QStringLiteral("unknown")
                   : *state ? QStringLiteral("on")
                            : QStringLiteral("off"));
    }
    return states;
}

bool BoardService::refuse(const QString &call, const char16_t *error, const QString &message)
{
    if (calledFromDBus())
        sendErrorReply(QString::fromUtf16(error), message);
    emit callFailed(call, message);
    return true;
}

// Refuses a call that must write nothing; single: the call names one output.
bool BoardService::refused(const QString &call, uint output, bool single)
{
    const auto refuse = [&](const char16_t *error, const QString &message) {
        return BoardService::refuse(call, error, message);
    };
    if (m_link->hasFailed())
        return refuse(BoardBus::Errors::writeFailed,
                      m_name + u" is ending: a command failed on its port (" +
                          m_link->statusText() + u").");
    if (single && (output < 1 || output > uint(ControllerLink::outputCount)))
        return refuse(BoardBus::Errors::noSuchOutput,
                      QStringLiteral("There is no output %1: outputs are 1 to %2.")
                          .arg(output)
                          .arg(ControllerLink::outputCount));
    if (!m_link->isConnected())
        return refuse(BoardBus::Errors::notConnected,
                      m_name + u" is not connected to its board: the board has not answered "
                               u"since the link started, or its device has been lost.");
    return false;
}

QString BoardService::failureMessage(const CommandOutcome &outcome) const
{
    switch (outcome.result) {
    case CommandOutcome::Written:
        break;
    case CommandOutcome::Failed:
        return u"The port failed while writing (error " + QString::number(outcome.error.number) +
               u": " + outcome.error.detail + u"); " +
               (m_link->hasFailed() ? m_name + u" is ending."
                                    : QStringLiteral("searching for the board again."));
    case CommandOutcome::Expired:
        return QStringLiteral("The deadline passed while the command waited: it was not sent.");
    case CommandOutcome::Dropped:
        return m_name + u" lost its board, or started its link anew, before the command could "
                        u"be sent: it was not sent.";
    }
    return {};
}

namespace {

const char16_t *errorName(CommandOutcome::Result result)
{
    switch (result) {
    case CommandOutcome::Written:
    case CommandOutcome::Failed:
        break;
    case CommandOutcome::Expired:
        return BoardBus::Errors::deadlinePassed;
    case CommandOutcome::Dropped:
        return BoardBus::Errors::notConnected;
    }
    return BoardBus::Errors::writeFailed;
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

std::optional<qint64> deadlineOf(qulonglong usec)
{
    return qint64(std::min<qulonglong>(usec, std::numeric_limits<qint64>::max()));
}

} // namespace

// A command the link carries out in its turn. The bus call is answered with what became of it:
// written, or why not, once that is known.
void BoardService::command(const QString &call, uint output, bool single,
                           std::optional<qint64> deadline, const Send &send)
{
    if (refused(call, output, single))
        return;
    if (deadline && *deadline <= Monotonic::nowUsec()) {
        refuse(call, BoardBus::Errors::deadlinePassed,
               QStringLiteral("The deadline had passed when the call came: nothing was sent."));
        return;
    }
    std::optional<QDBusMessage> caller;
    QDBusConnection bus = QDBusConnection(QString());
    if (calledFromDBus()) {
        setDelayedReply(true);
        caller = message();
        bus = connection();
    }
    send({deadline, [self = QPointer(this), call, caller, bus](const CommandOutcome &outcome) {
              if (!self)
                  return;
              const QString failure = self->failureMessage(outcome);
              if (caller)
                  bus.send(failure.isEmpty()
                               ? caller->createReply()
                               : caller->createErrorReply(
                                     QString::fromUtf16(errorName(outcome.result)), failure));
              if (!failure.isEmpty())
                  emit self->callFailed(call, failure);
          }});
}

void BoardService::setOutput(uint output, bool on, std::optional<qint64> deadline)
{
    command(QStringLiteral("SetOutput(%1, %2)").arg(output).arg(onOff(on)), output, true, deadline,
            [&](CommandRequest r) { m_link->setOutput(int(output), on, std::move(r)); });
}

void BoardService::toggleOutput(uint output, std::optional<qint64> deadline)
{
    command(QStringLiteral("ToggleOutput(%1)").arg(output), output, true, deadline,
            [&](CommandRequest r) { m_link->toggleOutput(int(output), std::move(r)); });
}

void BoardService::pulseOutput(uint output, uint milliseconds, std::optional<qint64> deadline)
{
    const QString call = QStringLiteral("PulseOutput(%1, %2)").arg(output).arg(milliseconds);
    if (milliseconds < 1 || milliseconds > BoardBus::maxPulseMs) {
        if (!refused(call, output, true))
            refuse(call, BoardBus::Errors::invalidDuration,
                   QStringLiteral("A pulse lasts 1 to %1 ms, not %2.")
                       .arg(BoardBus::maxPulseMs)
                       .arg(milliseconds));
        return;
    }
    command(call, output, true, deadline, [&](CommandRequest r) {
        m_link->pulseOutput(int(output), milliseconds, std::move(r));
    });
}

void BoardService::setAllOutputs(bool on, std::optional<qint64> deadline)
{
    command(u"SetAllOutputs(" + onOff(on) + u')', 0, false, deadline,
            [&](CommandRequest r) { m_link->switchAllOutputs(on, std::move(r)); });
}

void BoardService::SetOutput(uint output, bool on)
{
    setOutput(output, on, std::nullopt);
}

void BoardService::ToggleOutput(uint output)
{
    toggleOutput(output, std::nullopt);
}

void BoardService::PulseOutput(uint output, uint milliseconds)
{
    pulseOutput(output, milliseconds, std::nullopt);
}

void BoardService::SetAllOutputs(bool on)
{
    setAllOutputs(on, std::nullopt);
}

void BoardService::SetOutputBefore(uint output, bool on, qulonglong deadline)
{
    setOutput(output, on, deadlineOf(deadline));
}

void BoardService::ToggleOutputBefore(uint output, qulonglong deadline)
{
    toggleOutput(output, deadlineOf(deadline));
}

void BoardService::PulseOutputBefore(uint output, uint milliseconds, qulonglong deadline)
{
    pulseOutput(output, milliseconds, deadlineOf(deadline));
}

void BoardService::SetAllOutputsBefore(bool on, qulonglong deadline)
{
    setAllOutputs(on, deadlineOf(deadline));
}

QVariantMap BoardService::properties() const
{
    return {{QStringLiteral("Name"), m_name},
            {QStringLiteral("Connected"), isConnected()},
            {QStringLiteral("Status"), status()},
            {QStringLiteral("OutputNames"), m_outputNames},
            {QStringLiteral("OutputStates"), outputStates()},
            {QStringLiteral("Port"), port()},
            {QStringLiteral("BitRate"), bitRate()},
            {QStringLiteral("DeviceId"), deviceId()}};
}

// org.freedesktop.DBus.Properties.PropertiesChanged with the values that changed.
void BoardService::announceChanges()
{
    const QVariantMap now = properties();
    QVariantMap changed;
    for (auto it = now.begin(); it != now.end(); ++it)
        if (m_announced.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    m_announced = now;
    if (changed.isEmpty() || !m_bus)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromUtf16(BoardBus::objectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << QString::fromUtf16(BoardBus::interfaceName) << changed << QStringList();
    m_bus->send(signal);
}
