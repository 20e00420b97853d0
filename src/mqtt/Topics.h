// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// The bridge's topics, payloads and Home Assistant discovery documents, free of any broker.
//
// Every topic of a bridge carries its node (one per machine), so that any number of bridges
// share one broker without touching each other:
//   <prefix>/<node>/<copy>/output/<n>        ON or OFF, retained
//   <prefix>/<node>/<copy>/output/<n>/set    commands: ON, OFF, TOGGLE
//   <prefix>/<node>/<copy>/output/<n>/pulse  a pulse's milliseconds, kept by the board; PRESS:
//                                            the output's pulse length
//   <prefix>/<node>/<copy>/output/<n>/pulse_length       that length in seconds, retained
//   <prefix>/<node>/<copy>/output/<n>/pulse_length/set   commands: seconds, 0.1 to 86400
//   <prefix>/<node>/<copy>/availability      online or offline, retained
//   <prefix>/<node>/<copy>/status            the status line, retained
//   <prefix>/<node>/bridge/state             online or offline, retained; the last will
//   <prefix>/<node>/bridge/holder            the machine id of the bridge that holds the node
//   <discovery>/device/vantrelo_<node label>_<copy label>/config   one document a board
//   <discovery>/device/vantrelo_<node label>_bridge/config         the bridge's own
namespace Topics {

inline constexpr int outputCount = 4;
// A command's payload is a few bytes: anything longer is dropped before it is looked at.
inline constexpr int maxCommandPayload = 256;
// A pulse's length when none was set, and the longest, in milliseconds.
inline constexpr quint32 defaultPulseMs = 1000;

struct Prefixes
{
    QString prefix = QStringLiteral("vantrelo");
    QString discovery = QStringLiteral("homeassistant");
    QString node = QStringLiteral("node");
};

// A name as one topic level, one to one: '_', '+', '#', '/', control characters and the
// characters Home Assistant refuses in a topic (non-characters) become '_' and two lower-case
// hex digits for each of their UTF-8 bytes; everything else stays ("board.1" is "board.1",
// "x+1" is "x_2b1", "x_2b1" is "x_5f2b1").
QString level(const QString &name);
// The machine's short host name as a level: the default node.
QString defaultNode();

// Why a text cannot be a prefix (no '+', '#', a leading '$' or a trailing '/', no control
// characters), a node (one level: none of those, nor '/'), or an MQTT client id (1 to 65535
// bytes of UTF-8 without control characters); empty when it can.
QString prefixRefusal(const QString &prefix);
QString nodeRefusal(const QString &node);
QString clientIdRefusal(const QString &clientId);

QString bridgeState(const Prefixes &p);
// <prefix>/<node>/bridge/holder: the machine that holds the node, retained.
QString nodeHolder(const Prefixes &p);
// <prefix>/<node>/bridge/probe: a bridge's message to itself, behind the retained ones.
QString nodeProbe(const Prefixes &p);
QString availability(const Prefixes &p, const QString &copyName);
QString status(const Prefixes &p, const QString &copyName);
QString outputState(const Prefixes &p, const QString &copyName, int output);
QString outputCommand(const Prefixes &p, const QString &copyName, int output); // .../set
QString outputPulse(const Prefixes &p, const QString &copyName, int output);   // .../pulse
QString pulseLength(const Prefixes &p, const QString &copyName, int output);   // .../pulse_length
QString pulseLengthCommand(const Prefixes &p, const QString &copyName, int output); // .../set
// <prefix>/<node>/+/output/+/+ and <prefix>/<node>/+/output/+/pulse_length/set
QStringList commandFilters(const Prefixes &p);
QString hubStatus(const Prefixes &p); // <discovery>/status

// vantrelo_<node label>_<copy label>, the labels as in the copies' bus names: the device's
// identifier, its discovery topic's object id, and the start of its outputs' unique ids.
QString deviceId(const Prefixes &p, const QString &copyName);
QString discoveryConfig(const Prefixes &p, const QString &copyName);
// The device discovery document of one board: the device, reached through the bridge's device,
// the bridge as its origin, and for each output (named after it, "Output n" when unnamed) a
// switch, a pulse button and the pulse's length, available while both the bridge and the board
// are; and the board's connection and status line, for diagnosis, while the bridge is.
QJsonObject discoveryDocument(const Prefixes &p, const QString &copyName,
                              const QStringList &outputNames, const QString &version);
// The bridge as a device of its own, with its connection to the broker.
QString bridgeDeviceId(const Prefixes &p);
QString bridgeDiscoveryConfig(const Prefixes &p);
QJsonObject bridgeDiscoveryDocument(const Prefixes &p, const QString &version);
// A pulse length as the pulse_length topics carry it: seconds from 0.1 to a day, to the
// millisecond; nothing for anything else.
std::optional<quint32> pulseLengthMs(const QByteArray &seconds);
QByteArray pulseLengthText(quint32 milliseconds);

// What the bridge keeps on the broker for a board: its discovery document, availability,
// status and states. Empty retained messages on them remove the board from the hub.
QStringList retainedTopics(const Prefixes &p, const QString &copyName);

struct Command
{
    enum Kind
    {
        On,
        Off,
        Toggle,
        Pulse,            // for milliseconds
        PulseStored,      // PRESS: for the output's pulse length
        SetPulseLength,   // to milliseconds
        StoredPulseLength // the length kept on the broker (retained), read back
    };
    QString copyLevel; // the topic level, as level() makes it
    int output = 0;
    Kind kind = On;
    quint32 milliseconds = 0; // of a pulse, or a pulse length
};
struct Refusal
{
    QString kind; // what is wrong, the same words for every message of its kind
    QString detail;
};
// A message on the command filter read as a command, or why it is not one.
std::variant<Command, Refusal> parseCommand(const Prefixes &p, const QString &topic,
                                            const QByteArray &payload);

} // namespace Topics
