// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Bridge.h"

#include "MqttClient.h"
#include "common/Messages.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace {

using Messages::say;

const QString bridgeLevel = QStringLiteral("bridge");

// A topic as a message may show it: no control characters, at most 200 characters.
QString shown(const QString &topic)
{
    QString text = topic.left(200);
    for (QChar &c : text)
        if (c.category() == QChar::Other_Control)
            c = u'?';
    return topic.size() > 200 ? text + u"..." : text;
}

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
    m_summary.setSingleShot(true);
    m_summary.setInterval(m_options.summaryEvery);
    connect(&m_summary, &QTimer::timeout, this, &Bridge::summarizeRefusals);
    m_discoveryPause.setSingleShot(true);
    m_discoveryPause.setInterval(m_options.discoveryEvery);
    connect(&m_discoveryPause, &QTimer::timeout, this, [this] {
        if (std::exchange(m_discoveryDue, false))
            republishDiscovery();
    });
    m_probe = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
}

void Bridge::start()
{
    m_client->watchCopies();
    auto *watcher = new QDBusPendingCallWatcher(m_client->requestNames(), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QStringList> reply = *w;
        if (reply.isError())
            say(Messages::Warning, u"cannot list the copies: " + reply.error().message());
        for (const QString &service : BoardClient::runningCopies(reply.value()))
            if (!m_asking.contains(service) && !m_copies.value(service).running)
                addCopy(service);
    });
}

// A copy whose name was taken, now or at the start: asked for its description anew.
void Bridge::addCopy(const QString &service)
{
    // Followed first, so that nothing reported after the description is missed.
    m_client->follow(service);
    Asking &asking = m_asking[service];
    asking = {++m_generation, m_options.firstRetry};
    describe(service, asking.generation);
}

void Bridge::describe(const QString &service, int generation)
{
    auto *watcher = new QDBusPendingCallWatcher(m_client->requestProperties(service), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, service, generation](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                const auto it = m_asking.find(service);
                if (it == m_asking.end() || it->generation != generation)
                    return; // it quit, or was asked anew meanwhile
                const QDBusPendingReply<QVariantMap> reply = *w;
                if (!reply.isError()) {
                    m_asking.erase(it);
                    onDescribed(service, BoardClient::fromProperties(service, reply.value()));
                    return;
                }
                say(Messages::Warning,
                    QStringLiteral("%1 does not answer (%2); asking again in %3 s")
                        .arg(service, reply.error().message())
                        .arg(double(it->backoff.count()) / 1000));
                QTimer::singleShot(it->backoff, this, [this, service, generation] {
                    if (m_asking.value(service).generation == generation)
                        describe(service, generation);
                });
                it->backoff = std::min(it->backoff * 2, m_options.lastRetry);
            });
}

void Bridge::onDescribed(const QString &service, const BoardClient::Copy &board)
{
    if (!m_options.boards.isEmpty() && !m_options.boards.contains(board.name))
        return;
    if (Topics::level(board.name) == bridgeLevel) {
        say(Messages::Warning,
            QStringLiteral("a copy named \"bridge\" is not bridged: its topics would be the "
                           "bridge's own"));
        return;
    }
    Copy &copy = m_copies[service];
    copy.board = board;
    copy.running = true;
    say(Messages::Info, u"bridging " + board.name);
    publishAll(copy);
}

void Bridge::onCopyQuit(const QString &service)
{
    m_asking.remove(service);
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
    // Nothing goes out before the node's holder is known: the retained holder comes right after
    // the subscription, and the probe, published after it, behind it.
    m_claiming = true;
    m_held = false;
    m_holder.clear();
    m_broker->subscribe(Topics::nodeHolder(m_options.prefixes));
    m_broker->subscribe(Topics::nodeProbe(m_options.prefixes));
    m_broker->publish(Topics::nodeProbe(m_options.prefixes), m_probe, false);
}

// Whether a holder that is not this bridge has the node from it: one of another machine always,
// one of this machine once this bridge has held it (before, it is this bridge's earlier run).
bool Bridge::takenBy(const QByteArray &holder)
{
    if (holder.isEmpty() || holder == m_options.machineId.toUtf8() + ' ' + m_probe)
        return false;
    const QString machine = QString::fromUtf8(holder.split(' ').first());
    const bool thisMachine = machine == m_options.machineId;
    if (thisMachine && !m_everHeld)
        return false;
    m_held = false;
    emit nodeTaken(machine, thisMachine);
    return true;
}

void Bridge::onNodeClaimed()
{
    m_claiming = false;
    if (takenBy(m_holder))
        return;
    m_held = m_everHeld = true;
    m_broker->publish(Topics::nodeHolder(m_options.prefixes),
                      m_options.machineId.toUtf8() + ' ' + m_probe, true);
    // A broker that restarted without persistence holds nothing: everything goes out again.
    m_broker->publish(Topics::bridgeState(m_options.prefixes), "online", true);
    // The retained pulse lengths come back with the subscription: none is lost to a restart.
    for (const QString &filter : Topics::commandFilters(m_options.prefixes))
        m_broker->subscribe(filter);
    m_broker->subscribe(Topics::hubStatus(m_options.prefixes));
    publishBridgeDiscovery();
    for (const Copy &copy : std::as_const(m_copies))
        publishAll(copy);
}

void Bridge::onMessage(const QString &topic, const QByteArray &payload, bool retained)
{
    if (topic == Topics::nodeHolder(m_options.prefixes)) {
        if (m_claiming)
            m_holder = payload;
        else if (m_held)
            takenBy(payload); // another bridge claimed it since
        return;
    }
    if (topic == Topics::nodeProbe(m_options.prefixes)) {
        if (m_claiming && payload == m_probe)
            onNodeClaimed();
        return;
    }
    if (topic == Topics::hubStatus(m_options.prefixes)) {
        // The hub restarted: it has forgotten the documents. A burst of births is answered once
        // a pause: never a flood of documents.
        if (payload != "online")
            return;
        if (m_discoveryPause.isActive())
            m_discoveryDue = true;
        else
            republishDiscovery();
        return;
    }
    const auto parsed = Topics::parseCommand(m_options.prefixes, topic, payload);
    if (const auto *refusal = std::get_if<Topics::Refusal>(&parsed))
        return refuse(topic, *refusal);
    const Topics::Command &command = std::get<Topics::Command>(parsed);
    if (command.kind == Topics::Command::StoredPulseLength) { // state the broker keeps
        m_pulseMs[command.copyLevel][size_t(command.output - 1)] = command.milliseconds;
        return;
    }
    // A retained command is an old one replayed by the broker, not an operator's wish now.
    if (retained)
        return refuse(topic, {QStringLiteral("a retained command"), {}});
    for (const Copy &copy : std::as_const(m_copies)) {
        if (Topics::level(copy.board.name) != command.copyLevel)
            continue;
        if (copy.running)
            runCommand(copy, command);
        else
            refuse(topic, {QStringLiteral("a copy that is not running"), copy.board.name});
        return;
    }
    refuse(topic, {QStringLiteral("no such copy is bridged"), command.copyLevel});
}

void Bridge::republishDiscovery()
{
    publishBridgeDiscovery();
    for (const Copy &copy : std::as_const(m_copies))
        publishDiscovery(copy);
    m_discoveryPause.start();
}

void Bridge::publishBridgeDiscovery()
{
    if (!m_held)
        return;
    const QJsonObject doc = Topics::bridgeDiscoveryDocument(m_options.prefixes, m_options.version);
    m_broker->publish(Topics::bridgeDiscoveryConfig(m_options.prefixes),
                      QJsonDocument(doc).toJson(QJsonDocument::Compact), true);
}

void Bridge::refuse(const QString &topic, const Topics::Refusal &refusal)
{
    if (!m_refusalsTold.contains(refusal.kind)) {
        m_refusalsTold.insert(refusal.kind);
        say(Messages::Warning,
            u"ignored " + shown(topic) + u": " + refusal.kind +
                (refusal.detail.isEmpty() ? QString() : u" (" + shown(refusal.detail) + u')'));
        return;
    }
    ++m_refusalsSince[refusal.kind];
    if (!m_summary.isActive())
        m_summary.start();
}

void Bridge::summarizeRefusals()
{
    int total = 0;
    QStringList kinds;
    for (auto it = m_refusalsSince.cbegin(); it != m_refusalsSince.cend(); ++it) {
        total += it.value();
        kinds << QString::number(it.value()) + u' ' + it.key();
    }
    m_refusalsSince.clear();
    kinds.sort();
    say(Messages::Warning, QStringLiteral("ignored %1 more command messages since: %2")
                               .arg(total)
                               .arg(kinds.join(u", ")));
}

void Bridge::runCommand(const Copy &copy, const Topics::Command &command)
{
    const QString &service = copy.board.service;
    const uint output = uint(command.output);
    auto &lengths = m_pulseMs[command.copyLevel];
    if (command.kind == Topics::Command::SetPulseLength) {
        lengths[size_t(output - 1)] = command.milliseconds;
        m_broker->publish(Topics::pulseLength(m_options.prefixes, copy.board.name, int(output)),
                          Topics::pulseLengthText(command.milliseconds), true);
        return;
    }
    const quint32 stored = lengths[size_t(output - 1)];
    const QDBusPendingCall call =
        command.kind == Topics::Command::Toggle ? m_client->requestToggleOutput(service, output)
        : command.kind == Topics::Command::Pulse
            ? m_client->requestPulseOutput(service, output, command.milliseconds)
        : command.kind == Topics::Command::PulseStored
            ? m_client->requestPulseOutput(service, output,
                                           stored ? stored : Topics::defaultPulseMs)
            : m_client->requestSetOutput(service, output, command.kind == Topics::Command::On);
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [name = copy.board.name, output](QDBusPendingCallWatcher *w) {
                if (w->isError())
                    say(Messages::Warning, u"output " + QString::number(output) + u" of " + name +
                                               u": " + w->error().message());
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
    if (!m_held) // the node is not this bridge's yet
        return;
    const QJsonObject doc = Topics::discoveryDocument(m_options.prefixes, copy.board.name,
                                                      copy.board.outputNames, m_options.version);
    m_broker->publish(Topics::discoveryConfig(m_options.prefixes, copy.board.name),
                      QJsonDocument(doc).toJson(QJsonDocument::Compact), true);
}

void Bridge::publishAvailability(const Copy &copy)
{
    if (!m_held) // the node is not this bridge's yet
        return;
    const bool online = copy.running && copy.board.connected;
    m_broker->publish(Topics::availability(m_options.prefixes, copy.board.name),
                      online ? "online" : "offline", true);
}

void Bridge::publishStatus(const Copy &copy)
{
    if (!m_held) // the node is not this bridge's yet
        return;
    m_broker->publish(Topics::status(m_options.prefixes, copy.board.name),
                      copy.board.status.toUtf8(), true);
}

void Bridge::publishState(const Copy &copy, int output)
{
    if (!m_held) // the node is not this bridge's yet
        return;
    const QString state = copy.board.outputStates.value(output - 1);
    if (state != u"on" && state != u"off")
        return; // unknown: nothing is published
    m_broker->publish(Topics::outputState(m_options.prefixes, copy.board.name, output),
                      state == u"on" ? "ON" : "OFF", true);
}

void Bridge::publishGoodbye()
{
    if (!m_held)
        return;
    for (const Copy &copy : std::as_const(m_copies))
        m_broker->publish(Topics::availability(m_options.prefixes, copy.board.name), "offline",
                          true);
    m_broker->publish(Topics::bridgeState(m_options.prefixes), "offline", true);
}
