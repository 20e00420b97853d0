// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "BoardClient.h"

#include "BoardProxy.h"
#include "common/BoardBus.h"
#include "common/Monotonic.h"

#include <QDBusMessage>
#include <QDBusPendingReply>

namespace {

const QString objectPath = QString::fromUtf16(BoardBus::objectPath);
const QString interfaceName = QString::fromUtf16(BoardBus::interfaceName);
const QString prefix = QString::fromUtf16(BoardBus::servicePrefix);

// Receives one copy's signals and hands them on with the copy's bus name.
class Follower : public QObject
{
    Q_OBJECT
public:
    Follower(BoardClient *client, QString service)
        : QObject(client), m_client(client), m_service(std::move(service))
    {
    }
public slots:
    void onOutputReported(uint output, bool on)
    {
        emit m_client->outputReported(m_service, output, on);
    }
    void onPropertiesChanged(const QString &interface, const QVariantMap &changed,
                             const QStringList &)
    {
        if (interface == interfaceName)
            emit m_client->propertiesChanged(m_service, changed);
    }

private:
    BoardClient *m_client;
    QString m_service;
};

} // namespace

BoardClient::BoardClient(QDBusConnection bus, QObject *parent) : QObject(parent), m_bus(bus) {}

void BoardClient::setCallTimeout(int milliseconds)
{
    m_timeout = milliseconds;
    for (BoardProxy *proxy : std::as_const(m_proxies))
        proxy->setTimeout(milliseconds);
}

QStringList BoardClient::runningCopies(const QStringList &busNames)
{
    QStringList copies;
    for (const QString &name : busNames)
        if (name.startsWith(prefix))
            copies << name;
    copies.sort();
    return copies;
}

QDBusPendingCall BoardClient::requestNames() const
{
    return m_bus.asyncCall(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("/org/freedesktop/DBus"),
                                                          QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("ListNames")),
                           m_timeout);
}

QStringList BoardClient::runningCopies() const
{
    QDBusPendingReply<QStringList> reply = requestNames();
    reply.waitForFinished();
    return runningCopies(reply.isValid() ? reply.value() : QStringList());
}

BoardClient::Copy BoardClient::fromProperties(const QString &service, const QVariantMap &p)
{
    Copy copy;
    copy.service = service;
    copy.name = p.value(QStringLiteral("Name")).toString();
    copy.connected = p.value(QStringLiteral("Connected")).toBool();
    copy.status = p.value(QStringLiteral("Status")).toString();
    copy.outputNames = p.value(QStringLiteral("OutputNames")).toStringList();
    copy.outputStates = p.value(QStringLiteral("OutputStates")).toStringList();
    copy.port = p.value(QStringLiteral("Port")).toInt();
    copy.bitRate = p.value(QStringLiteral("BitRate")).toString();
    copy.deviceId = p.value(QStringLiteral("DeviceId")).toString();
    return copy;
}

QDBusPendingCall BoardClient::requestProperties(const QString &service) const
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, objectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("GetAll"));
    get << interfaceName;
    return m_bus.asyncCall(get, m_timeout);
}

std::optional<BoardClient::Copy> BoardClient::describe(const QString &service,
                                                       QDBusError *error) const
{
    QDBusPendingReply<QVariantMap> reply = requestProperties(service);
    reply.waitForFinished();
    if (error)
        *error = reply.isError() ? reply.error() : QDBusError();
    if (!reply.isValid())
        return std::nullopt;
    return fromProperties(service, reply.value());
}

BoardProxy &BoardClient::proxy(const QString &service)
{
    BoardProxy *&proxy = m_proxies[service];
    if (!proxy) {
        proxy = new BoardProxy(service, objectPath, m_bus, this);
        proxy->setTimeout(m_timeout);
    }
    return *proxy;
}

namespace {

QDBusError waitFor(QDBusPendingCall call)
{
    call.waitForFinished();
    return call.isError() ? call.error() : QDBusError();
}

} // namespace

qulonglong BoardClient::deadline() const
{
    // Unset, a call waits as long as the bus lets it: 25 s.
    return qulonglong(
        Monotonic::deadlineFor(std::chrono::milliseconds(m_timeout < 0 ? 25000 : m_timeout)));
}

QDBusPendingCall BoardClient::requestSetOutput(const QString &service, uint output, bool on)
{
    return proxy(service).SetOutputBefore(output, on, deadline());
}

QDBusPendingCall BoardClient::requestToggleOutput(const QString &service, uint output)
{
    return proxy(service).ToggleOutputBefore(output, deadline());
}

QDBusPendingCall BoardClient::requestPulseOutput(const QString &service, uint output,
                                                 uint milliseconds)
{
    return proxy(service).PulseOutputBefore(output, milliseconds, deadline());
}

QDBusPendingCall BoardClient::requestSetAllOutputs(const QString &service, bool on)
{
    return proxy(service).SetAllOutputsBefore(on, deadline());
}

QDBusError BoardClient::pulseOutput(const QString &service, uint output, uint milliseconds)
{
    return waitFor(requestPulseOutput(service, output, milliseconds));
}

QDBusError BoardClient::setOutput(const QString &service, uint output, bool on)
{
    return waitFor(requestSetOutput(service, output, on));
}

QDBusError BoardClient::toggleOutput(const QString &service, uint output)
{
    return waitFor(requestToggleOutput(service, output));
}

QDBusError BoardClient::setAllOutputs(const QString &service, bool on)
{
    return waitFor(requestSetAllOutputs(service, on));
}

bool BoardClient::follow(const QString &service)
{
    if (m_followed.contains(service))
        return true;
    auto *follower = new Follower(this, service);
    const bool ok =
        m_bus.connect(service, objectPath, interfaceName, QStringLiteral("OutputReported"),
                      follower, SLOT(onOutputReported(uint, bool))) &&
        m_bus.connect(service, objectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                      QStringLiteral("PropertiesChanged"), follower,
                      SLOT(onPropertiesChanged(QString, QVariantMap, QStringList)));
    if (ok)
        m_followed.insert(service);
    else
        delete follower;
    return ok;
}

bool BoardClient::watchCopies()
{
    return m_bus.connect(QStringLiteral("org.freedesktop.DBus"),
                         QStringLiteral("/org/freedesktop/DBus"),
                         QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                         this, SLOT(onNameOwnerChanged(QString, QString, QString)));
}

void BoardClient::onNameOwnerChanged(const QString &name, const QString &oldOwner,
                                     const QString &newOwner)
{
    if (!name.startsWith(prefix))
        return;
    if (!oldOwner.isEmpty())
        emit copyQuit(name);
    if (!newOwner.isEmpty())
        emit copyStarted(name);
}

#include "BoardClient.moc"
