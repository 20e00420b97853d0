// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "BoardService.h"

#include "BoardAdaptor.h"
#include "common/BoardBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

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

void BoardService::replyToFailure(const QString &call, const PortError &error)
{
    if (!error)
        return;
    const QString message =
        u"The port failed while writing (error " + QString::number(error.number) + u": " +
        error.detail + u"); " +
        (m_link->hasFailed() ? m_name + u" is ending."
                             : QStringLiteral("searching for the board again."));
    if (calledFromDBus())
        sendErrorReply(QString::fromUtf16(BoardBus::Errors::writeFailed), message);
    emit callFailed(call, message);
}

namespace {
QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}
} // namespace

void BoardService::SetOutput(uint output, bool on)
{
    const QString call = QStringLiteral("SetOutput(%1, %2)").arg(output).arg(onOff(on));
    if (!refused(call, output, true))
        replyToFailure(call, m_link->setOutput(int(output), on));
}

void BoardService::ToggleOutput(uint output)
{
    const QString call = QStringLiteral("ToggleOutput(%1)").arg(output);
    if (!refused(call, output, true))
        replyToFailure(call, m_link->toggleOutput(int(output)));
}

void BoardService::PulseOutput(uint output, uint milliseconds)
{
    const QString call = QStringLiteral("PulseOutput(%1, %2)").arg(output).arg(milliseconds);
    if (refused(call, output, true))
        return;
    if (milliseconds < 1 || milliseconds > BoardBus::maxPulseMs)
        refuse(call, BoardBus::Errors::invalidDuration,
               QStringLiteral("A pulse lasts 1 to %1 ms, not %2.")
                   .arg(BoardBus::maxPulseMs)
                   .arg(milliseconds));
    else
        replyToFailure(call, m_link->pulseOutput(int(output), milliseconds));
}

void BoardService::SetAllOutputs(bool on)
{
    const QString call = u"SetAllOutputs(" + onOff(on) + u')';
    if (!refused(call, 0, false))
        replyToFailure(call, m_link->switchAllOutputs(on));
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
