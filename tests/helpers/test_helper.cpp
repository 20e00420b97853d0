// Small jobs the tests run in a separate process:
//   test_helper save-loop PATH        saves two records in turn, for ever (the test kills it)
//   test_helper open FOLDER N         opens COM<N> from FOLDER, prints the error number (0: opened)

#include "serial/QtSerialComm.h"
#include "settings/SettingsFile.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args[1] == u"save-loop") {
        SettingsRecord a = SettingsRecord::defaults();
        SettingsRecord b = a;
        b.CommPortNumber = 2;
        b.DeviceId = QString(2000, u'x'); // a longer file, so a torn write would show
        std::printf("saving\n");
        std::fflush(stdout);
        for (unsigned long i = 0;; ++i) {
            if (!SettingsFile::write(args[2], i % 2 ? b : a).isEmpty())
                return 1;
        }
    }
    if (args.size() == 4 && args[1] == u"open") {
        QtSerialComm port(args[2], [] { return QStringList(); });
        try {
            port.setCommPort(args[3].toInt());
            port.setPortOpen(true);
            std::printf("0\n");
        } catch (const CommError &e) {
            std::printf("%d %s\n", e.number(), qPrintable(e.detail()));
        }
        return 0;
    }
    std::fprintf(stderr, "usage: test_helper save-loop PATH | open FOLDER N\n");
    return 2;
}
