// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;

// One connection to an MQTT broker through libmosquitto, driven from the Qt event loop by the
// socket's notifiers and a timer for keep-alives: no threads. It connects, and after a failure
// or a loss connects again, after 1 s, doubling to at most 30 s, for as long as it lives.
// Everything it publishes and subscribes is QoS 1.
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
        QString caFile; // TLS against this CA when set
        int keepAliveSeconds = 30;
        QString willTopic; // published retained by the broker if this client dies
        QByteArray willPayload;
        std::chrono::milliseconds firstRetry{1000};
        std::chrono::milliseconds lastRetry{30000};
    };

    explicit MqttClient(Options options, QObject *parent = nullptr);
    ~MqttClient() override;

    // Why the options cannot work (an unreadable CA file...), or nothing. Then start().
    QString prepare();
    void start();
    bool isConnected() const { return m_connected; }

    // Dropped while not connected: whoever publishes state publishes it again on connected().
    void publish(const QString &topic, const QByteArray &payload, bool retain);
    void subscribe(const QString &filter);
    // Sends what is queued and says goodbye (so the will is not published), waiting at most
    // the given time.
    void finish(std::chrono::milliseconds wait);

signals:
    void connected();
    // Each failed attempt and each loss, with the reason and the wait before the next attempt.
    void connectionFailed(const QString &reason, std::chrono::milliseconds retryIn);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    void attempt();
    void watchSocket();
    void afterLoop(int rc);
    void drop(QString reason);
    void updateWriteNotifier();

    Options m_options;
    mosquitto *m_mosq = nullptr;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_misc;
    QTimer m_retry;
    std::chrono::milliseconds m_backoff;
    bool m_connected = false;
    bool m_everAttempted = false;
    QString m_refusal;   // set by the CONNACK callback, handled after the loop call
    QString m_lastError; // the library's last error line (TLS details)
};
