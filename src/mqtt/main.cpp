// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelo-mqtt: bridges every running copy of Vantrelo on the session bus to an MQTT broker,
// with Home Assistant discovery. Exit status: 0 stopped by a signal; 1 the session bus is
// missing or went away; 2 bad options or an unusable password or CA file.

#include "Bridge.h"
#include "MqttClient.h"
#include "client/BoardClient.h"
#include "common/CommandLine.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

namespace {

enum Exit
{
    Stopped = 0,
    Failed = 1,
    Usage = 2,
};

// The first line of a file only its owner can read, or why it cannot be used.
std::variant<QString, QString> readPassword(const QString &path)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::variant<QString, QString>(std::in_place_index<1>,
                                              u"password file " + path + u": " +
                                                  QString::fromLocal8Bit(std::strerror(errno)));
    if (st.st_mode & (S_IRGRP | S_IROTH))
        return std::variant<QString, QString>(
            std::in_place_index<1>,
            QStringLiteral("password file %1 can be read by others (mode %2); "
                           "make it private with chmod 600")
                .arg(path)
                .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0')));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::variant<QString, QString>(
            std::in_place_index<1>, u"password file " + path + u": " + file.errorString());
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return std::variant<QString, QString>(std::in_place_index<0>, QString::fromUtf8(line));
}

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

QString defaultClientId()
{
    const QString user = qEnvironmentVariable("USER", QString::number(::getuid()));
    return u"vantrelo-mqtt-" + user + u'@' + QSysInfo::machineHostName();
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
                       "Assistant discovery."));
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("The broker (localhost)."),
                                  QStringLiteral("HOST"), QStringLiteral("localhost"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The broker's port (1883, or 8883 with TLS)."),
                                  QStringLiteral("PORT"));
    const QCommandLineOption username(QStringLiteral("username"),
                                      QStringLiteral("The user name at the broker."),
                                      QStringLiteral("NAME"));
    const QCommandLineOption passwordFile(
        QStringLiteral("password-file"),
        QStringLiteral("The password: the first line of FILE, which only its owner may read."),
        QStringLiteral("FILE"));
    const QCommandLineOption caFile(
        QStringLiteral("cafile"),
        QStringLiteral("TLS: check the broker's certificate against the CA in FILE."),
        QStringLiteral("FILE"));
    const QCommandLineOption prefix(QStringLiteral("prefix"),
                                    QStringLiteral("The first topic level (vantrelo)."),
                                    QStringLiteral("PREFIX"), QStringLiteral("vantrelo"));
    const QCommandLineOption discovery(
        QStringLiteral("discovery-prefix"),
        QStringLiteral("Home Assistant's discovery prefix (homeassistant)."),
        QStringLiteral("PREFIX"), QStringLiteral("homeassistant"));
    const QCommandLineOption clientId(
        QStringLiteral("client-id"),
        QStringLiteral("The MQTT client id (vantrelo-mqtt-USER@HOST)."), QStringLiteral("ID"));
    const QCommandLineOption board(QStringLiteral("board"),
                                   QStringLiteral("Bridge only this copy (repeatable)."),
                                   QStringLiteral("NAME"));
    parser.addOptions(
        {host, port, username, passwordFile, caFile, prefix, discovery, clientId, board});
    if (const auto status = answerCommandLine(parser, QCoreApplication::arguments()))
        return *status;

    MqttClient::Options mqtt;
    mqtt.host = parser.value(host);
    mqtt.caFile = parser.value(caFile);
    mqtt.port = mqtt.caFile.isEmpty() ? 1883 : 8883;
    if (parser.isSet(port)) {
        bool ok = false;
        mqtt.port = parser.value(port).toInt(&ok);
        if (!ok || mqtt.port < 1 || mqtt.port > 65535)
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
    mqtt.clientId = parser.isSet(clientId) ? parser.value(clientId) : defaultClientId();
    Bridge::Options options;
    options.prefixes.prefix = parser.value(prefix);
    options.prefixes.discovery = parser.value(discovery);
    options.boards = parser.values(board);
    options.version = QCoreApplication::applicationVersion();
    for (const QString &p : {options.prefixes.prefix, options.prefixes.discovery})
        if (p.isEmpty() || p.contains(u'+') || p.contains(u'#'))
            return fail(Usage, u"no prefix \"" + p + u"\": a topic without + and #");
    mqtt.willTopic = Topics::bridgeState(options.prefixes);
    mqtt.willPayload = "offline";

    MqttClient broker(mqtt);
    if (const QString problem = broker.prepare(); !problem.isEmpty())
        return fail(Usage, problem);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(Failed, u"no session bus: " + bus.lastError().message());
    BoardClient client(bus);
    Bridge bridge(&client, &broker, options);

    // The session bus going away ends the bridge; the broker then publishes its last will.
    int status = Stopped;
    const auto busGone = [&] {
        std::fprintf(stderr, "vantrelo-mqtt: the session bus went away\n");
        status = Failed;
        QCoreApplication::quit();
    };
    QTimer busCheck; // Qt announces a lost bus connection nowhere else
    QObject::connect(&busCheck, &QTimer::timeout, &app, [&] {
        if (!bus.isConnected())
            busGone();
    });
    busCheck.start(1000);

    // SIGTERM (systemd) and SIGINT end it cleanly: the bridge and its copies offline.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app,
                     [] { QCoreApplication::quit(); });

    QObject::connect(
        &broker, &MqttClient::connectionFailed, &app,
        [&mqtt](const QString &reason, std::chrono::milliseconds retryIn) {
            std::fprintf(stderr, "vantrelo-mqtt: broker %s port %d: %s Trying again in %lld s.\n",
                         qPrintable(mqtt.host), mqtt.port,
                         qPrintable(reason.endsWith(u'.') ? reason : reason + u'.'),
                         static_cast<long long>(retryIn.count() / 1000));
        });
    bridge.start();
    broker.start();
    QObject::connect(&broker, &MqttClient::connected, &app, [&mqtt] {
        std::fprintf(stderr, "vantrelo-mqtt: connected to %s port %d\n", qPrintable(mqtt.host),
                     mqtt.port);
    });
    QCoreApplication::exec();
    bridge.publishGoodbye();
    broker.finish(std::chrono::milliseconds(2000));
    return status;
}
