// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Topics.h"

#include "common/BoardBus.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QStringList>
#include <QSysInfo>

namespace Topics {

namespace {

// Characters a topic must not hold for Home Assistant: controls and non-characters.
bool refusedInTopic(char32_t c)
{
    return c <= 0x1f || (c >= 0x7f && c <= 0x9f) || (c >= 0xfdd0 && c <= 0xfdef) ||
           (c & 0xfffe) == 0xfffe;
}

} // namespace

QString level(const QString &name)
{
    QString escaped;
    escaped.reserve(name.size());
    for (const char32_t c : name.toUcs4()) {
        if (c == u'_' || c == u'+' || c == u'#' || c == u'/' || refusedInTopic(c)) {
            for (const char byte : QString::fromUcs4(&c, 1).toUtf8())
                escaped +=
                    u'_' +
                    QString::number(static_cast<unsigned char>(byte), 16).rightJustified(2, u'0');
        } else {
            escaped += QString::fromUcs4(&c, 1);
        }
    }
    return escaped;
}

QString defaultNode()
{
    return level(QSysInfo::machineHostName().section(u'.', 0, 0));
}

namespace {

QString controlRefusal(const QString &text)
{
    for (const char32_t c : text.toUcs4())
        if (refusedInTopic(c))
            return QStringLiteral("holds a control character");
    return {};
}

} // namespace

QString prefixRefusal(const QString &prefix)
{
    if (prefix.isEmpty())
        return QStringLiteral("is empty");
    if (prefix.contains(u'+') || prefix.contains(u'#'))
        return QStringLiteral("holds a wildcard (+ or #)");
    if (prefix.startsWith(u'$'))
        return QStringLiteral("starts with $, which the broker keeps for itself");
    if (prefix.startsWith(u'/') || prefix.endsWith(u'/') || prefix.contains(QStringLiteral("//")))
        return QStringLiteral("has an empty level");
    return controlRefusal(prefix);
}

QString nodeRefusal(const QString &node)
{
    if (node.contains(u'/'))
        return QStringLiteral("holds a /: a node is one topic level");
    return prefixRefusal(node);
}

QString clientIdRefusal(const QString &clientId)
{
    const qsizetype bytes = clientId.toUtf8().size();
    if (bytes < 1 || bytes > 65535)
        return QStringLiteral("has %1 bytes; MQTT takes 1 to 65535").arg(bytes);
    return controlRefusal(clientId);
}

namespace {

QString nodeTopic(const Prefixes &p, const QString &rest)
{
    return p.prefix + u'/' + p.node + u'/' + rest;
}

QString copyTopic(const Prefixes &p, const QString &copyName, const QString &rest)
{
    return nodeTopic(p, level(copyName) + u'/' + rest);
}

} // namespace

QString bridgeState(const Prefixes &p)
{
    return nodeTopic(p, QStringLiteral("bridge/state"));
}

QString nodeHolder(const Prefixes &p)
{
    return nodeTopic(p, QStringLiteral("bridge/holder"));
}

QString nodeProbe(const Prefixes &p)
{
    return nodeTopic(p, QStringLiteral("bridge/probe"));
}

QString availability(const Prefixes &p, const QString &copyName)
{
    return copyTopic(p, copyName, QStringLiteral("availability"));
}

QString status(const Prefixes &p, const QString &copyName)
{
    return copyTopic(p, copyName, QStringLiteral("status"));
}

QString outputState(const Prefixes &p, const QString &copyName, int output)
{
    return copyTopic(p, copyName, u"output/" + QString::number(output));
}

QString outputCommand(const Prefixes &p, const QString &copyName, int output)
{
    return outputState(p, copyName, output) + u"/set";
}

QString outputPulse(const Prefixes &p, const QString &copyName, int output)
{
    return outputState(p, copyName, output) + u"/pulse";
}

QString pulseLength(const Prefixes &p, const QString &copyName, int output)
{
    return outputState(p, copyName, output) + u"/pulse_length";
}

QString pulseLengthCommand(const Prefixes &p, const QString &copyName, int output)
{
    return pulseLength(p, copyName, output) + u"/set";
}

QStringList commandFilters(const Prefixes &p)
{
    return {nodeTopic(p, QStringLiteral("+/output/+/+")),
            nodeTopic(p, QStringLiteral("+/output/+/pulse_length/set"))};
}

std::optional<quint32> pulseLengthMs(const QByteArray &seconds)
{
    // Seconds as a number entity sends them: digits, and a fraction to the millisecond.
    static const QRegularExpression form(
        QRegularExpression::anchoredPattern(QStringLiteral("(0|[1-9][0-9]{0,4})(\\.[0-9]{1,3})?")));
    if (!form.match(QString::fromLatin1(seconds)).hasMatch())
        return std::nullopt;
    const auto ms = quint32(qRound64(QString::fromLatin1(seconds).toDouble() * 1000));
    if (ms < 100 || ms > BoardBus::maxPulseMs)
        return std::nullopt;
    return ms;
}

QByteArray pulseLengthText(quint32 milliseconds)
{
    QByteArray text = QByteArray::number(milliseconds / 1000);
    if (const quint32 fraction = milliseconds % 1000) {
        text += '.' + QByteArray::number(fraction).rightJustified(3, '0');
        while (text.endsWith('0'))
            text.chop(1);
    }
    return text;
}

QString hubStatus(const Prefixes &p)
{
    return p.discovery + u"/status";
}

QString deviceId(const Prefixes &p, const QString &copyName)
{
    return u"vantrelo_" + BoardBus::label(p.node) + u'_' + BoardBus::label(copyName);
}

QString discoveryConfig(const Prefixes &p, const QString &copyName)
{
    return p.discovery + u"/device/" + deviceId(p, copyName) + u"/config";
}

QString bridgeDeviceId(const Prefixes &p)
{
    return u"vantrelo_" + BoardBus::label(p.node) + u"_bridge";
}

QString bridgeDiscoveryConfig(const Prefixes &p)
{
    return p.discovery + u"/device/" + bridgeDeviceId(p) + u"/config";
}

namespace {

QJsonObject origin(const QString &version)
{
    return {{QStringLiteral("name"), QStringLiteral("vantrelo-mqtt")},
            {QStringLiteral("sw_version"), version},
            {QStringLiteral("support_url"), QStringLiteral("https://vantrelo.example/")}};
}

QJsonArray availabilityOf(const QStringList &topics)
{
    QJsonArray list;
    for (const QString &topic : topics)
        list.append(QJsonObject{{QStringLiteral("topic"), topic}});
    return list;
}

// A connection as Home Assistant shows one: online or offline on a topic, for diagnosis.
QJsonObject connectivity(const QString &name, const QString &uniqueId, const QString &topic)
{
    return {{QStringLiteral("platform"), QStringLiteral("binary_sensor")},
            {QStringLiteral("name"), name},
            {QStringLiteral("unique_id"), uniqueId},
            {QStringLiteral("device_class"), QStringLiteral("connectivity")},
            {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
            {QStringLiteral("state_topic"), topic},
            {QStringLiteral("payload_on"), QStringLiteral("online")},
            {QStringLiteral("payload_off"), QStringLiteral("offline")}};
}

} // namespace

QJsonObject discoveryDocument(const Prefixes &p, const QString &copyName,
                              const QStringList &outputNames, const QString &version)
{
    const QString device = deviceId(p, copyName);
    const QString bridgeOnly = QStringLiteral("availability");
    QJsonObject components;
    for (int n = 1; n <= outputCount; ++n) {
        const QString given = outputNames.value(n - 1);
        const QString name = given.isEmpty() ? u"Output " + QString::number(n) : given;
        const QString id = device + u'_' + QString::number(n);
        const QString key = u"output" + QString::number(n);
        components.insert(
            key, QJsonObject{{QStringLiteral("platform"), QStringLiteral("switch")},
                             {QStringLiteral("name"), name},
                             {QStringLiteral("unique_id"), id},
                             {QStringLiteral("command_topic"), outputCommand(p, copyName, n)},
                             {QStringLiteral("state_topic"), outputState(p, copyName, n)},
                             {QStringLiteral("payload_on"), QStringLiteral("ON")},
                             {QStringLiteral("payload_off"), QStringLiteral("OFF")}});
        components.insert(
            key + u"_pulse",
            QJsonObject{{QStringLiteral("platform"), QStringLiteral("button")},
                        {QStringLiteral("name"), QString(name + u" pulse")},
                        {QStringLiteral("unique_id"), QString(id + u"_pulse")},
                        {QStringLiteral("command_topic"), outputPulse(p, copyName, n)},
                        {QStringLiteral("payload_press"), QStringLiteral("PRESS")}});
        components.insert(
            key + u"_pulse_length",
            QJsonObject{{QStringLiteral("platform"), QStringLiteral("number")},
                        {QStringLiteral("name"), QString(name + u" pulse length")},
                        {QStringLiteral("unique_id"), QString(id + u"_pulse_length")},
                        {QStringLiteral("command_topic"), pulseLengthCommand(p, copyName, n)},
                        {QStringLiteral("state_topic"), pulseLength(p, copyName, n)},
                        {QStringLiteral("min"), 0.1},
                        {QStringLiteral("max"), double(BoardBus::maxPulseMs) / 1000},
                        {QStringLiteral("step"), 0.1},
                        {QStringLiteral("mode"), QStringLiteral("box")},
                        {QStringLiteral("unit_of_measurement"), QStringLiteral("s")},
                        {QStringLiteral("entity_category"), QStringLiteral("config")}});
    }
    // The board's connection and status are known while the bridge is, the board or not.
    QJsonObject connected = connectivity(
        QStringLiteral("Connected"), QString(device + u"_connected"), availability(p, copyName));
    connected.insert(bridgeOnly, availabilityOf({bridgeState(p)}));
    components.insert(QStringLiteral("connected"), connected);
    components.insert(QStringLiteral("status"),
                      QJsonObject{{QStringLiteral("platform"), QStringLiteral("sensor")},
                                  {QStringLiteral("name"), QStringLiteral("Status")},
                                  {QStringLiteral("unique_id"), QString(device + u"_status")},
                                  {QStringLiteral("state_topic"), status(p, copyName)},
                                  {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
                                  {bridgeOnly, availabilityOf({bridgeState(p)})}});
    return {
        {QStringLiteral("device"),
         QJsonObject{{QStringLiteral("identifiers"), QJsonArray{device}},
                     {QStringLiteral("name"), copyName},
                     {QStringLiteral("model"), QStringLiteral("Vantrelo output controller")},
                     {QStringLiteral("sw_version"), version},
                     {QStringLiteral("via_device"), bridgeDeviceId(p)}}},
        {QStringLiteral("origin"), origin(version)},
        {QStringLiteral("availability"),
         availabilityOf({bridgeState(p), availability(p, copyName)})},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("components"), components},
    };
}

QJsonObject bridgeDiscoveryDocument(const Prefixes &p, const QString &version)
{
    const QString device = bridgeDeviceId(p);
    return {
        {QStringLiteral("device"),
         QJsonObject{{QStringLiteral("identifiers"), QJsonArray{device}},
                     {QStringLiteral("name"), QString(u"Vantrelo bridge " + p.node)},
                     {QStringLiteral("model"), QStringLiteral("vantrelo-mqtt")},
                     {QStringLiteral("sw_version"), version}}},
        {QStringLiteral("origin"), origin(version)},
        {QStringLiteral("availability"), availabilityOf({bridgeState(p)})},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("components"),
         QJsonObject{{QStringLiteral("broker"),
                      connectivity(QStringLiteral("Broker connection"),
                                   QString(device + u"_broker"), bridgeState(p))}}},
    };
}

QStringList retainedTopics(const Prefixes &p, const QString &copyName)
{
    QStringList topics = {discoveryConfig(p, copyName), availability(p, copyName),
                          status(p, copyName)};
    for (int output = 1; output <= outputCount; ++output)
        topics << outputState(p, copyName, output) << pulseLength(p, copyName, output);
    return topics;
}

std::variant<Command, Refusal> parseCommand(const Prefixes &p, const QString &topic,
                                            const QByteArray &payload)
{
    const QString start = nodeTopic(p, {});
    const QStringList levels =
        topic.startsWith(start) ? topic.mid(start.size()).split(u'/') : QStringList();
    const QString last = levels.value(3) + (levels.size() == 5 ? u'/' + levels[4] : QString());
    const bool known = last == u"set" || last == u"pulse" || last == u"pulse_length" ||
                       last == u"pulse_length/set";
    if ((levels.size() != 4 && levels.size() != 5) || levels[1] != u"output" || !known)
        return Refusal{QStringLiteral("not a command topic"), topic};
    if (payload.size() > maxCommandPayload)
        return Refusal{QStringLiteral("a payload over %1 bytes").arg(maxCommandPayload),
                       QStringLiteral("%1 bytes").arg(payload.size())};
    Command command;
    command.copyLevel = levels[0];
    // Exactly one digit from 1 to 4: no sign, no leading zero, no spaces.
    const QString &number = levels[2];
    if (number.size() != 1 || number[0] < u'1' || number[0] > QChar(u'0' + outputCount))
        return Refusal{QStringLiteral("no such output: outputs are 1 to %1").arg(outputCount),
                       u"output \"" + number + u'"'};
    command.output = number[0].unicode() - u'0';
    if (last == u"pulse_length" || last == u"pulse_length/set") {
        const auto ms = pulseLengthMs(payload);
        if (!ms)
            return Refusal{QStringLiteral("a pulse length that is not 0.1 to 86400 seconds"),
                           QStringLiteral("%1 bytes").arg(payload.size())};
        command.kind =
            last == u"pulse_length" ? Command::StoredPulseLength : Command::SetPulseLength;
        command.milliseconds = *ms;
        return command;
    }
    if (last == u"pulse") {
        if (payload == "PRESS") {
            command.kind = Command::PulseStored;
            return command;
        }
        // Milliseconds in decimal, no sign, no leading zero, 1 to a day.
        static const QRegularExpression digits(
            QRegularExpression::anchoredPattern(QStringLiteral("[1-9][0-9]{0,7}")));
        const QString text = QString::fromLatin1(payload);
        command.kind = Command::Pulse;
        command.milliseconds = text.toUInt();
        if (!digits.match(text).hasMatch() || command.milliseconds > BoardBus::maxPulseMs)
            return Refusal{QStringLiteral("a pulse that is not 1 to 86400000 milliseconds"),
                           QStringLiteral("%1 bytes").arg(payload.size())};
        return command;
    }
    if (payload == "ON")
        command.kind = Command::On;
    else if (payload == "OFF")
        command.kind = Command::Off;
    else if (payload == "TOGGLE")
        command.kind = Command::Toggle;
    else
        return Refusal{QStringLiteral("a payload that is not ON, OFF or TOGGLE"),
                       QStringLiteral("%1 bytes").arg(payload.size())};
    return command;
}

} // namespace Topics
