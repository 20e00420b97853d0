// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Topics.h"

#include "common/BoardBus.h"

#include <QJsonArray>
#include <QStringList>

namespace Topics {

QString level(const QString &copyName)
{
    QString escaped;
    escaped.reserve(copyName.size());
    for (const QChar c : copyName) {
        if (c == u'+')
            escaped += u"_2b";
        else if (c == u'#')
            escaped += u"_23";
        else if (c == u'/')
            escaped += u"_2f";
        else
            escaped += c;
    }
    return escaped;
}

namespace {

QString copyTopic(const Prefixes &p, const QString &copyName, const QString &rest)
{
    return p.prefix + u'/' + level(copyName) + u'/' + rest;
}

} // namespace

QString bridgeState(const Prefixes &p)
{
    return p.prefix + u"/bridge/state";
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

QString commandFilter(const Prefixes &p)
{
    return p.prefix + u"/+/output/+/set";
}

QString hubStatus(const Prefixes &p)
{
    return p.discovery + u"/status";
}

QString discoveryConfig(const Prefixes &p, const QString &copyName, int output)
{
    return p.discovery + u"/switch/vantrelo_" + BoardBus::label(copyName) + u"/output" +
           QString::number(output) + u"/config";
}

QJsonObject discoveryDocument(const Prefixes &p, const QString &copyName, const QString &outputName,
                              int output, const QString &version)
{
    const QString device = u"vantrelo_" + BoardBus::label(copyName);
    return {
        {QStringLiteral("name"), outputName},
        {QStringLiteral("unique_id"), QString(device + u'_' + QString::number(output))},
        {QStringLiteral("command_topic"), outputCommand(p, copyName, output)},
        {QStringLiteral("state_topic"), outputState(p, copyName, output)},
        {QStringLiteral("payload_on"), QStringLiteral("ON")},
        {QStringLiteral("payload_off"), QStringLiteral("OFF")},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("availability"),
         QJsonArray{QJsonObject{{QStringLiteral("topic"), bridgeState(p)}},
                    QJsonObject{{QStringLiteral("topic"), availability(p, copyName)}}}},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("device"),
         QJsonObject{{QStringLiteral("identifiers"), QJsonArray{device}},
                     {QStringLiteral("name"), copyName},
                     {QStringLiteral("model"), QStringLiteral("Vantrelo output controller")},
                     {QStringLiteral("sw_version"), version}}},
    };
}

std::variant<Command, QString> parseCommand(const Prefixes &p, const QString &topic,
                                            const QByteArray &payload)
{
    if (!topic.startsWith(p.prefix + u'/'))
        return QStringLiteral("not a command topic");
    const QStringList levels = topic.mid(p.prefix.size() + 1).split(u'/');
    if (levels.size() != 4 || levels[1] != u"output" || levels[3] != u"set")
        return QStringLiteral("not a command topic");
    Command command;
    command.copyLevel = levels[0];
    // Exactly one digit from 1 to 4: no sign, no leading zero, no spaces.
    const QString &number = levels[2];
    if (number.size() != 1 || number[0] < u'1' || number[0] > QChar(u'0' + outputCount))
        return QStringLiteral("no output \"%1\": outputs are 1 to %2").arg(number).arg(outputCount);
    command.output = number[0].unicode() - u'0';
    if (payload == "ON")
        command.kind = Command::On;
    else if (payload == "OFF")
        command.kind = Command::Off;
    else if (payload == "TOGGLE")
        command.kind = Command::Toggle;
    else
        return QStringLiteral("payload of %1 bytes is not ON, OFF or TOGGLE").arg(payload.size());
    return command;
}

} // namespace Topics
