// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The program's parts with the real QSerialPort against the simulator on ptys linked as COM<n>.

#include "TestSupport.h"
#include "WindowRig.h"

#include "serial/SystemSerialPort.h"

using TestSupport::portIn;

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void controllerVanishesWhileConnected()
    {
        QTemporaryDir dir;
        auto sim = std::make_unique<TestSupport::Simulator>(dir.path(), 1);
        QVERIFY(sim->start());
        WindowRig rig(portIn(dir.path()), dir.path(), QStringLiteral("vantrelo"), 0.1);
        rig.window.load();
        QTRY_VERIFY_WITH_TIMEOUT(sim->received().contains("OA<CR>"), 3000);
        sim->kill(); // the adapter is pulled: shown at once, on the failure colour
        QTRY_COMPARE_WITH_TIMEOUT(rig.statusText(), QStringLiteral("COM Port comm-error! 8020"),
                                  1000);
        QCOMPARE(rig.statusColour(), Colours::StatusFailure);
        const double before = TestSupport::cpuSeconds();
        QTest::qWait(400);
        QVERIFY2(TestSupport::cpuSeconds() - before < 0.1, "CPU spin after the device went away");

        QVERIFY(rig.ui().outputsFrame->isEnabled() && rig.link.isSearching());

        sim = std::make_unique<TestSupport::Simulator>(dir.path(), 1); // plugged in again
        QVERIFY(sim->start());
        // Found again without a click, and its states queried.
        QTRY_VERIFY_WITH_TIMEOUT(sim->received().contains("OA<CR>"), 3000);
        QTRY_COMPARE(rig.statusColour(), Colours::StatusReply);
        sim->kill();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.port->isOpen(), 1000);
        // Before the next attempt reopens the port, a click takes the fatal path.
        QTest::mouseClick(rig.ui().outputButtons[0], Qt::LeftButton);
        QCOMPARE(rig.statusText(), QStringLiteral("COM Port communication error! Close App! 8018"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.ends, QList<int>{MainWindow::fatalExitCode}, 2000);
        QCOMPARE(rig.asked, 0); // no exit question on the way
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
