// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// Jobs the tests run as another user:
//   test_helper open FOLDER N   opens port N from FOLDER; prints the error number (0: opened)
//   test_helper save PATH       saves a record with port number 5 to PATH; exits 0 on success

#include "serial/SystemSerialPort.h"
#include "settings/SettingsFile.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args[1] == u"save") {
        SettingsRecord record;
        record.portNumber = 5;
        const QString failure = SettingsFile::write(args[2], record);
        std::printf("%s\n", qPrintable(failure));
        return failure.isEmpty() ? 0 : 1;
    }
    if (args.size() != 4 || args[1] != u"open") {
        std::fprintf(stderr, "usage: test_helper open FOLDER N | save PATH\n");
        return 2;
    }
    SystemSerialPort port(args[2], [] { return QStringList(); });
    const PortError error =
        port.open(args[3].toInt(), *LineSettings::parse(QStringLiteral("9600,N,8,1")));
    std::printf("%d %s\n", error.number, qPrintable(error.detail));
    return 0;
}
