// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "app/CommandLine.h"
#include "app/MainWindow.h"
#include "serial/SystemSerialPort.h"
#include "settings/SettingsFile.h"

#include <QApplication>
#include <QFileInfo>
#include <QStyleFactory>

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
    options.exeDir = exe.absolutePath();
    options.exeName = SettingsFile::baseName(exe.fileName());

    SystemSerialPort port(
        SettingsLocation::find(options.exeDir, options.exeName, options.configDir).comLinkFolders);
    ControllerLink link(&port);
    MainWindow window(&link, options);
    window.load();
    window.show();
    const int status = QApplication::exec();
    // Closed by the operator while a failed command was counting down: still a failure.
    return link.hasFailed() ? MainWindow::fatalExitCode : status;
}
