#include "app/VantreloWindow.h"
#include "serial/QtSerialComm.h"

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
    VantreloWindow::Options options;
    options.exeDir = exe.absolutePath();
    options.exeBaseName = exe.completeBaseName();

    VantreloWindow window(new QtSerialComm(options.exeDir), options);
    window.Form_Load();
    window.show();
    return QApplication::exec();
}
