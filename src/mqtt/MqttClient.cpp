// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "MqttClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The library is initialised once per process, before the first client.
struct Library
{
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

QString errorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromLocal8Bit(mosquitto_strerror(rc));
}

} // namespace

MqttClient::MqttClient(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_backoff(m_options.firstRetry)
{
    static Library library;
    const QByteArray id = m_options.clientId.toUtf8();
    // A clean session: commands sent while the bridge was away are not replayed to relays.
    m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    mosquitto_connect_callback_set(m_mosq, &MqttClient::onConnect);
    mosquitto_message_callback_set(m_mosq, &MqttClient::onMessage);
    mosquitto_log_callback_set(m_mosq, &MqttClient::onLog);
    // Commands and states are a few bytes each: sent at once, not held back by Nagle's
    // algorithm waiting for the peer's delayed acknowledgement (some 40 ms each way).
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, [this] { afterLoop(mosquitto_loop_misc(m_mosq)); });
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttClient::attempt);
}

MqttClient::~MqttClient()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    mosquitto_destroy(m_mosq);
}

QString MqttClient::prepare()
{
    if (!m_mosq)
        return QStringLiteral("the MQTT library could not make a client");
    if (!m_options.username.isEmpty()) {
        const QByteArray user = m_options.username.toUtf8();
        const QByteArray password = m_options.password.toUtf8();
        if (const int rc = mosquitto_username_pw_set(
                m_mosq, user.constData(),
                m_options.password.isNull() ? nullptr : password.constData());
            rc != MOSQ_ERR_SUCCESS)
            return u"user name: " + errorText(rc);
    }
    if (!m_options.caFile.isEmpty()) {
        if (QFile ca(m_options.caFile); !ca.open(QIODevice::ReadOnly))
            return u"CA file " + m_options.caFile + u": " + ca.errorString();
        const QByteArray ca = QFile::encodeName(m_options.caFile);
        if (const int rc =
                mosquitto_tls_set(m_mosq, ca.constData(), nullptr, nullptr, nullptr, nullptr);
            rc != MOSQ_ERR_SUCCESS)
            return u"CA file " + m_options.caFile + u": " + errorText(rc);
    }
    if (!m_options.willTopic.isEmpty()) {
        const QByteArray topic = m_options.willTopic.toUtf8();
        if (const int rc =
                mosquitto_will_set(m_mosq, topic.constData(), int(m_options.willPayload.size()),
                                   m_options.willPayload.constData(), 1, true);
            rc != MOSQ_ERR_SUCCESS)
            return u"last will: " + errorText(rc);
    }
    return {};
}

void MqttClient::start()
{
    attempt();
}

void MqttClient::attempt()
{
    m_lastError.clear();
    m_refusal.clear();
    int rc;
    if (!m_everAttempted) {
        m_everAttempted = true;
        const QByteArray host = m_options.host.toUtf8();
        rc = mosquitto_connect_async(m_mosq, host.constData(), m_options.port,
                                     m_options.keepAliveSeconds);
    } else {
        rc = mosquitto_reconnect_async(m_mosq);
    }
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) < 0) {
        drop(m_lastError.isEmpty() ? errorText(rc) : m_lastError);
        return;
    }
    watchSocket();
    m_misc.start();
}

void MqttClient::watchSocket()
{
    const int fd = mosquitto_socket(m_mosq);
    m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this,
            [this] { afterLoop(mosquitto_loop_read(m_mosq, 1)); });
    m_writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this,
            [this] { afterLoop(mosquitto_loop_write(m_mosq, 1)); });
    updateWriteNotifier();
}

void MqttClient::afterLoop(int rc)
{
    if (!m_refusal.isEmpty()) {
        drop(m_refusal);
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        QString reason = errorText(rc);
        if (!m_lastError.isEmpty())
            reason += u" (" + m_lastError + u')';
        drop(reason);
        return;
    }
    updateWriteNotifier();
}

void MqttClient::updateWriteNotifier()
{
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttClient::drop(QString reason) // a copy: it may be m_refusal, cleared here
{
    // Notifiers may be the caller: let them go once the event is over.
    if (m_readNotifier) {
        m_readNotifier->setEnabled(false);
        m_readNotifier.release()->deleteLater();
    }
    if (m_writeNotifier) {
        m_writeNotifier->setEnabled(false);
        m_writeNotifier.release()->deleteLater();
    }
    m_misc.stop();
    // No DISCONNECT: a broker that still holds the connection publishes the will. The next
    // attempt closes the socket.
    m_connected = false;
    m_refusal.clear();
    emit connectionFailed(reason, m_backoff);
    m_retry.start(m_backoff);
    m_backoff = std::min(m_backoff * 2, m_options.lastRetry);
}

void MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    if (!m_connected)
        return;
    const QByteArray t = topic.toUtf8();
    mosquitto_publish(m_mosq, nullptr, t.constData(), int(payload.size()), payload.constData(), 1,
                      retain);
    updateWriteNotifier();
}

void MqttClient::subscribe(const QString &filter)
{
    if (!m_connected)
        return;
    const QByteArray f = filter.toUtf8();
    mosquitto_subscribe(m_mosq, nullptr, f.constData(), 1);
    updateWriteNotifier();
}

void MqttClient::finish(std::chrono::milliseconds wait)
{
    if (!m_connected)
        return;
    QElapsedTimer timer;
    timer.start();
    // Queued publications go out first; the broker then drops the will.
    while (mosquitto_want_write(m_mosq) && timer.elapsed() < wait.count())
        if (mosquitto_loop(m_mosq, 10, 1) != MOSQ_ERR_SUCCESS)
            break;
    mosquitto_disconnect(m_mosq);
    while (mosquitto_want_write(m_mosq) && timer.elapsed() < wait.count())
        if (mosquitto_loop(m_mosq, 10, 1) != MOSQ_ERR_SUCCESS)
            break;
    m_connected = false;
    m_readNotifier.reset();
    m_writeNotifier.reset();
    m_misc.stop();
    m_retry.stop();
}

void MqttClient::onConnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc != 0) {
        client->m_refusal = u"the broker refused the connection: " +
                            QString::fromLocal8Bit(mosquitto_connack_string(rc));
        return;
    }
    client->m_connected = true;
    client->m_backoff = client->m_options.firstRetry;
    emit client->connected();
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *client = static_cast<MqttClient *>(self);
    emit client->messageReceived(
        QString::fromUtf8(message->topic),
        QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
        message->retain);
}

void MqttClient::onLog(mosquitto *, void *self, int level, const char *text)
{
    if (level & MOSQ_LOG_ERR)
        static_cast<MqttClient *>(self)->m_lastError = QString::fromLocal8Bit(text);
}
