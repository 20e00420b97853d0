// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelod: one board as a service, without a window. It reads the board's settings file,
// searches for the board and keeps the link as the window does, and offers the board on the
// session bus (org.vantrelo.Board1) to vantrelo-ctl, vantrelo-mqtt and any other client.
// SIGHUP reads the settings file again and starts the link anew; SIGTERM and SIGINT close the
// port and end it. Exit status: 0 ended by a signal; 1 the name is taken on the bus, or there
// is no session bus (or it went away); 2 a usage error.

#include "board/BoardSettings.h"
#include "common/BoardBus.h"
#include "common/CommandLine.h"
#include "common/Messages.h"
#include "common/UnixSignals.h"
#include "remote/BoardService.h"
#include "serial/SystemSerialPort.h"
#include "settings/SettingsFile.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QTimer>

#include <csignal>
#include <cstring>

namespace {

enum Exit
{
    Stopped = 0,
    Failed = 1,
    Usage = 2,
};

using Messages::say;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrelod"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRELO_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "One board as a service: its link, and its interface on the session bus, without a\n"
        "window. NAME names the board on the bus and its settings file,\n"
        "$XDG_CONFIG_HOME/vantrelo/NAME.ini. SIGHUP reads the file again. See vantrelod(1)."));
    const QCommandLineOption settingsOption(QStringLiteral("settings"),
                                            QStringLiteral("Read the settings from FILE."),
                                            QStringLiteral("FILE"));
    parser.addOption(settingsOption);
    parser.addPositionalArgument(QStringLiteral("NAME"), QStringLiteral("The board's name."));
    if (const auto status = answerCommandLine(parser, QCoreApplication::arguments(), false))
        return *status;
    const QStringList names = parser.positionalArguments();
    QString usage = parser.errorText();
    if (usage.isEmpty() && names.size() != 1)
        usage = names.isEmpty() ? QStringLiteral("no board name")
                                : u"one board name, not " + names.join(u' ');
    else if (usage.isEmpty() && (names[0].isEmpty() || names[0].contains(u'/')))
        usage = u"no board name '" + names.value(0) + u"': a name is not empty and holds no /";
    if (!usage.isEmpty())
        return fail(Usage, usage + u"\nTry 'vantrelod --help'.");
    const QString name = names[0];
    Messages::takeQtMessages();
    const auto log = [&name](Messages::Priority priority, const QString &text) {
        say(priority, name + u": " + text);
    };

    // A service whose only purpose is the bus does not run without it.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return log(Messages::Error, u"no session bus: " + bus.lastError().message()), Failed;

    const QString file =
        parser.isSet(settingsOption)
            ? QFileInfo(parser.value(settingsOption)).absoluteFilePath()
            : SettingsFile::path(
                  QDir(SettingsLocation::userConfigDir()).filePath(QStringLiteral("vantrelo")),
                  name);
    // COM<n> entries beside the settings file first, then the system's devices.
    const SettingsLocation location{file, file, {QFileInfo(file).absolutePath()}};
    SystemSerialPort port(location.comLinkFolders);
    ControllerLink link(&port);
    link.setUnattended(true);
    BoardSettings settings(&link, [location] { return location; }, {}); // it never saves
    BoardService remote(&link, name);
    // Taken: another window or service of this name drives the board; this one must not
    // touch its port.
    if (const QString failure = remote.registerOn(bus); !failure.isEmpty())
        return log(Messages::Error, failure), Failed;

    QObject::connect(&settings, &BoardSettings::loaded, &remote, [&] {
        remote.setOutputNames(settings.outputNames());
        const SettingsRecord &r = settings.record();
        const QString inForce = QStringLiteral("COM%1, %2 baud, identifier \"%3\"")
                                    .arg(r.portNumber)
                                    .arg(r.baudText, r.deviceId);
        if (settings.refusal().isEmpty())
            log(Messages::Info, u"settings " + file + u": " + inForce);
        else
            log(Messages::Warning, u"settings " + file + u" not used (" + settings.refusal() +
                                       u"); the defaults are in force: " + inForce);
    });
    // Each change of connection, and why an attempt fails, once for each new reason: nothing
    // for every attempt while searching.
    QString lastReason;
    QObject::connect(&link, &ControllerLink::connectedChanged, &app, [&](bool connected) {
        lastReason.clear();
        if (connected)
            log(Messages::Info, u"connected to the board on " + link.portDescription());
    });
    QObject::connect(&link, &ControllerLink::connectionLost, &app, [&](const PortError &error) {
        lastReason = link.statusText();
        log(Messages::Error, QStringLiteral("connection lost: %1 (error %2); searching again")
                                 .arg(error.detail)
                                 .arg(error.number));
    });
    QObject::connect(&link, &ControllerLink::statusChanged, &app,
                     [&](ControllerLink::Status status, const QString &text) {
                         if (status != ControllerLink::Status::Failed || text == lastReason)
                             return;
                         lastReason = text;
                         const PortError &failure = link.portFailure();
                         log(Messages::Warning,
                             u"searching: " + text + u" (" +
                                 (failure ? failure.detail : link.portDescription()) + u')');
                     });
    QObject::connect(&remote, &BoardService::callFailed, &app,
                     [&](const QString &call, const QString &reason) {
                         log(Messages::Warning, call + u": " + reason);
                     });

    int status = Stopped;
    UnixSignals unixSignals({SIGHUP, SIGTERM, SIGINT});
    QObject::connect(&unixSignals, &UnixSignals::received, &app, [&](int number) {
        if (number != SIGHUP) {
            log(Messages::Info,
                QStringLiteral("stopping (%1)").arg(QString::fromLocal8Bit(::strsignal(number))));
            QCoreApplication::quit();
            return;
        }
        log(Messages::Info, QStringLiteral("reading the settings again (SIGHUP)"));
        lastReason.clear();
        settings.start();
    });
    QTimer busCheck; // Qt announces a lost bus connection nowhere else
    QObject::connect(&busCheck, &QTimer::timeout, &app, [&] {
        if (bus.isConnected())
            return;
        log(Messages::Error, QStringLiteral("the session bus went away"));
        status = Failed;
        QCoreApplication::quit();
    });
    busCheck.start(1000);

    log(Messages::Info, u"started, on the session bus as " + BoardBus::serviceName(name));
    settings.start();
    QCoreApplication::exec();
    link.stop(); // closes the port
    return status;
}
