// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The program under bad input: a flood on the line, a port without permission.

#include "Pty.h"
#include "PtyPeer.h"
#include "TestSupport.h"
#include "WindowRig.h"

#include "serial/SystemSerialPort.h"

#include <QDeadlineTimer>
#include <QStandardPaths>

#include <thread>

namespace {

using TestSupport::portIn;

} // namespace

class TestHardening : public QObject
{
    Q_OBJECT
private slots:
    void flood()
    {
        const QByteArray flood(10 * 1024 * 1024, '\x80'); // one line of 10 MB
        QTemporaryDir dir;
        Pty pty;
        QVERIFY(pty.open(dir.filePath("COM1")).isEmpty());
        PtyPeer peer(pty.controllerFd());
        WindowRig rig(portIn(dir.path()), dir.path(), QString("vantrelo"), 0.1);
        rig.window.load();
        QTRY_VERIFY_WITH_TIMEOUT(peer.received().contains("AT\r"), 3000);
        peer.write("OK\r");
        QTRY_VERIFY_WITH_TIMEOUT(peer.received().contains("OA\r"), 3000);

        // Pours the flood from another thread while the operator clicks; returns the clicks.
        auto pour = [&] {
            std::atomic<bool> done{false};
            std::thread writer([&] {
                peer.write(flood);
                peer.write("\r");
                done = true;
            });
            int clicks = 0;
            for (QDeadlineTimer limit(60000); !done && !limit.hasExpired();) {
                QTest::qWait(20);
                if (clicks < 3 && ++clicks)
                    QTest::mouseClick(rig.ui().allOnButton, Qt::LeftButton);
            }
            writer.join();
            return clicks;
        };
        const int clicks = pour();
        // The clicks went out during the flood.
        QTRY_COMPARE(peer.received().count("OAH\r"), clicks);
        peer.write("O3H\r"); // the next valid line is still recognised
        QTRY_COMPARE_WITH_TIMEOUT(rig.ui().outputButtons[2]->backColour(), Colours::OutputOn,
                                  20000);
        QCOMPARE(rig.statusText(), QString("COM:1 Baud:9600 COM data: O3H"));
    }
    void portWithoutPermission()
    {
        if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs root and setpriv to open the port as another user");
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadOther | QFile::ExeOther);
        TestSupport::Simulator sim(dir.path(), 1);
        QVERIFY(sim.start());
        const QString out =
            TestSupport::run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                         VANTRELO_TEST_HELPER, "open", dir.path(), "1"})
                .out;
        QVERIFY2(out.startsWith("8010 ") && out.contains("Permission denied"), qPrintable(out));
    }
};

QTEST_MAIN(TestHardening)
#include "tst_hardening.moc"
