// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelod: one board as a service, without a window. It reads the board's settings file,
// searches for the board and keeps the link as the window does, and offers the board on the
// session bus (org.vantrelo.Board1) to vantrelo-ctl, vantrelo-mqtt and any other client.
// It opens only the port its settings file names, through a COM<n> entry beside the file: a
// missing or refused file at the start ends it with status 78 (EX_CONFIG) before any port is
// opened. SIGHUP reads the file again: a refused one leaves the settings in force, and a port,
// bit rate and identifier unchanged leave the port open. SIGTERM and SIGINT close the port and
// end it. Exit status: 0 ended by a signal; 1 the name is taken on the bus, or there is no
// session bus (or it went away); 2 a usage error; 78 a missing or refused settings file.

#include "board/BoardSettings.h"
#include "common/BoardBus.h"
#include "common/CommandLine.h"
#include "common/Messages.h"
#include "common/Notify.h"
#include "common/UnixSignals.h"
#include "remote/BoardService.h"
#include "serial/PortMap.h"
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
    Config = 78, // EX_CONFIG: systemd tells it as a configuration error
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
    else if (usage.isEmpty() && !BoardBus::nameRefusal(names[0]).isEmpty())
        return fail(Usage, BoardBus::nameRefusal(names[0])); // one line: nothing else is wrong
    else if (usage.isEmpty() && parser.isSet(settingsOption) &&
             parser.value(settingsOption).isEmpty())
        usage = QStringLiteral("--settings names no file");
    if (!usage.isEmpty())
        return fail(Usage, usage + u"\nTry 'vantrelod --help'.");
    const QString name = names[0];
    Messages::takeQtMessages();
    const auto log = [&name](Messages::Priority priority, const QString &text) {
        say(priority, name + u": " + text);
    };

    const QString file =
        parser.isSet(settingsOption)
            ? QFileInfo(parser.value(settingsOption)).absoluteFilePath()
            : SettingsFile::path(
                  QDir(SettingsLocation::userConfigDir()).filePath(QStringLiteral("vantrelo")),
                  name);
    // Only COM<n> entries beside the settings file name a port: never a device of the machine
    // that nobody named.
    const SettingsLocation location{file, file, {QFileInfo(file).absolutePath()}};
    SystemSerialPort port(location.comLinkFolders, PortMap::devicesById,
                          SystemSerialPort::Numbering::EntriesOnly);
    ControllerLink link(&port);
    link.setUnattended(true);
    BoardSettings settings(&link, [location] { return location; }, {}); // it never saves
    BoardService remote(&link, name);
    const auto described = [](const LinkSettings &s) {
        return QStringLiteral("COM%1, %2 baud, identifier \"%3\"")
            .arg(s.portNumber)
            .arg(s.baudText, s.deviceId);
    };
    QObject::connect(&settings, &BoardSettings::loaded, &remote,
                     [&] { remote.setOutputNames(settings.outputNames()); });
    // A board it was not pointed at is never driven: without its own settings it opens nothing.
    if (const QString refusal = settings.take(); !refusal.isEmpty())
        return log(Messages::Error,
                   u"settings " + file + u" not used (" + refusal +
                       u"): no port is opened. The file and its format are described in "
                       u"vantrelod(1)."),
               Config;

    // A service whose only purpose is the bus does not run without it.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return log(Messages::Error, u"no session bus: " + bus.lastError().message()), Failed;
    // Taken: another window or service of this name drives the board; this one must not
    // touch its port.
    if (const QString failure = remote.registerOn(bus); !failure.isEmpty())
        return log(Messages::Error, failure), Failed;

    // Each change of connection, and why an attempt fails, once for each new reason: nothing
    // for every attempt while searching.
    QString lastReason;
    QObject::connect(&link, &ControllerLink::connectedChanged, &app, [&](bool connected) {
        lastReason.clear();
        if (connected) {
            log(Messages::Info, u"connected to the board on " + link.portDescription());
            Notify::status(u"connected to the board on " + link.portDescription());
        }
    });
    QObject::connect(&link, &ControllerLink::connectionLost, &app, [&](const PortError &error) {
        lastReason = link.statusText(); // told here, not again as a search's failure
        const QString lost = QStringLiteral("connection lost: %1 (error %2); searching again")
                                 .arg(error.detail)
                                 .arg(error.number);
        log(Messages::Error, lost);
        Notify::status(lost);
    });
    QObject::connect(&link, &ControllerLink::statusChanged, &app,
                     [&](ControllerLink::Status status, const QString &text) {
                         // A loss shows its failure before the search resumes: connectionLost
                         // tells it.
                         if (status != ControllerLink::Status::Failed || text == lastReason ||
                             !link.isSearching())
                             return;
                         lastReason = text;
                         const PortError &failure = link.portFailure();
                         const QString searching =
                             u"searching: " + text + u" (" +
                             (failure ? failure.detail : link.portDescription()) + u')';
                         log(Messages::Warning, searching);
                         Notify::status(searching);
                     });
    QObject::connect(&remote, &BoardService::callFailed, &app,
                     [&](const QString &call, const QString &reason) {
                         log(Messages::Warning, call + u": " + reason);
                     });

    // SIGHUP: the settings file again. A refused one leaves the settings in force.
    const auto reload = [&] {
        log(Messages::Info, QStringLiteral("reading the settings again (SIGHUP)"));
        if (const QString refusal = settings.take(); !refusal.isEmpty()) {
            log(Messages::Warning, u"settings " + file + u" not used (" + refusal +
                                       u"); the settings in force stay: " +
                                       described(link.settings()));
            return;
        }
        // Opening the port resets an Arduino, and every relay on it drops: only a new port, bit
        // rate or identifier starts the link anew.
        if (settings.linkSettings() == link.settings()) {
            log(Messages::Info, u"settings " + file +
                                    u": the port, the bit rate and the identifier are "
                                    u"unchanged; the port stays open: " +
                                    described(link.settings()));
            return;
        }
        lastReason.clear();
        log(Messages::Info, u"settings " + file + u": " + described(settings.linkSettings()));
        settings.startLink();
    };
    int status = Stopped;
    UnixSignals unixSignals({SIGHUP, SIGTERM, SIGINT});
    QObject::connect(&unixSignals, &UnixSignals::received, &app, [&](int number) {
        if (number != SIGHUP) {
            Notify::stopping();
            log(Messages::Info,
                QStringLiteral("stopping (%1)").arg(QString::fromLocal8Bit(::strsignal(number))));
            QCoreApplication::quit();
            return;
        }
        Notify::reloading();
        reload();
        Notify::ready(); // whichever way the reload went
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
    Notify::status(u"searching for the board on COM" +
                   QString::number(settings.linkSettings().portNumber));
    Notify::ready(); // the name is held: the board is on the bus
    log(Messages::Info, u"settings " + file + u": " + described(settings.linkSettings()));
    settings.startLink();
    QCoreApplication::exec();
    link.stop(); // closes the port
    return status;
}
