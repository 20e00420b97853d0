// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The program's parts with the real QSerialPort against the simulator on ptys linked as COM<n>.

#include "TestSupport.h"
#include "WindowRig.h"

#include "serial/SystemSerialPort.h"

namespace {
std::unique_ptr<SerialPort> portIn(const QTemporaryDir &dir)
{
    return std::make_unique<SystemSerialPort>(dir.path(), [] { return QStringList(); });
}
bool allOn(const MainWindowUi &ui)
{
    return std::all_of(ui.outputButtons.begin(), ui.outputButtons.end(),
                       [](const ColourButton *b) { return b->backColour() == Colours::OutputOn; });
}
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void wholeSession()
    {
        QTemporaryDir dir;
        TestSupport::Simulator sim(dir.path(), 1, {"--id", "1"});
        TestSupport::Simulator sim2(dir.path(), 2, {"--id", "1"});
        QVERIFY(sim.start() && sim2.start());
        WindowRig rig(portIn(dir), dir.path(), QStringLiteral("vantrelo"), 0.1);
        rig.writeIni("1,\"9600\",0,\"1\"\r\n\"Pump\",\"Fan\",\"Light\",\"Heater\"\r\n");
        QFile::copy(rig.dir.filePath("vantrelo.ini"), dir.filePath("vantrelo.ini"));
        rig.window.show();
        rig.window.load();

        // Search, handshake, green, then the state query.
        QTRY_VERIFY_WITH_TIMEOUT(rig.ui().outputsFrame->isEnabled(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(sim.received(), (QStringList{"1AT<CR>", "1OA<CR>"}), 3000);
        QTRY_COMPARE(rig.statusText(), QStringLiteral("COM:1 Baud:9600 COM data: 1O4L"));

        // A click sends the frame; the echo turns the button green; a second click switches off.
        QTest::mouseClick(rig.ui().outputButtons[1], Qt::LeftButton);
        QTRY_COMPARE(rig.ui().outputButtons[1]->backColour(), Colours::OutputOn);
        QTest::mouseClick(rig.ui().outputButtons[1], Qt::LeftButton);
        QTRY_COMPARE(rig.ui().outputButtons[1]->backColour(), Colours::OutputOff);
        QTest::mouseClick(rig.ui().allOnButton, Qt::LeftButton);
        QTRY_VERIFY(allOn(rig.ui()));
        QCOMPARE(sim.received().mid(2), (QStringList{"1O2H<CR>", "1O2L<CR>", "1OAH<CR>"}));

        // Save with another port: closed, searching, reopened on COM2 with that board's states.
        WindowRig::type(rig.ui().portEdit, "2");
        QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton);
        QVERIFY(!rig.port->isOpen());
        QTRY_VERIFY_WITH_TIMEOUT(sim2.received().contains("1OA<CR>"), 3000);
        QTRY_COMPARE(rig.ui().outputButtons[0]->backColour(), Colours::OutputOff);
    }
    void controllerVanishesWhileConnected()
    {
        QTemporaryDir dir;
        auto sim = std::make_unique<TestSupport::Simulator>(dir.path(), 1);
        QVERIFY(sim->start());
        WindowRig rig(portIn(dir), dir.path(), QStringLiteral("vantrelo"), 0.1);
        rig.window.load();
        QTRY_VERIFY_WITH_TIMEOUT(sim->received().contains("OA<CR>"), 3000);
        sim->kill(); // the adapter is pulled: shown at once, on the failure colour
        QTRY_COMPARE_WITH_TIMEOUT(rig.statusText(), QStringLiteral("COM Port comm-error! 8020"),
                                  1000);
        QCOMPARE(rig.statusColour(), Colours::StatusFailure);
        const double before = TestSupport::cpuSeconds();
        QTest::qWait(400);
        QVERIFY2(TestSupport::cpuSeconds() - before < 0.1, "CPU spin after the device went away");
        QVERIFY(rig.ui().outputsFrame->isEnabled() && !rig.link.isSearching());

        sim = std::make_unique<TestSupport::Simulator>(dir.path(), 1); // plugged in again
        QVERIFY(sim->start());
        QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton); // searches again
        QTRY_VERIFY_WITH_TIMEOUT(sim->received().contains("OA<CR>"), 3000);
        sim->kill();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.port->isOpen(), 1000);
        QTest::mouseClick(rig.ui().outputButtons[0], Qt::LeftButton); // the fatal path
        QCOMPARE(rig.statusText(), QStringLiteral("COM Port communication error! Close App! 8018"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.ends, QList<int>{MainWindow::fatalExitCode}, 2000);
    }
    void unsolicitedReportsAndLineFeeds()
    {
        QTemporaryDir dir;
        TestSupport::Simulator sim(dir.path(), 4,
                                   {"--lf", "--toggle-every", "50", "--outputs", "6"});
        QVERIFY(sim.start());
        WindowRig rig(portIn(dir), dir.path());
        QFile ini(dir.filePath("vantrelo.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("4,\"115200\",0,\"\"\r\n\"a\",\"b\",\"c\",\"d\"\r\n");
        ini.close();
        rig.window.load();
        QTRY_VERIFY_WITH_TIMEOUT(rig.ui().outputsFrame->isEnabled(), 5000);
        // Round robin over six outputs: all four buttons turn on, and lines for 5 and 6 show "???".
        QTRY_VERIFY_WITH_TIMEOUT(allOn(rig.ui()), 3000);
        QTRY_COMPARE(rig.statusText(), QStringLiteral("???"));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
