// The window with the real serial component against the simulator on a pty linked as COM<n>.

#include "TestSupport.h"
#include "WindowRig.h"

#include "serial/QtSerialComm.h"

#include <QApplication>

using std::chrono::milliseconds;

namespace {

LinkTimings e2eTimings()
{
    return {milliseconds(200), milliseconds(1000), milliseconds(200), milliseconds(200)};
}

QStringList noDevices()
{
    return {};
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void wholeSession();
    void unsolicitedChangesAndLineFeeds();
    void silentControllerKeepsSearching();
};

void TestEndToEnd::wholeSession()
{
    QTemporaryDir dir;
    TestSupport::Simulator sim(dir.path(), 1, {"--id", "1"});
    QVERIFY(sim.start());
    TestSupport::Simulator sim2(dir.path(), 2, {"--id", "1"});
    QVERIFY(sim2.start());

    auto *port = new QtSerialComm(dir.path(), noDevices);
    WindowRig rig(e2eTimings(), port, dir.path());
    rig.writeIni("1,\"9600\",0,\"1\"\r\n\"Pump\",\"Fan\",\"Light\",\"Heater\"\r\n");
    QFile::copy(rig.iniPath(), dir.filePath("vantrelo.ini"));
    rig.window->show();
    rig.window->Form_Load();
    QCOMPARE(rig.window->settingsPath(), dir.filePath("vantrelo.ini"));

    // Search, handshake, green, then the state query.
    QTRY_COMPARE_WITH_TIMEOUT(rig.statusColour(), Colours::StatusConnected, 5000);
    QVERIFY(rig.ui().frmOuts->isEnabled());
    QCOMPARE(rig.ui().lblDevCode->text(), QStringLiteral("Vantrelo: Quorvane"));
    QTRY_COMPARE_WITH_TIMEOUT(sim.received(), (QStringList{"1AT<CR>", "1OA<CR>"}), 3000);
    QTRY_COMPARE(rig.statusText(), QStringLiteral("COM:1 Baud:9600 COM data: 1O4L"));
    QCOMPARE(rig.statusColour(), Colours::StatusReply);
    for (int n = 1; n <= 4; ++n)
        QCOMPARE(rig.ui().cmdOut[n]->backColour(), Colours::OutputOff);

    // A click sends the frame; the echo turns the button green; a second click switches off.
    QTest::mouseClick(rig.ui().cmdOut[2], Qt::LeftButton);
    QTRY_COMPARE(rig.ui().cmdOut[2]->backColour(), Colours::OutputOn);
    QVERIFY(sim.received().contains("1O2H<CR>"));
    QTest::mouseClick(rig.ui().cmdOut[2], Qt::LeftButton);
    QTRY_COMPARE(rig.ui().cmdOut[2]->backColour(), Colours::OutputOff);
    QTest::mouseClick(rig.ui().cmdAll1, Qt::LeftButton);
    QTRY_VERIFY(rig.ui().cmdOut[1]->backColour() == Colours::OutputOn &&
                rig.ui().cmdOut[4]->backColour() == Colours::OutputOn);

    // Save while connected, with another port: closed, searching, reopened on COM2.
    const_cast<QLineEdit *>(rig.ui().txtCom)->setText("2");
    QTest::mouseClick(rig.ui().cmdExit, Qt::LeftButton);
    QVERIFY(!port->PortOpen());
    QCOMPARE(rig.statusText(), QStringLiteral("Status:"));
    QVERIFY(rig.ui().frmOuts->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(sim2.received().contains("1AT<CR>"), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.statusColour(), Colours::StatusReply, 3000);
    QTRY_VERIFY(sim2.received().contains("1OA<CR>"));
    QTRY_COMPARE(rig.ui().cmdOut[1]->backColour(), Colours::OutputOff); // the second board's state
    QVERIFY(port->PortOpen());

    // The controller vanishes: the port closes, nothing spins.
    sim2.kill();
    QTRY_VERIFY_WITH_TIMEOUT(!port->PortOpen(), 3000);
    const double before = TestSupport::cpuSeconds();
    QTest::qWait(400);
    QVERIFY2(TestSupport::cpuSeconds() - before < 0.1, "CPU spin after the device went away");

    // The next output click ends the program through the fatal path.
    QTest::mouseClick(rig.ui().cmdOut[3], Qt::LeftButton);
    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(rig.ends.first().second, VantreloWindow::fatalExitCode);
    QCOMPARE(rig.statusText(), QStringLiteral("COM Port communication error! Close App! 8018"));
    QCOMPARE(rig.asked, 0);
}

void TestEndToEnd::unsolicitedChangesAndLineFeeds()
{
    QTemporaryDir dir;
    TestSupport::Simulator sim(dir.path(), 4, {"--lf", "--toggle-every", "50", "--outputs", "6"});
    QVERIFY(sim.start());
    auto *port = new QtSerialComm(dir.path(), noDevices);
    WindowRig rig(e2eTimings(), port, dir.path());
    QFile ini(dir.filePath("vantrelo.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("4,\"115200\",0,\"\"\r\n\"a\",\"b\",\"c\",\"d\"\r\n");
    ini.close();
    rig.window->Form_Load();
    QTRY_VERIFY_WITH_TIMEOUT(rig.ui().frmOuts->isEnabled(), 5000);
    // Round robin over six outputs: all four buttons turn on, and lines for 5 and 6 show "???".
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(rig.ui().cmdOut.begin() + 1, rig.ui().cmdOut.end(),
                                         [](const ColourButton *b) { return b->backColour() == Colours::OutputOn; }),
                             3000);
    QTRY_COMPARE(rig.statusText(), QStringLiteral("???"));
    QVERIFY(rig.window->rxLine().pending().isEmpty() || !rig.window->rxLine().pending().contains('\n'));
}

void TestEndToEnd::silentControllerKeepsSearching()
{
    QTemporaryDir dir;
    TestSupport::Simulator sim(dir.path(), 1, {"--silent"});
    QVERIFY(sim.start());
    auto *port = new QtSerialComm(dir.path(), noDevices);
    WindowRig rig(LinkTimings{milliseconds(100), milliseconds(250), milliseconds(50), milliseconds(50)},
                  port, dir.path());
    rig.window->Form_Load();
    QTRY_COMPARE_WITH_TIMEOUT(rig.statusText(), QStringLiteral("No response!"), 3000);
    QTRY_VERIFY(sim.received().count("AT<CR>") >= 3);
    QVERIFY(!rig.ui().frmOuts->isEnabled());
    QVERIFY(rig.window->timer1().isActive());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
