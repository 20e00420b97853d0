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
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;
class QSocketNotifier;

// One connection to an MQTT broker through libmosquitto, driven from the Qt event loop by the
// socket's notifiers and a timer for keep-alives. Only the connection attempt runs on a worker
// thread, because the library resolves the host name and connects there, which may take long;
// the event loop goes on meanwhile and touches the library only once the attempt is over.
//
// It speaks MQTT 5 and tells the broker the largest packet it takes, so that the broker never
// delivers more; a broker that speaks only 3.1.1 is spoken to in 3.1.1. It connects, and after a
// failure or a loss connects again, after 1 s, doubling to at most 30 s, each wait varied by up
// to a fifth either way, for as long as it lives; the waits start at 1 s again only once a
// connection has held for 30 s. A client that another takes its session from (the same client
// id) stops: it never pushes the other off in turn. Everything it publishes and subscribes is
// QoS 1.
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
        // The largest packet the broker may send: a command's payload is a few bytes, a topic
        // at most 64 KiB.
        quint32 maximumPacketSize = 65536 + 1024;

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
    // then says goodbye (so the will is not published). Whether everything was acknowledged;
    // false at once when no connection was ever made.
    bool finish(std::chrono::milliseconds wait);
    // Whether a connection has ever been made since start().
    bool everConnected() const { return m_everConnected; }
    // An attempt still under way on the worker (resolving the broker's name, say).
    bool isAttempting() const { return m_attempting; }

signals:
    void connected();
    // Each failed attempt and each loss, with the reason and the wait before the next attempt.
    void connectionFailed(const QString &reason, std::chrono::milliseconds retryIn);
    // Another client took this one's session (MQTT 5): it does not connect again.
    void sessionTakenOver();
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int rc, int flags, const mosquitto_property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const mosquitto_property *);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    void attempt();
    void attempted(int rc, int error);
    void watchSocket();
    void afterLoop(int rc);
    void drop(QString reason);
    void updateWriteNotifier();

    Options m_options;
    mosquitto *m_mosq = nullptr;
    // One thread, for the connection attempt only. Left behind, with the library's client, when
    // an attempt never ends (a resolver that never answers): the process ends without them.
    QThreadPool *m_worker;
    bool m_attempting = false;
    bool m_everConnected = false;
    bool m_version5 = true;   // until a broker refuses it
    bool m_takenOver = false; // another client took the session
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
    int m_loopErrno = 0;        // errno right after the last loop call
};
