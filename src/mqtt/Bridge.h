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

#include <array>
#include <chrono>

class MqttClient;

// Bridges the running copies on the session bus to a broker: their reported states, status
// and availability as retained messages, Home Assistant discovery documents, and commands from
// the broker to the copies. Copies are followed as they start and quit.
//
// Nothing here waits for a copy: every bus call is asynchronous and bounded by the client's
// time-out. A copy that does not answer is asked again later, after 1 s, doubling to 30 s,
// and bridged as soon as it answers; the others are bridged meanwhile.
//
// One bridge holds a node on a broker. On every connection, before it publishes anything, the
// bridge reads the node's retained holder, "<machine id> <bridge>" (a message of its own, sent
// behind the subscription, comes back after it). Held by another machine, it publishes nothing
// and says so (nodeTaken). Free, or its machine's at its first connection (its own earlier run),
// it claims the node and bridges. Another bridge's claim since (the node taken while this one was
// pushed off the broker, or while it runs) ends it too: the newer bridge keeps the node, and the
// two never push each other off in turn.
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
        std::chrono::milliseconds summaryEvery{60000};  // refused commands beyond the first
        std::chrono::milliseconds discoveryEvery{1000}; // at most, for the hub's births
        QString machineId;                              // what holds the node: /etc/machine-id
    };

    Bridge(BoardClient *client, MqttClient *broker, Options options, QObject *parent = nullptr);

    // Bridges the copies running now and follows the others.
    void start();
    // Marks the bridge and its copies offline before a clean exit.
    void publishGoodbye();

signals:
    // Another bridge holds the node on this broker: nothing more is published. thisMachine: a
    // bridge of this machine took it.
    void nodeTaken(const QString &machine, bool thisMachine);

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
    void onNodeClaimed();
    bool takenBy(const QByteArray &holder);
    void republishDiscovery();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void runCommand(const Copy &copy, const Topics::Command &command);
    void refuse(const QString &topic, const Topics::Refusal &refusal);
    void summarizeRefusals();

    void publishAll(const Copy &copy);
    void publishBridgeDiscovery();
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
    // The node's claim on the connection now: the probe that ends the wait, and the holder seen.
    QByteArray m_probe;
    bool m_claiming = false;
    bool m_held = false;     // the node is this bridge's on the connection now
    bool m_everHeld = false; // since the start
    QByteArray m_holder;
    // The hub's announcements: the documents go out at most once a discoveryEvery.
    QTimer m_discoveryPause;
    bool m_discoveryDue = false;
    // The pulse length of each output, by the copy's topic level, as set and kept on the broker;
    // 0: not set (a second).
    QHash<QString, std::array<quint32, Topics::outputCount>> m_pulseMs;
};
