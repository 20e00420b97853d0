// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <variant>

// The bridge's topics, payloads and Home Assistant discovery documents, free of any broker.
namespace Topics {

inline constexpr int outputCount = 4;

struct Prefixes
{
    QString prefix = QStringLiteral("vantrelo");
    QString discovery = QStringLiteral("homeassistant");
};

// A copy's name as one topic level: '+', '#' and '/' become "_2b", "_23" and "_2f".
QString level(const QString &copyName);

QString bridgeState(const Prefixes &p);                           // <prefix>/bridge/state
QString availability(const Prefixes &p, const QString &copyName); // <prefix>/<copy>/availability
QString status(const Prefixes &p, const QString &copyName);       // <prefix>/<copy>/status
QString outputState(const Prefixes &p, const QString &copyName, int output);
QString outputCommand(const Prefixes &p, const QString &copyName, int output); // .../set
QString commandFilter(const Prefixes &p);                                      // .../+/set
QString hubStatus(const Prefixes &p);                                          // <discovery>/status
QString discoveryConfig(const Prefixes &p, const QString &copyName, int output);

// The discovery document of one output: a switch named after the output, on the copy's
// device, available while both the bridge and the copy are.
QJsonObject discoveryDocument(const Prefixes &p, const QString &copyName, const QString &outputName,
                              int output, const QString &version);

struct Command
{
    enum Kind
    {
        On,
        Off,
        Toggle,
    };
    QString copyLevel; // the topic level, as level() makes it
    int output = 0;
    Kind kind = On;
};
// A message on the command filter read as a command, or why it is not one.
std::variant<Command, QString> parseCommand(const Prefixes &p, const QString &topic,
                                            const QByteArray &payload);

} // namespace Topics
