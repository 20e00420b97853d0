// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelo-mqtt: bridges every running copy of Vantrelo on the session bus to an MQTT broker,
// with Home Assistant discovery. Exit status: 0 stopped by a signal, or a board forgotten; 1 the
// session bus is missing or went away, or the broker took no goodbye; 2 bad options or an
// unusable password, CA, certificate or key file; 3 another bridge holds the node on the broker.

#include "Bridge.h"
#include "MqttClient.h"
#include "client/BoardClient.h"
#include "common/CommandLine.h"
#include "common/Messages.h"
#include "common/Notify.h"
#include "common/RegularFile.h"
#include "common/UnixSignals.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTimer>

#include <arpa/inet.h>
#include <array>
#include <csignal>
#include <optional>
#include <sys/stat.h>
#include <variant>

namespace {

enum Exit
{
    Stopped = 0,
    Failed = 1,
    Usage = 2,
    NodeTaken = 3, // another bridge holds the node: not restarted, never fought
};

// The first line of the file, or why it cannot be the password: the file is opened first and
// then looked at (never waiting on a FIFO); it must be a regular, non-empty file that neither
// its group nor others may read or write.
std::variant<QString, QString> readPassword(const QString &path)
{
    using Result = std::variant<QString, QString>;
    const auto refuse = [&](const QString &why) {
        return Result(std::in_place_index<1>, u"password file " + path + u": " + why);
    };
    QFile file;
    struct stat st
    {
    };
    if (const QString refusal = openRegularFile(path, file, st); !refusal.isEmpty())
        return refuse(refusal);
    if (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH))
        return refuse(QStringLiteral("others may read or write it (mode %1); make it private "
                                     "with chmod 600")
                          .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0')));
    // A password is short: a longer first line, or one with a NUL, is not one to send cut short.
    constexpr qsizetype longest = 4096;
    QByteArray line = file.readLine(longest + 2);
    const bool ended = line.endsWith('\n') || file.atEnd();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return refuse(QStringLiteral("holds no password on its first line"));
    if (!ended || line.size() > longest)
        return refuse(QStringLiteral("its first line is longer than %1 bytes").arg(longest));
    if (line.contains('\0'))
        return refuse(QStringLiteral("its first line holds a NUL byte"));
    return Result(std::in_place_index<0>, QString::fromUtf8(line));
}

// The machine's own identifier (systemd's machine-id), which no two installations share; the
// host name where there is none.
QString machineId()
{
    for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        QFile file(QString::fromLatin1(path));
        if (file.open(QIODevice::ReadOnly))
            if (const QByteArray id = file.readLine(64).trimmed(); !id.isEmpty())
                return QString::fromLatin1(id);
    }
    return QSysInfo::machineHostName();
}

// An address in numbers, IPv4 or IPv6.
std::optional<std::array<unsigned char, 16>> address(const QString &host, int family)
{
    std::array<unsigned char, 16> bytes{};
    if (::inet_pton(family, host.toLatin1().constData(), bytes.data()) != 1)
        return std::nullopt;
    return bytes;
}

bool isLoopback(const QString &host)
{
    static constexpr std::array<unsigned char, 16> ipv6Loopback = {0, 0, 0, 0, 0, 0, 0, 0,
                                                                   0, 0, 0, 0, 0, 0, 0, 1};
    const auto v4 = address(host, AF_INET);
    return host == u"localhost" || (v4 && (*v4)[0] == 127) ||
           address(host, AF_INET6) == ipv6Loopback;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrelo-mqtt"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRELO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Bridges the running copies of Vantrelo to an MQTT broker, with Home "
                       "Assistant discovery. See vantrelo-mqtt(1)."));
    // Named as mosquitto's own clients name them: -h is the host, help is --help alone.
    const auto option = [&](const QStringList &names, const QString &help,
                            const QString &value = {}, const QString &defaultValue = {}) {
        QCommandLineOption o(names, help, value, defaultValue);
        parser.addOption(o);
        return o;
    };
    const auto host = option({QStringLiteral("h"), QStringLiteral("host")},
                             QStringLiteral("The broker (localhost)."), QStringLiteral("HOST"),
                             QStringLiteral("localhost"));
    const auto port = option({QStringLiteral("p"), QStringLiteral("port")},
                             QStringLiteral("The broker's port (1883, or 8883 with TLS)."),
                             QStringLiteral("PORT"));
    const auto username =
        option({QStringLiteral("u"), QStringLiteral("username")},
               QStringLiteral("The user name at the broker."), QStringLiteral("NAME"));
    const auto passwordFile = option(
        {QStringLiteral("password-file")},
        QStringLiteral("The password: the first line of FILE, which only its owner may read."),
        QStringLiteral("FILE"));
    const auto caFile = option({QStringLiteral("cafile")},
                               QStringLiteral("TLS: the CA that signs the broker's certificate."),
                               QStringLiteral("FILE"));
    const auto caPath = option({QStringLiteral("capath")},
                               QStringLiteral("TLS: a folder of CA certificates (c_rehash)."),
                               QStringLiteral("DIR"));
    const auto osCerts =
        option({QStringLiteral("tls-use-os-certs")},
               QStringLiteral("TLS: trust the system's CAs, for a broker with a public "
                              "certificate."));
    const auto cert = option({QStringLiteral("cert")},
                             QStringLiteral("TLS: this client's certificate (with --key)."),
                             QStringLiteral("FILE"));
    const auto key = option({QStringLiteral("key")},
                            QStringLiteral("TLS: the certificate's private key, unencrypted."),
                            QStringLiteral("FILE"));
    const auto tlsVersion =
        option({QStringLiteral("tls-version")}, QStringLiteral("TLS: tlsv1.3 or tlsv1.2."),
               QStringLiteral("VERSION"));
    const auto prefix =
        option({QStringLiteral("prefix")}, QStringLiteral("The first topic levels (vantrelo)."),
               QStringLiteral("PREFIX"), QStringLiteral("vantrelo"));
    const auto discovery =
        option({QStringLiteral("discovery-prefix")},
               QStringLiteral("Home Assistant's discovery prefix (homeassistant)."),
               QStringLiteral("PREFIX"), QStringLiteral("homeassistant"));
    const auto node = option({QStringLiteral("node-id")},
                             QStringLiteral("This bridge's topic level (the short host name)."),
                             QStringLiteral("ID"), Topics::defaultNode());
    const auto clientId =
        option({QStringLiteral("i"), QStringLiteral("id"), QStringLiteral("client-id")},
               QStringLiteral("The MQTT client id (vantrelo-mqtt-NODE)."), QStringLiteral("ID"));
    const auto board =
        option({QStringLiteral("board")}, QStringLiteral("Bridge only this copy (repeatable)."),
               QStringLiteral("NAME"));
    const auto forget =
        option({QStringLiteral("forget")},
               QStringLiteral("Remove the board NAME from the hub and the broker, and exit."),
               QStringLiteral("NAME"));
    if (const auto status = answerCommandLine(parser, QCoreApplication::arguments(), true, true))
        return *status;

    // Every option is checked before anything connects.
    MqttClient::Options mqtt;
    mqtt.host = parser.value(host);
    if (mqtt.host.isEmpty() || mqtt.host.contains(u'/') ||
        (mqtt.host.contains(u':') && !address(mqtt.host, AF_INET6)))
        return fail(Usage, u"no host \"" + mqtt.host +
                               u"\": give the broker's name or address alone, such as "
                               u"--host broker.lan --port 8883 --cafile ca.crt");
    mqtt.caFile = parser.value(caFile);
    mqtt.caPath = parser.value(caPath);
    mqtt.useOsCerts = parser.isSet(osCerts);
    mqtt.certFile = parser.value(cert);
    mqtt.keyFile = parser.value(key);
    mqtt.tlsVersion = parser.value(tlsVersion);
    if (mqtt.certFile.isEmpty() != mqtt.keyFile.isEmpty())
        return fail(Usage, QStringLiteral("--cert and --key go together"));
    if (!mqtt.usesTls() && (!mqtt.certFile.isEmpty() || !mqtt.tlsVersion.isEmpty()))
        return fail(Usage, QStringLiteral("--cert and --tls-version need a CA: --cafile, "
                                          "--capath or --tls-use-os-certs"));
    if (!mqtt.certFile.isEmpty() && mqtt.caFile.isEmpty() && mqtt.caPath.isEmpty())
        return fail(Usage, QStringLiteral("--cert needs the broker's CA as --cafile or --capath"));
    if (!mqtt.tlsVersion.isEmpty() && mqtt.tlsVersion != u"tlsv1.2" &&
        mqtt.tlsVersion != u"tlsv1.3")
        return fail(Usage, u"no TLS version \"" + mqtt.tlsVersion + u"\": tlsv1.3 or tlsv1.2");
    mqtt.port = mqtt.usesTls() ? 8883 : 1883;
    if (parser.isSet(port)) {
        static const QRegularExpression digits(
            QRegularExpression::anchoredPattern(QStringLiteral("[1-9][0-9]{0,4}")));
        const bool ok = digits.match(parser.value(port)).hasMatch();
        mqtt.port = ok ? parser.value(port).toInt() : 0;
        if (!ok || mqtt.port > 65535)
            return fail(Usage, u"no port \"" + parser.value(port) + u"\": ports are 1 to 65535");
    }
    mqtt.username = parser.value(username);
    if (parser.isSet(passwordFile)) {
        if (mqtt.username.isEmpty())
            return fail(Usage, QStringLiteral("--password-file needs --username"));
        const auto password = readPassword(parser.value(passwordFile));
        if (password.index() == 1)
            return fail(Usage, std::get<1>(password));
        mqtt.password = std::get<0>(password);
    }
    // Two bridges of one machine with other nodes have other ids, and never push each other off.
    mqtt.clientId =
        parser.isSet(clientId) ? parser.value(clientId) : u"vantrelo-mqtt-" + parser.value(node);
    if (const QString refusal = Topics::clientIdRefusal(mqtt.clientId); !refusal.isEmpty())
        return fail(Usage, u"no client id \"" + mqtt.clientId.left(40) + u"\": it " + refusal);
    Bridge::Options options;
    options.prefixes.prefix = parser.value(prefix);
    options.prefixes.discovery = parser.value(discovery);
    options.prefixes.node = parser.value(node);
    options.boards = parser.values(board);
    options.version = QCoreApplication::applicationVersion();
    options.machineId = machineId();
    for (const auto &[name, value, refusal] :
         {std::tuple(u"prefix", options.prefixes.prefix,
                     Topics::prefixRefusal(options.prefixes.prefix)),
          std::tuple(u"discovery prefix", options.prefixes.discovery,
                     Topics::prefixRefusal(options.prefixes.discovery)),
          std::tuple(u"node id", options.prefixes.node,
                     Topics::nodeRefusal(options.prefixes.node))})
        if (!refusal.isEmpty())
            return fail(Usage,
                        u"no " + QString::fromUtf16(name) + u" \"" + value + u"\": it " + refusal);
    mqtt.willTopic = Topics::bridgeState(options.prefixes);
    mqtt.willPayload = "offline";
    const bool forgetting = parser.isSet(forget);
    if (forgetting && (parser.values(forget).size() != 1 || parser.value(forget).isEmpty()))
        return fail(Usage, QStringLiteral("--forget names one board"));
    if (forgetting) {
        mqtt.willTopic.clear();      // a short visit: the bridge's state is not this one's to tell
        mqtt.clientId += u"-forget"; // nor does it push the running bridge off the broker
    }

    Messages::takeQtMessages();
    MqttClient broker(mqtt);
    if (const QString problem = broker.prepare(); !problem.isEmpty())
        return fail(Usage, problem);
    if (!mqtt.username.isEmpty() && !mqtt.usesTls() && !isLoopback(mqtt.host))
        Messages::say(Messages::Warning,
                      u"the password goes to " + mqtt.host +
                          u" unencrypted; give the broker's CA (--cafile) to use TLS");
    QObject::connect(&broker, &MqttClient::connectionFailed, &app,
                     [&mqtt](const QString &reason, std::chrono::milliseconds retryIn) {
                         const QString why = reason.endsWith(u'.') ? reason : reason + u'.';
                         const double seconds = double(retryIn.count() / 100) / 10;
                         Messages::say(Messages::Warning,
                                       QStringLiteral("broker %1 port %2: %3 Trying again in %4 s.")
                                           .arg(mqtt.host)
                                           .arg(mqtt.port)
                                           .arg(why)
                                           .arg(seconds));
                         Notify::status(QStringLiteral("waiting for broker %1 port %2: %3")
                                            .arg(mqtt.host)
                                            .arg(mqtt.port)
                                            .arg(why));
                     });
    QObject::connect(&broker, &MqttClient::connected, &app, [&mqtt] {
        const QString connected =
            QStringLiteral("connected to %1 port %2").arg(mqtt.host).arg(mqtt.port);
        Messages::say(Messages::Info, connected);
        Notify::status(connected);
    });

    int status = Stopped;
    const UnixSignals unixSignals({SIGTERM, SIGINT});
    QObject::connect(&unixSignals, &UnixSignals::received, &app, &QCoreApplication::quit);
    if (forgetting) {
        // Removes the board as the hub and a newcomer see it, and goes.
        QTimer giveUp;
        QObject::connect(&giveUp, &QTimer::timeout, &app, [&] {
            status = Failed;
            Messages::say(Messages::Error, QStringLiteral("the broker could not be reached"));
            QCoreApplication::quit();
        });
        giveUp.start(10000);
        QObject::connect(&broker, &MqttClient::connected, &app, [&] {
            for (const QString &topic :
                 Topics::retainedTopics(options.prefixes, parser.value(forget)))
                broker.publish(topic, {}, true);
            QCoreApplication::quit();
        });
        broker.start();
        QCoreApplication::exec();
        if (status == Stopped && !broker.finish(std::chrono::milliseconds(2000)))
            return fail(Failed, QStringLiteral("the broker did not acknowledge the removal"));
        return status;
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(Failed, u"no session bus: " + bus.lastError().message());
    BoardClient client(bus);
    client.setCallTimeout(2000); // a copy that does not answer holds nothing up for long
    Bridge bridge(&client, &broker, options);

    // The session bus going away ends the bridge; the broker then publishes its last will.
    QTimer busCheck; // Qt announces a lost bus connection nowhere else
    QObject::connect(&busCheck, &QTimer::timeout, &app, [&] {
        if (bus.isConnected())
            return;
        Messages::say(Messages::Error, QStringLiteral("the session bus went away"));
        status = Failed;
        QCoreApplication::quit();
    });
    busCheck.start(1000);

    // One node, one machine, one bridge: another that holds it is never fought with.
    const QString freeNode =
        QStringLiteral("give this bridge a node of its own with --node-id, or free the node: "
                       "mosquitto_pub -r -n -t %1")
            .arg(Topics::nodeHolder(options.prefixes));
    QObject::connect(&bridge, &Bridge::nodeTaken, &app, [&](const QString &machine, bool ours) {
        Messages::say(Messages::Error,
                      (ours ? QStringLiteral("the node \"%1\" was taken on broker %2 by another "
                                             "bridge of this machine; stopping rather than "
                                             "taking it back. ")
                                  .arg(options.prefixes.node, mqtt.host)
                            : QStringLiteral("the node \"%1\" is held on broker %2 by another "
                                             "machine (machine id %3); nothing was published. ")
                                  .arg(options.prefixes.node, mqtt.host, machine.left(64))) +
                          freeNode);
        status = NodeTaken;
        QCoreApplication::quit();
    });
    QObject::connect(&broker, &MqttClient::sessionTakenOver, &app, [&] {
        Messages::say(Messages::Error,
                      QStringLiteral("another client connected to broker %1 with this bridge's "
                                     "client id %2 and took its session (another bridge of the "
                                     "node \"%3\"?); stopping rather than taking it back. ")
                              .arg(mqtt.host, mqtt.clientId, options.prefixes.node) +
                          freeNode);
        status = NodeTaken;
        QCoreApplication::quit();
    });

    bridge.start();
    broker.start();
    // Its options are checked and it holds the session bus: a broker that comes later never
    // fails the unit.
    Notify::status(QStringLiteral("waiting for broker %1 port %2").arg(mqtt.host).arg(mqtt.port));
    Notify::ready();
    QCoreApplication::exec();
    Notify::stopping();
    if (!broker.isConnected()) { // a stop never waits for an attempt (a resolver, a port)
        Messages::say(Messages::Info,
                      QStringLiteral("stopped while not connected to broker %1 port %2")
                          .arg(mqtt.host)
                          .arg(mqtt.port));
        return status;
    }
    bridge.publishGoodbye();
    if (!broker.finish(std::chrono::milliseconds(2000)))
        Messages::say(Messages::Warning,
                      QStringLiteral("the broker did not acknowledge the goodbye in 2 s"));
    return status;
}
