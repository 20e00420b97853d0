// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "Topics.h"
#include "client/BoardClient.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <chrono>

class MqttClient;

// Bridges the running copies on the session bus to a broker: their reported states, status
// and availability as retained messages, Home Assistant discovery documents, and commands from
// the broker to the copies. Copies are followed as they start and quit.
//
// Nothing here waits for a copy: every bus call is asynchronous and bounded by the client's
// time-out. A copy that does not answer is asked again later, after 1 s, doubling to 30 s,
// and bridged as soon as it answers; the others are bridged meanwhile.
class Bridge : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        Topics::Prefixes prefixes;
        QStringList boards; // only these copies, when not empty
        QString version;
        std::chrono::milliseconds firstRetry{1000}; // asking a copy that did not answer again
        std::chrono::milliseconds lastRetry{30000};
        std::chrono::milliseconds summaryEvery{60000}; // refused commands beyond the first
    };

    Bridge(BoardClient *client, MqttClient *broker, Options options, QObject *parent = nullptr);

    // Bridges the copies running now and follows the others.
    void start();
    // Marks the bridge and its copies offline before a clean exit.
    void publishGoodbye();

private:
    struct Copy
    {
        BoardClient::Copy board;
        bool running = false;
    };
    struct Asking // a copy being described, or waiting to be asked again
    {
        int generation = 0;
        std::chrono::milliseconds backoff{};
    };

    void addCopy(const QString &service);
    void describe(const QString &service, int generation);
    void onDescribed(const QString &service, const BoardClient::Copy &board);
    void onCopyQuit(const QString &service);
    void onOutputReported(const QString &service, uint output, bool on);
    void onPropertiesChanged(const QString &service, const QVariantMap &changed);
    void onBrokerConnected();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void runCommand(const Copy &copy, const Topics::Command &command);
    void refuse(const QString &topic, const Topics::Refusal &refusal);
    void summarizeRefusals();

    void publishAll(const Copy &copy);
    void publishDiscovery(const Copy &copy);
    void publishAvailability(const Copy &copy);
    void publishStatus(const Copy &copy);
    void publishState(const Copy &copy, int output);

    BoardClient *m_client;
    MqttClient *m_broker;
    Options m_options;
    QHash<QString, Copy> m_copies; // by bus name; copies that quit stay, not running
    QHash<QString, Asking> m_asking;
    int m_generation = 0;
    // Refused commands: the first of each kind is told, the rest counted into a summary.
    QSet<QString> m_refusalsTold;
    QHash<QString, int> m_refusalsSince;
    QTimer m_summary;
};
