// Opens port N from FOLDER in a process of its own (run as another user by the tests) and
// prints the error number and the explanation (0: opened).

#include "serial/SystemSerialPort.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4 || args[1] != u"open") {
        std::fprintf(stderr, "usage: test_helper open FOLDER N\n");
        return 2;
    }
    SystemSerialPort port(args[2], [] { return QStringList(); });
    const PortError error =
        port.open(args[3].toInt(), *LineSettings::parse(QStringLiteral("9600,N,8,1")));
    std::printf("%d %s\n", error.number, qPrintable(error.detail));
    return 0;
}
