// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "Topics.h"
#include "client/BoardClient.h"

#include <QHash>
#include <QObject>
#include <QStringList>

class MqttClient;

// Bridges the running copies on the session bus to a broker: their reported states, status
// and availability as retained messages, Home Assistant discovery documents, and commands from
// the broker to the copies. Copies are followed as they start and quit.
class Bridge : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        Topics::Prefixes prefixes;
        QStringList boards; // only these copies, when not empty
        QString version;
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

    void addCopy(const QString &service);
    void onCopyQuit(const QString &service);
    void onOutputReported(const QString &service, uint output, bool on);
    void onPropertiesChanged(const QString &service, const QVariantMap &changed);
    void onBrokerConnected();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void runCommand(const Copy &copy, const Topics::Command &command);

    void publishAll(const Copy &copy);
    void publishDiscovery(const Copy &copy);
    void publishAvailability(const Copy &copy);
    void publishStatus(const Copy &copy);
    void publishState(const Copy &copy, int output);

    BoardClient *m_client;
    MqttClient *m_broker;
    Options m_options;
    QHash<QString, Copy> m_copies; // by bus name; copies that quit stay, not running
};
