// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// Jobs the tests run as another user:
//   test_helper open FOLDER N   opens port N from FOLDER; prints the error number (0: opened)
//   test_helper save PATH [N]   saves a record with port number 5 (and a first name of N
//                               characters) to PATH; exits 0 on success
//   test_helper no-write-exec PROGRAM [ARGS...]
//                               runs PROGRAM where no memory may be both writable and executable
//                               (PR_SET_MDWE, as systemd's MemoryDenyWriteExecute=yes)
//   test_helper silent-udp PORT  binds UDP 127.0.0.1:PORT and never answers (a resolver that
//                               never answers), until killed
//   test_helper save-settings EXEDIR NAME PORT
//                               the settings of a copy NAME in EXEDIR on a fake port: loads,
//                               prints the file it read and its port, saves PORT, prints any
//                               warning, then prints what the save's own load read

#include "../FakeSerialPort.h"

#include "board/BoardSettings.h"
#include "serial/SystemSerialPort.h"
#include "settings/SettingsFile.h"

#include <QCoreApplication>
#include <QDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 5 && args[1] == u"save-settings") {
        FakeSerialPort port;
        ControllerLink link(&port);
        const QString config = SettingsLocation::userConfigDir();
        BoardSettings settings(
            &link, [&] { return SettingsLocation::find(args[2], args[3], config); },
            QDir(config).filePath(QStringLiteral("vantrelo")));
        const auto loaded = [&] {
            std::printf("loaded %s port %d\n", qPrintable(settings.loadedPath()),
                        settings.record().portNumber);
        };
        settings.start();
        loaded();
        SettingsRecord record;
        record.portNumber = qint16(args[4].toInt());
        if (const QString message = settings.save(record).message; !message.isEmpty())
            std::printf("warning %s\n", qPrintable(message));
        loaded(); // the load after the save, which looks for the file anew
        return 0;
    }
    if (args.size() >= 3 && args[1] == u"no-write-exec") {
        constexpr int setMdwe = 65, refuseExecGain = 1; // PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN
        if (::prctl(setMdwe, refuseExecGain, 0L, 0L, 0L) != 0)
            return std::printf("PR_SET_MDWE: %s\n", std::strerror(errno)), 77;
        ::execv(argv[2], argv + 2);
        return std::printf("%s: %s\n", argv[2], std::strerror(errno)), 1;
    }
    if (args.size() == 3 && args[1] == u"silent-udp") {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(args[2].toUInt()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            return std::printf("%s\n", std::strerror(errno)), 1;
        std::printf("bound\n");
        std::fflush(stdout);
        for (;;)
            ::pause(); // what comes is never read
    }
    if ((args.size() == 3 || args.size() == 4) && args[1] == u"save") {
        SettingsRecord record;
        record.portNumber = 5;
        if (args.size() == 4) // a file longer than one page of the file system
            record.outputNames[0] = QString(args[3].toInt(), u'x');
        const QString failure = SettingsFile::write(args[2], record);
        std::printf("%s\n", qPrintable(failure));
        return failure.isEmpty() ? 0 : 1;
    }
    if (args.size() != 4 || args[1] != u"open") {
        std::fprintf(
            stderr,
            "usage: test_helper open FOLDER N | save PATH [N] | save-settings DIR NAME N\n");
        return 2;
    }
    SystemSerialPort port(args[2], [] { return QStringList(); });
    const PortError error =
        port.open(args[3].toInt(), *LineSettings::parse(QStringLiteral("9600,N,8,1")));
    std::printf("%d %s\n", error.number, qPrintable(error.detail));
    return 0;
}
