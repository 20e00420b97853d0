#include "app/MainWindow.h"
#include "serial/SystemSerialPort.h"
#include "settings/SettingsFile.h"

#include <QApplication>
#include <QFileInfo>
#include <QStyleFactory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    // The executable's own folder and name: a renamed copy keeps its own settings file and
    // shows its own name. (On Linux a symbolic link resolves to its target; use copies.)
    const QFileInfo exe(QCoreApplication::applicationFilePath());
    MainWindow::Options options;
    options.exeDir = exe.absolutePath();
    options.exeName = SettingsFile::baseName(exe.fileName());

    SystemSerialPort port(options.exeDir);
    ControllerLink link(&port);
    MainWindow window(&link, options);
    window.load();
    window.show();
    const int status = QApplication::exec();
    // Closed by the operator while a failed command was counting down: still a failure.
    return link.hasFailed() ? MainWindow::fatalExitCode : status;
}
