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
#include <QRegularExpression>
#include <QScreen>
#include <QStyleFactory>
#include <QTimer>

#include <functional>
#include <optional>

namespace {
void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Operator program for a serial output controller. It reads the settings file named after\n"
        "the executable beside it (vantrelo.ini), searches for the controller on the configured\n"
        "port and mirrors the states of its outputs. See vantrelo(1)."));
    // X11's programs take -geometry, -display and the like: one dash, one word.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
}

// An X11 geometry, "[=][WxH][{+-}X{+-}Y]": where it puts a window of the given size on the
// screen (the size itself is fixed), if it names a place. Nothing when it is no geometry.
std::optional<std::function<std::optional<QPoint>(QSize, QRect)>> parseGeometry(const QString &text)
{
    static const QRegularExpression form(QStringLiteral(
        "^=?(?:[0-9]+[xX][0-9]+)?(?:([+-])([+-]?[0-9]{1,5})([+-])([+-]?[0-9]{1,5}))?$"));
    const QRegularExpressionMatch m = form.match(text);
    if (text.isEmpty() || !m.hasMatch())
        return std::nullopt;
    return [m](QSize size, QRect screen) -> std::optional<QPoint> {
        if (m.captured(1).isEmpty())
            return std::nullopt;
        const int x = m.captured(2).toInt(), y = m.captured(4).toInt();
        return QPoint(
            m.captured(1) == u"+" ? screen.left() + x : screen.right() + 1 - size.width() - x,
            m.captured(3) == u"+" ? screen.top() + y : screen.bottom() + 1 - size.height() - y);
    };
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
    // Its desktop entry: the icon and name a dock shows for the window (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.vantrelo.Vantrelo"));
    QCommandLineParser parser;
    describe(parser);
    // X11's platform takes -geometry itself; elsewhere the program places the window.
    const QCommandLineOption geometry(
        QStringLiteral("geometry"),
        QStringLiteral("Where the window goes, as on X11 (+700+300), where the desktop allows it."),
        QStringLiteral("geometry"));
    parser.addOption(geometry);
    if (const auto status = answerCommandLine(parser, QCoreApplication::arguments()))
        return *status;
    const auto place = parseGeometry(parser.value(geometry));
    if (parser.isSet(geometry) && !place)
        return fail(2, u"-geometry '" + parser.value(geometry) +
                           u"' is not a geometry such as +700+300");
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
    if (place)
        if (const auto at = (*place)(window.size(), window.screen()->availableGeometry()))
            window.move(*at);
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
