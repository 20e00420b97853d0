// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <memory>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;

// One connection to an MQTT broker through libmosquitto, driven from the Qt event loop by the
// socket's notifiers and a timer for keep-alives. Only the connection attempt runs on a worker
// thread, because the library resolves the host name there, which may take long; the event
// loop goes on meanwhile and touches the library only once the attempt is over.
//
// It connects, and after a failure or a loss connects again, after 1 s, doubling to at most
// 30 s, each wait varied by up to a fifth either way, for as long as it lives; the waits start
// at 1 s again only once a connection has held for 30 s. Everything it publishes and
// subscribes is QoS 1.
class MqttClient : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString host = QStringLiteral("localhost");
        int port = 1883;
        QString clientId;
        QString username;
        QString password;
        // TLS, as mosquitto's own clients take it: the broker's CA (a file, a folder, or the
        // system's trust store), a client certificate with its key, the protocol version.
        QString caFile;
        QString caPath;
        bool useOsCerts = false;
        QString certFile;
        QString keyFile;
        QString tlsVersion; // "tlsv1.2" or "tlsv1.3"; empty: the library's choice
        int keepAliveSeconds = 30;
        QString willTopic; // published retained by the broker if this client dies
        QByteArray willPayload;
        std::chrono::milliseconds firstRetry{1000};
        std::chrono::milliseconds lastRetry{30000};
        std::chrono::milliseconds stableAfter{30000}; // the waits start again after this
        double jitter = 0.2;

        bool usesTls() const { return !caFile.isEmpty() || !caPath.isEmpty() || useOsCerts; }
    };

    explicit MqttClient(Options options, QObject *parent = nullptr);
    ~MqttClient() override;

    // Why the options cannot work (a CA file that is not PEM, a key that does not match its
    // certificate...), or nothing. Then start().
    QString prepare();
    void start();
    bool isConnected() const { return m_connected; }

    // Dropped while not connected: whoever publishes state publishes it again on connected().
    void publish(const QString &topic, const QByteArray &payload, bool retain);
    void subscribe(const QString &filter);
    // Waits, at most the given time, until the broker has acknowledged everything published,
    // then says goodbye (so the will is not published). Whether everything was acknowledged.
    bool finish(std::chrono::milliseconds wait);

signals:
    void connected();
    // Each failed attempt and each loss, with the reason and the wait before the next attempt.
    void connectionFailed(const QString &reason, std::chrono::milliseconds retryIn);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    void attempt();
    void attempted(int rc);
    void watchSocket();
    void afterLoop(int rc);
    void drop(QString reason);
    void updateWriteNotifier();

    Options m_options;
    mosquitto *m_mosq = nullptr;
    QThreadPool m_worker; // one thread, for the connection attempt only
    bool m_attempting = false;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_misc;
    QTimer m_retry;
    QTimer m_stable;
    std::chrono::milliseconds m_backoff;
    bool m_connected = false;
    bool m_everAttempted = false;
    QSet<int> m_unacknowledged; // message ids published and not yet acknowledged
    QString m_refusal;          // set by the CONNACK callback, handled after the loop call
    QString m_lastError;        // the library's last error line (TLS details)
};
