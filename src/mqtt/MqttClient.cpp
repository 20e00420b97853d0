// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "MqttClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

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

// The library's error, with the system's own for a failed system call: its errno, taken by the
// caller right after the call that failed, on that call's thread.
QString errorText(int rc, int error)
{
    if (rc == MOSQ_ERR_ERRNO)
        return error ? QString::fromLocal8Bit(std::strerror(error))
                     : QStringLiteral("the connection was closed");
    return QString::fromLocal8Bit(mosquitto_strerror(rc));
}

// A key with a pass phrase is refused rather than asked for on a terminal nobody watches.
int noPassPhrase(char *, int, int, void *)
{
    return 0;
}

// The TLS files as the library loads them when it connects, with the same OpenSSL calls, so
// that a file it would refuse then is refused at the start, with OpenSSL's reason.
QString tlsRefusal(const MqttClient::Options &o)
{
    const QStringList files = {o.caFile, o.certFile, o.keyFile};
    for (const QString &file : files) {
        QFile f(file);
        if (!file.isEmpty() && !f.open(QIODevice::ReadOnly))
            return file + u": " + f.errorString();
    }
    if (!o.caPath.isEmpty() && !QFileInfo(o.caPath).isDir())
        return o.caPath + u": not a folder";
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                                SSL_CTX_free);
    SSL_CTX_set_default_passwd_cb(ctx.get(), noPassPhrase);
    ERR_clear_error();
    const auto refused = [](const QString &what) -> QString {
        char reason[256] = {};
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        ERR_clear_error();
        return what + u": " + QString::fromLocal8Bit(reason);
    };
    const QByteArray caFile = QFile::encodeName(o.caFile);
    const QByteArray caPath = QFile::encodeName(o.caPath);
    if ((!o.caFile.isEmpty() || !o.caPath.isEmpty()) &&
        SSL_CTX_load_verify_locations(ctx.get(), o.caFile.isEmpty() ? nullptr : caFile.constData(),
                                      o.caPath.isEmpty() ? nullptr : caPath.constData()) != 1)
        return refused(o.caFile.isEmpty() ? o.caPath : o.caFile);
    if (!o.certFile.isEmpty() &&
        SSL_CTX_use_certificate_chain_file(ctx.get(), QFile::encodeName(o.certFile)) != 1)
        return refused(o.certFile);
    if (!o.keyFile.isEmpty() &&
        SSL_CTX_use_PrivateKey_file(ctx.get(), QFile::encodeName(o.keyFile), SSL_FILETYPE_PEM) != 1)
        return refused(o.keyFile);
    if (!o.certFile.isEmpty() && SSL_CTX_check_private_key(ctx.get()) != 1)
        return refused(o.keyFile + u" and " + o.certFile);
    return {};
}

} // namespace

MqttClient::MqttClient(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_worker(new QThreadPool),
      m_backoff(m_options.firstRetry)
{
    static Library library;
    m_worker->setMaxThreadCount(1);
    m_worker->setExpiryTimeout(0); // its thread ends with each connection: none idles between them
    const QByteArray id = m_options.clientId.toUtf8();
    // A clean session: commands sent while the bridge was away are not replayed to relays.
    m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!m_mosq)
        return; // prepare() says so
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(m_mosq, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(m_mosq, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(m_mosq, &MqttClient::onPublish);
    mosquitto_message_callback_set(m_mosq, &MqttClient::onMessage);
    mosquitto_log_callback_set(m_mosq, &MqttClient::onLog);
    // Commands and states are a few bytes each: sent at once, not held back by Nagle's
    // algorithm waiting for the peer's delayed acknowledgement (some 40 ms each way).
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, [this] {
        const int rc = mosquitto_loop_misc(m_mosq);
        m_loopErrno = errno;
        afterLoop(rc);
    });
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttClient::attempt);
    m_stable.setSingleShot(true);
    m_stable.setInterval(m_options.stableAfter);
    connect(&m_stable, &QTimer::timeout, this, [this] { m_backoff = m_options.firstRetry; });
}

MqttClient::~MqttClient()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    // An attempt under way uses the client: both stay until it ends. One that does not end in a
    // moment is left to the process's end.
    if (!m_worker->waitForDone(100))
        return;
    delete m_worker;
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

QString MqttClient::prepare()
{
    if (!m_mosq)
        return u"the MQTT library could not make a client: " + errorText(MOSQ_ERR_ERRNO, errno);
    if (!m_options.username.isEmpty()) {
        const QByteArray user = m_options.username.toUtf8();
        const QByteArray password = m_options.password.toUtf8();
        if (const int rc = mosquitto_username_pw_set(
                m_mosq, user.constData(),
                m_options.password.isNull() ? nullptr : password.constData());
            rc != MOSQ_ERR_SUCCESS)
            return u"user name: " + errorText(rc, errno);
    }
    if (m_options.usesTls()) {
        if (const QString refusal = tlsRefusal(m_options); !refusal.isEmpty())
            return refusal;
        const auto name = [](const QString &file) {
            return file.isEmpty() ? QByteArray() : QFile::encodeName(file);
        };
        const QByteArray ca = name(m_options.caFile), path = name(m_options.caPath),
                         cert = name(m_options.certFile), key = name(m_options.keyFile),
                         version = m_options.tlsVersion.toLatin1();
        const auto orNull = [](const QByteArray &b) {
            return b.isEmpty() ? nullptr : b.constData();
        };
        // The system's CAs alone need no CA file or folder, and the library's certificate call
        // takes neither then: it is made only with one of them (a client certificate needs it).
        int rc = mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, m_options.useOsCerts);
        if (rc == MOSQ_ERR_SUCCESS && (!ca.isEmpty() || !path.isEmpty()))
            rc = mosquitto_tls_set(m_mosq, orNull(ca), orNull(path), orNull(cert), orNull(key),
                                   noPassPhrase);
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_tls_opts_set(m_mosq, 1, orNull(version), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return u"TLS: " + errorText(rc, errno);
    }
    if (!m_options.willTopic.isEmpty()) {
        const QByteArray topic = m_options.willTopic.toUtf8();
        if (const int rc =
                mosquitto_will_set(m_mosq, topic.constData(), int(m_options.willPayload.size()),
                                   m_options.willPayload.constData(), 1, true);
            rc != MOSQ_ERR_SUCCESS)
            return u"last will: " + errorText(rc, errno);
    }
    return {};
}

void MqttClient::start()
{
    attempt();
}

// The library resolves the host, connects and sends CONNECT on the worker; nothing else
// touches it until attempted() runs on this thread. Each failing call's errno is taken there.
void MqttClient::attempt()
{
    m_lastError.clear();
    m_refusal.clear();
    m_attempting = true;
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION,
                         m_version5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    m_worker->start([this, host = m_options.host.toUtf8()] {
        mosquitto_property *properties = nullptr;
        if (m_version5)
            mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                         m_options.maximumPacketSize);
        const int rc = mosquitto_connect_bind_v5(m_mosq, host.constData(), m_options.port,
                                                 m_options.keepAliveSeconds, nullptr, properties);
        const int error = errno;
        mosquitto_property_free_all(&properties);
        QMetaObject::invokeMethod(
            this, [this, rc, error] { attempted(rc, error); }, Qt::QueuedConnection);
    });
}

void MqttClient::attempted(int rc, int error)
{
    m_attempting = false;
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) < 0) {
        drop(m_lastError.isEmpty() ? errorText(rc, error) : m_lastError);
        return;
    }
    watchSocket();
    m_misc.start();
}

void MqttClient::watchSocket()
{
    const int fd = mosquitto_socket(m_mosq);
    m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this] {
        const int rc = mosquitto_loop_read(m_mosq, 1);
        m_loopErrno = errno;
        afterLoop(rc);
    });
    m_writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] {
        const int rc = mosquitto_loop_write(m_mosq, 1);
        m_loopErrno = errno;
        afterLoop(rc);
    });
    updateWriteNotifier();
}

void MqttClient::afterLoop(int rc)
{
    if (!m_refusal.isEmpty()) {
        drop(m_refusal);
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        QString reason = errorText(rc, m_loopErrno);
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
    m_stable.stop();
    // No DISCONNECT: a broker that still holds the connection publishes the will. The next
    // attempt closes the socket.
    m_connected = false;
    m_unacknowledged.clear();
    m_refusal.clear();
    if (m_takenOver) { // never back: the two would push each other off for ever
        emit sessionTakenOver();
        return;
    }
    // Bridges that throw each other off, or many that lost one broker, do not come back in step.
    const double spread =
        1.0 + m_options.jitter * (2.0 * QRandomGenerator::global()->generateDouble() - 1.0);
    const auto wait = std::chrono::milliseconds(qRound64(double(m_backoff.count()) * spread));
    emit connectionFailed(reason, wait);
    m_retry.start(wait);
    m_backoff = std::min(m_backoff * 2, m_options.lastRetry);
}

void MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    if (!m_connected)
        return;
    const QByteArray t = topic.toUtf8();
    int mid = 0;
    if (mosquitto_publish(m_mosq, &mid, t.constData(), int(payload.size()), payload.constData(), 1,
                          retain) == MOSQ_ERR_SUCCESS)
        m_unacknowledged.insert(mid);
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

bool MqttClient::finish(std::chrono::milliseconds wait)
{
    m_retry.stop();
    // An attempt that does not end within the wait (a resolver that never answers) is left.
    if (!m_worker->waitForDone(int(wait.count())))
        return false;
    m_stable.stop();
    m_misc.stop();
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (!m_connected)
        return false;
    QElapsedTimer timer;
    timer.start();
    // What is queued goes out, and the broker acknowledges it (the loop's read runs the
    // publish callback); then goodbye, and the broker drops the will.
    while (!m_unacknowledged.isEmpty() && timer.elapsed() < wait.count() &&
           mosquitto_loop(m_mosq, 10, 1) == MOSQ_ERR_SUCCESS && m_refusal.isEmpty()) {
    }
    const bool acknowledged = m_unacknowledged.isEmpty();
    mosquitto_disconnect(m_mosq);
    while (mosquitto_want_write(m_mosq) && timer.elapsed() < wait.count())
        if (mosquitto_loop(m_mosq, 10, 1) != MOSQ_ERR_SUCCESS)
            break;
    m_connected = false;
    return acknowledged;
}

void MqttClient::onConnect(mosquitto *, void *self, int rc, int, const mosquitto_property *)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc != 0) {
        // A broker that speaks only 3.1.1 is spoken to in 3.1.1 from the next attempt on.
        if (client->m_version5 && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                                   rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
            client->m_version5 = false;
            client->m_backoff = client->m_options.firstRetry;
        }
        client->m_refusal =
            u"the broker refused the connection: " +
            QString::fromLocal8Bit(client->m_version5 ? mosquitto_reason_string(rc)
                                                      : mosquitto_connack_string(rc));
        return;
    }
    client->m_connected = true;
    client->m_everConnected = true;
    client->m_stable.start(); // the waits start again only once this connection has held
    emit client->connected();
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc, const mosquitto_property *)
{
    if (rc == MQTT_RC_SESSION_TAKEN_OVER)
        static_cast<MqttClient *>(self)->m_takenOver = true;
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    static_cast<MqttClient *>(self)->m_unacknowledged.remove(mid);
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
