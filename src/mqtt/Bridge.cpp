// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Bridge.h"

#include "MqttClient.h"

#include <QDBusPendingCallWatcher>
#include <QJsonDocument>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::fprintf(stderr, "vantrelo-mqtt: %s\n", qPrintable(line));
}

const QString bridgeLevel = QStringLiteral("bridge");

} // namespace

Bridge::Bridge(BoardClient *client, MqttClient *broker, Options options, QObject *parent)
    : QObject(parent), m_client(client), m_broker(broker), m_options(std::move(options))
{
    connect(m_client, &BoardClient::copyStarted, this, &Bridge::addCopy);
    connect(m_client, &BoardClient::copyQuit, this, &Bridge::onCopyQuit);
    connect(m_client, &BoardClient::outputReported, this, &Bridge::onOutputReported);
    connect(m_client, &BoardClient::propertiesChanged, this, &Bridge::onPropertiesChanged);
    connect(m_broker, &MqttClient::connected, this, &Bridge::onBrokerConnected);
    connect(m_broker, &MqttClient::messageReceived, this, &Bridge::onMessage);
}

void Bridge::start()
{
    m_client->watchCopies();
    for (const QString &service : m_client->runningCopies())
        addCopy(service);
}

void Bridge::addCopy(const QString &service)
{
    // Follow first, so that nothing reported after the description is missed.
    m_client->follow(service);
    const std::optional<BoardClient::Copy> board = m_client->describe(service);
    if (!board) {
        say(service + u" does not answer; not bridged");
        return;
    }
    if (!m_options.boards.isEmpty() && !m_options.boards.contains(board->name))
        return;
    if (Topics::level(board->name) == bridgeLevel) {
        say(QStringLiteral("a copy named \"bridge\" is not bridged: its topics would be the "
                           "bridge's own"));
        return;
    }
    Copy &copy = m_copies[service];
    copy.board = *board;
    copy.running = true;
    publishAll(copy);
}

void Bridge::onCopyQuit(const QString &service)
{
    const auto it = m_copies.find(service);
    if (it == m_copies.end())
        return;
    it->running = false;
    it->board.connected = false;
    publishAvailability(*it);
}

void Bridge::onOutputReported(const QString &service, uint output, bool on)
{
    const auto it = m_copies.find(service);
    if (it == m_copies.end() || output < 1 || output > Topics::outputCount)
        return;
    QStringList &states = it->board.outputStates;
    while (states.size() < Topics::outputCount)
        states << QStringLiteral("unknown");
    states[output - 1] = on ? QStringLiteral("on") : QStringLiteral("off");
    // Every report, repeats included: the caller of a command sees its confirmation.
    publishState(*it, int(output));
}

void Bridge::onPropertiesChanged(const QString &service, const QVariantMap &changed)
{
    const auto it = m_copies.find(service);
    if (it == m_copies.end())
        return;
    BoardClient::Copy &board = it->board;
    if (const auto c = changed.find(QStringLiteral("Connected")); c != changed.end()) {
        board.connected = c->toBool();
        publishAvailability(*it);
    }
    if (const auto s = changed.find(QStringLiteral("Status")); s != changed.end()) {
        board.status = s->toString();
        publishStatus(*it);
    }
    if (const auto n = changed.find(QStringLiteral("OutputNames")); n != changed.end()) {
        board.outputNames = n->toStringList();
        publishDiscovery(*it);
    }
    // States arrive as OutputReported; a state that became unknown is not published.
    if (const auto s = changed.find(QStringLiteral("OutputStates")); s != changed.end())
        board.outputStates = s->toStringList();
}

void Bridge::onBrokerConnected()
{
    // A broker that restarted without persistence holds nothing: everything goes out again.
    m_broker->publish(Topics::bridgeState(m_options.prefixes), "online", true);
    m_broker->subscribe(Topics::commandFilter(m_options.prefixes));
    m_broker->subscribe(Topics::hubStatus(m_options.prefixes));
    for (const Copy &copy : std::as_const(m_copies))
        publishAll(copy);
}

void Bridge::onMessage(const QString &topic, const QByteArray &payload, bool retained)
{
    if (topic == Topics::hubStatus(m_options.prefixes)) {
        if (payload == "online") // the hub restarted: it has forgotten the documents
            for (const Copy &copy : std::as_const(m_copies))
                publishDiscovery(copy);
        return;
    }
    const auto parsed = Topics::parseCommand(m_options.prefixes, topic, payload);
    if (const QString *refusal = std::get_if<QString>(&parsed)) {
        say(u"ignored " + topic + u": " + *refusal);
        return;
    }
    // A retained command is an old one replayed by the broker, not an operator's wish now.
    if (retained) {
        say(u"ignored " + topic + u": a retained command");
        return;
    }
    const Topics::Command &command = std::get<Topics::Command>(parsed);
    for (const Copy &copy : std::as_const(m_copies)) {
        if (Topics::level(copy.board.name) == command.copyLevel) {
            if (copy.running)
                runCommand(copy, command);
            else
                say(u"ignored " + topic + u": " + copy.board.name + u" is not running");
            return;
        }
    }
    say(u"ignored " + topic + u": no such copy is bridged");
}

void Bridge::runCommand(const Copy &copy, const Topics::Command &command)
{
    const QString &service = copy.board.service;
    const uint output = uint(command.output);
    const QDBusPendingCall call =
        command.kind == Topics::Command::Toggle
            ? m_client->requestToggleOutput(service, output)
            : m_client->requestSetOutput(service, output, command.kind == Topics::Command::On);
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [name = copy.board.name, output](QDBusPendingCallWatcher *w) {
                if (w->isError())
                    say(u"output " + QString::number(output) + u" of " + name + u": " +
                        w->error().message());
                w->deleteLater();
            });
}

void Bridge::publishAll(const Copy &copy)
{
    publishDiscovery(copy);
    publishAvailability(copy);
    publishStatus(copy);
    for (int output = 1; output <= Topics::outputCount; ++output)
        publishState(copy, output);
}

void Bridge::publishDiscovery(const Copy &copy)
{
    for (int output = 1; output <= Topics::outputCount; ++output) {
        const QJsonObject doc = Topics::discoveryDocument(m_options.prefixes, copy.board.name,
                                                          copy.board.outputNames.value(output - 1),
                                                          output, m_options.version);
        m_broker->publish(Topics::discoveryConfig(m_options.prefixes, copy.board.name, output),
                          QJsonDocument(doc).toJson(QJsonDocument::Compact), true);
    }
}

void Bridge::publishAvailability(const Copy &copy)
{
    const bool online = copy.running && copy.board.connected;
    m_broker->publish(Topics::availability(m_options.prefixes, copy.board.name),
                      online ? "online" : "offline", true);
}

void Bridge::publishStatus(const Copy &copy)
{
    m_broker->publish(Topics::status(m_options.prefixes, copy.board.name),
                      copy.board.status.toUtf8(), true);
}

void Bridge::publishState(const Copy &copy, int output)
{
    const QString state = copy.board.outputStates.value(output - 1);
    if (state != u"on" && state != u"off")
        return; // unknown: nothing is published
    m_broker->publish(Topics::outputState(m_options.prefixes, copy.board.name, output),
                      state == u"on" ? "ON" : "OFF", true);
}

void Bridge::publishGoodbye()
{
    for (const Copy &copy : std::as_const(m_copies))
        m_broker->publish(Topics::availability(m_options.prefixes, copy.board.name), "offline",
                          true);
    m_broker->publish(Topics::bridgeState(m_options.prefixes), "offline", true);
}
