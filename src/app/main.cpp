// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "app/MainWindow.h"
#include "common/CommandLine.h"
#include "remote/BoardService.h"
#include "serial/SystemSerialPort.h"
#include "settings/SettingsFile.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QStyleFactory>
#include <QTimer>

namespace {
void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Operator program for a serial output controller. It reads the settings file named after\n"
        "the executable beside it (vantrelo.ini), searches for the controller on the configured\n"
        "port and mirrors the states of its outputs. See vantrelo(1)."));
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("vantrelo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRELO_VERSION));
    QStringList raw;
    for (int i = 0; i < argc; ++i)
        raw << QString::fromLocal8Bit(argv[i]);
    {
        QCommandLineParser early; // --help and --version need no display
        describe(early);
        if (const auto status = answerCommandLine(early, raw, false))
            return *status;
    }
    QApplication app(argc, argv);
    QCommandLineParser parser;
    describe(parser);
    if (const auto status = answerCommandLine(parser, QCoreApplication::arguments()))
        return *status;
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    // The executable's own folder and name: a renamed copy keeps its own settings file and
    // shows its own name. (On Linux a symbolic link resolves to its target; use copies.)
    const QFileInfo exe(QCoreApplication::applicationFilePath());
    MainWindow::Options options;
    options.exeName = SettingsFile::baseName(exe.fileName());
    const auto locate = [exeDir = exe.absolutePath(), name = options.exeName,
                         configDir = SettingsLocation::userConfigDir()] {
        return SettingsLocation::find(exeDir, name, configDir);
    };

    SystemSerialPort port(locate().comLinkFolders);
    ControllerLink link(&port);
    BoardSettings settings(
        &link, locate,
        QDir(SettingsLocation::userConfigDir()).filePath(QStringLiteral("vantrelo")));
    MainWindow window(&link, &settings, options);

    // Other programs of the same user drive the board through this copy, over the session
    // bus. Without one, or with the name taken, the copy runs as it would without it.
    BoardService remote(&link, options.exeName);
    QObject::connect(&settings, &BoardSettings::loaded, &remote,
                     [&] { remote.setOutputNames(settings.outputNames()); });
    window.load();
    window.show();
    // Once the window is on its way to the screen: connecting to the bus costs milliseconds.
    QTimer::singleShot(0, &remote, [&remote, &options] {
        if (QDBusConnection bus = QDBusConnection::sessionBus(); bus.isConnected()) {
            if (const QString failure = remote.registerOn(bus); !failure.isEmpty())
                Messages::say(Messages::Warning,
                              u"no remote control for " + options.exeName + u": " + failure);
        }
    });
    return QApplication::exec();
}
