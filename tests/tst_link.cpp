// The link through the window object on the fake port: start-up and connection attempts,
// the reply time-out, reply handling, the output commands and the fatal path.

#include "TestSupport.h"
#include "WindowRig.h"

#include <QApplication>
#include <QHelpEvent>
#include <QTextDocument>

using namespace CommErrors;
using std::chrono::milliseconds;

namespace {

// The status line's text transitions, with their times.
QList<StatusEvent> changes(const QList<StatusEvent> &events)
{
    QList<StatusEvent> out;
    for (const StatusEvent &e : events) {
        if (out.isEmpty() || out.last().text != e.text)
            out << e;
    }
    return out;
}

QStringList texts(const QList<StatusEvent> &events)
{
    QStringList out;
    for (const StatusEvent &e : events) {
        if (out.isEmpty() || out.last() != e.text)
            out << e.text;
    }
    return out;
}

} // namespace

class TestLink : public QObject
{
    Q_OBJECT
private slots:
    void linkStart();
    void connectionAttempt();
    void laterAttemptsKeepThePortOpen();
    void attemptFailures_data();
    void attemptFailures();
    void replyTimeoutRhythm();
    void firstNoResponseAfterSevenSeconds();
    void replies_data();
    void replies();
    void handshake();
    void lateSecondHandshakeRunsBranchAgain();
    void lineDuringTimeoutSuppressesNoResponse();
    void linesDuringQueryWaitAreHandledAtOnce();
    void clicksDuringQueryWaitGoFirst();
    void emptyReadAppendsNothing();
    void otherCommEventsChangeNothing();
    void outputToggle_data();
    void outputToggle();
    void allOutputs();
    void clickAfterSaveIsFatal();
    void nestedFatalEndsAfterLatest();
    void fatalWaitLetsEventsRun();
    void exitDuringQueryWaitSendsNothing();
    void statusToolTipExplainsFailures_data();
    void statusToolTipExplainsFailures();
    void toolTipsEscapeHostileNames();
};

void TestLink::linkStart()
{
    WindowRig rig;
    rig.window->Form_Load();
    QCOMPARE(rig.window->windowTitle(), QStringLiteral("Vantrelo: vantrelo"));
    QCOMPARE(texts(rig.status), QStringList{QStringLiteral("Status:")});
    QCOMPARE(rig.statusColour(), Colours::StatusSearching);
    QVERIFY(rig.window->timer1().isActive());
    QVERIFY(!rig.window->timerCom().isActive());
    QCOMPARE(rig.fake->calls, (QStringList{"CommPort=1", "Settings=9600,N,8,1"}));
    QVERIFY(!rig.fake->PortOpen());
    // The first attempt follows one interval later, not at once.
    QTest::qWait(100);
    QVERIFY(rig.fake->written.isEmpty());
}

void TestLink::connectionAttempt()
{
    WindowRig rig;
    rig.writeIni("1,\"19200\",0,\"7\"\r\n\"a\",\"b\",\"c\",\"d\"\r\n");
    rig.window->Form_Load();
    rig.fake->calls.clear();
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->written, QList<QByteArray>{"7AT\r"}, 2000);
    QCOMPARE(rig.fake->calls, (QStringList{"Settings=19200,n,8,1", "Handshaking=0", "open"}));
    QVERIFY(!rig.fake->dtr && !rig.fake->rts);
    QCOMPARE(rig.fake->rThreshold, 1);
    QCOMPARE(rig.fake->inputLen, 1);
    QCOMPARE(rig.statusText(), QStringLiteral("Searching for Vantrelo uC code..."));
    QCOMPARE(rig.statusColour(), Colours::StatusSearching);
    QVERIFY(rig.window->timerCom().isActive());
}

void TestLink::laterAttemptsKeepThePortOpen()
{
    WindowRig rig;
    rig.startAndFirstAttempt();
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->written.size(), 3, 2000);
    QCOMPARE(rig.fake->opens, 1);
    QCOMPARE(rig.fake->calls.count(QStringLiteral("close")), 0);
    QCOMPARE(rig.fake->written, (QList<QByteArray>{"AT\r", "AT\r", "AT\r"}));
}

void TestLink::attemptFailures_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("text");
    QTest::newRow("8002") << InvalidPortNumber << "Invalid Port Number!";
    QTest::newRow("8005") << PortAlreadyOpen << "Port already open!";
    QTest::newRow("8010") << PermissionDenied << "COM Port comm-error! 8010";
    QTest::newRow("8022") << OpenFailed << "COM Port comm-error! 8022";
}

void TestLink::attemptFailures()
{
    QFETCH(int, number);
    QFETCH(QString, text);
    WindowRig rig;
    rig.fake->failOpenWith = number;
    rig.window->Form_Load();
    QTRY_COMPARE_WITH_TIMEOUT(rig.statusText(), text, 2000);
    QCOMPARE(rig.statusColour(), Colours::StatusFailure);
    QVERIFY(rig.fake->written.isEmpty()); // the later steps are not run
    QVERIFY(rig.window->timer1().isActive());
    QVERIFY(rig.window->timerCom().isActive()); // armed before the open

    // The cause goes away: the next attempt opens and greets.
    rig.fake->failOpenWith = 0;
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->written, QList<QByteArray>{"AT\r"}, 2000);
    QCOMPARE(rig.statusText(), QStringLiteral("Searching for Vantrelo uC code..."));
}

void TestLink::replyTimeoutRhythm()
{
    // Attempts every 200 ms, time-out 500 ms: attempts at 200, 400, 600, "No response!" at
    // 700, attempts at 800, 1000, 1200, "No response!" at 1300, ...
    WindowRig rig;
    rig.window->Form_Load();
    QTRY_COMPARE_WITH_TIMEOUT(texts(rig.status).count(QStringLiteral("No response!")), 2, 3000);
    QList<qint64> noResponse;
    for (const StatusEvent &e : changes(rig.status)) {
        if (e.text == u"No response!")
            noResponse << e.at;
    }
    const QStringList seq = texts(rig.status);
    const QString s = QStringLiteral("Searching for Vantrelo uC code...");
    const QString n = QStringLiteral("No response!");
    // Status, then three attempts per time-out: each attempt shows "Searching" again.
    QCOMPARE(seq.mid(0, 4), (QStringList{"Status:", s, n, s}));
    QCOMPARE(rig.status.last().colour, Colours::StatusFailure);
    // The second time-out comes about 600 ms after the first: the attempts in between did not
    // postpone it, and the attempt after it armed it again.
    QVERIFY2(qAbs(noResponse[1] - noResponse[0] - 600) < 150,
             qPrintable(QString::number(noResponse[1] - noResponse[0])));
    QCOMPARE(rig.fake->written.size() >= 6, true);
}

void TestLink::firstNoResponseAfterSevenSeconds()
{
    WindowRig rig(LinkTimings{});
    rig.window->Form_Load();
    QTRY_VERIFY_WITH_TIMEOUT(rig.statusText() == u"No response!", 9000);
    const qint64 start = rig.status.first().at;
    const auto it = std::find_if(rig.status.begin(), rig.status.end(),
                                 [](const StatusEvent &e) { return e.text == u"No response!"; });
    QVERIFY2(qAbs(it->at - start - 7000) < 300, qPrintable(QString::number(it->at - start)));
    QCOMPARE(rig.fake->written.size(), 3); // attempts at 2, 4 and 6 s
}

void TestLink::replies_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("button");    // 0: none changes
    QTest::addColumn<uint>("colour");
    QTest::newRow("1O2H") << "1" << QByteArray("1O2H") << "COM:3 Baud:9600 COM data: 1O2H" << 2 << 0x00C000u;
    QTest::newRow("1O2L after on") << "1" << QByteArray("1O2L") << "COM:3 Baud:9600 COM data: 1O2L" << 2
                                   << 0x8000000Fu;
    QTest::newRow("1O5H: no button") << "1" << QByteArray("1O5H") << "???" << 0 << 0u;
    QTest::newRow("1O16L: no button") << "1" << QByteArray("1O16L") << "???" << 0 << 0u;
    QTest::newRow("1O17H") << "1" << QByteArray("1O17H") << "COM:3 Baud:9600 COM data: 1O17H" << 0 << 0u;
    QTest::newRow("1o2h") << "1" << QByteArray("1o2h") << "COM:3 Baud:9600 COM data: 1o2h" << 0 << 0u;
    QTest::newRow("1O02H") << "1" << QByteArray("1O02H") << "COM:3 Baud:9600 COM data: 1O02H" << 0 << 0u;
    QTest::newRow("1OK blank") << "1" << QByteArray("1OK ") << "COM:3 Baud:9600 COM data: 1OK " << 0 << 0u;
    QTest::newRow("OK without id") << "1" << QByteArray("OK") << "COM:3 Baud:9600 COM data: OK" << 0 << 0u;
    QTest::newRow("empty id O3H") << "" << QByteArray("O3H") << "COM:3 Baud:9600 COM data: O3H" << 3 << 0x00C000u;
    QTest::newRow("html shown literally") << "1" << QByteArray("<b>x</b>&amp;")
                                          << "COM:3 Baud:9600 COM data: <b>x</b>&amp;" << 0 << 0u;
    QTest::newRow("percent signs") << "1" << QByteArray("%1%2") << "COM:3 Baud:9600 COM data: %1%2" << 0 << 0u;
    QTest::newRow("byte above 0x7f") << "1" << QByteArray("\xe9\xff") << "COM:3 Baud:9600 COM data: \u00e9\u00ff"
                                     << 0 << 0u;
}

void TestLink::replies()
{
    QFETCH(QString, id);
    QFETCH(QByteArray, line);
    QFETCH(QString, status);
    QFETCH(int, button);
    QFETCH(uint, colour);
    WindowRig rig;
    rig.writeIni("3,\"9600\",0,\"" + id.toLatin1() + "\"\r\n\"a\",\"b\",\"c\",\"d\"\r\n");
    rig.startAndFirstAttempt();
    QVERIFY(rig.window->timerCom().isActive());
    if (line == "1O2L")
        rig.window->HandleReply(QStringLiteral("1O2H"));
    // The boxes do not count; the settings as loaded do.
    const_cast<QLineEdit *>(rig.ui().txtCom)->setText(QStringLiteral("9"));
    QList<ColourWord> before;
    for (int n = 1; n <= 4; ++n)
        before << rig.ui().cmdOut[n]->backColour();

    rig.fake->receive(line + "\r");
    QTRY_COMPARE(rig.statusText(), status);
    QCOMPARE(rig.statusColour(), Colours::StatusReply);
    QVERIFY(!rig.window->timerCom().isActive());
    QVERIFY(rig.window->timer1().isActive()); // still searching
    QVERIFY(!rig.ui().frmOuts->isEnabled());
    QCOMPARE(rig.ui().lblDevCode->text(), QStringLiteral("???"));
    for (int n = 1; n <= 4; ++n)
        QCOMPARE(rig.ui().cmdOut[n]->backColour(), n == button ? colour : before[n - 1]);
}

void TestLink::handshake()
{
    WindowRig rig;
    rig.writeIni("3,\"9600\",0,\"1\"\r\n\"a\",\"b\",\"c\",\"d\"\r\n");
    rig.startAndFirstAttempt();
    struct
    {
        bool outputsEnabled, retrying, timeoutArmed;
        QList<QByteArray> written;
        QString devCode, status;
        ColourWord colour;
        qint64 at;
    } inWait{};
    rig.duringQueryWait([&] {
        inWait = {rig.ui().frmOuts->isEnabled(), rig.window->timer1().isActive(),
                  rig.window->timerCom().isActive(), rig.fake->written,
                  rig.ui().lblDevCode->text(), rig.statusText(), rig.statusColour(),
                  rig.clock.elapsed()};
    });
    const qint64 answered = rig.clock.elapsed();
    rig.fake->receive("1OK\r");
    QTRY_COMPARE(rig.fake->written.size(), 2);
    const qint64 queried = rig.clock.elapsed();
    QCOMPARE(rig.fake->written.last(), QByteArray("1OA\r"));
    QVERIFY(queried - answered >= 60);

    // Inside the wait, before the query: connected, retries stopped, time-out armed.
    QVERIFY(inWait.at > 0);
    QVERIFY(inWait.outputsEnabled);
    QVERIFY(!inWait.retrying);
    QVERIFY(inWait.timeoutArmed);
    QCOMPARE(inWait.written, QList<QByteArray>{"1AT\r"});
    QCOMPARE(inWait.devCode, QStringLiteral("Vantrelo: Quorvane"));
    QCOMPARE(inWait.status, QStringLiteral("COM:3 Baud:9600 COM data: 1OK"));
    QCOMPARE(inWait.colour, Colours::StatusConnected);
    for (int n = 1; n <= 4; ++n)
        QCOMPARE(rig.ui().cmdOut[n]->backColour(), Colours::OutputOff);

    // No more handshake frames, even when the controller falls silent.
    QTest::qWait(700);
    QCOMPARE(rig.fake->written.count("1AT\r"), 1);
    QCOMPARE(rig.statusText(), QStringLiteral("No response!")); // the query went unanswered
    QVERIFY(!rig.window->timer1().isActive());
}

void TestLink::lateSecondHandshakeRunsBranchAgain()
{
    WindowRig rig;
    rig.connect();
    rig.fake->receive("O1H\r");
    QTRY_COMPARE(rig.ui().cmdOut[1]->backColour(), Colours::OutputOn);
    rig.fake->receive("OK\r");
    QTRY_COMPARE(rig.fake->written.count("OA\r"), 2);
    QCOMPARE(rig.statusColour(), Colours::StatusConnected);
    QCOMPARE(rig.ui().cmdOut[1]->backColour(), Colours::OutputOn); // nothing reset
}

void TestLink::lineDuringTimeoutSuppressesNoResponse()
{
    WindowRig rig(LinkTimings{milliseconds(300), milliseconds(400), milliseconds(60), milliseconds(150)});
    rig.startAndFirstAttempt();
    rig.fake->receive("junk\r");
    QTRY_VERIFY(!rig.window->timerCom().isActive());
    // The attempt at 600 ms arms it again; it cannot run out before 1000 ms.
    QTest::qWait(250);
    QVERIFY(!texts(rig.status).contains(QStringLiteral("No response!")));
}

void TestLink::linesDuringQueryWaitAreHandledAtOnce()
{
    WindowRig rig(LinkTimings{milliseconds(200), milliseconds(500), milliseconds(300), milliseconds(150)});
    rig.startAndFirstAttempt();
    ColourWord button2InWait = 0;
    bool timeoutArmedInWait = true;
    QString statusInWait;
    rig.duringQueryWait([&] {
        // Inside the wait: the line is handled at once, whole, and not glued to "OK".
        rig.fake->receive("O2");
        rig.fake->receive("H\r");
        QTimer::singleShot(50, [&] {
            button2InWait = rig.ui().cmdOut[2]->backColour();
            timeoutArmedInWait = rig.window->timerCom().isActive();
            statusInWait = rig.statusText();
            // Characters without a CR yet: kept for the line after the wait.
            rig.fake->receive("O3");
        });
    });
    rig.fake->receive("OK\r");
    QTRY_VERIFY(rig.fake->written.contains("OA\r"));
    QCOMPARE(button2InWait, Colours::OutputOn);
    QVERIFY(!timeoutArmedInWait); // the line disarmed it
    QCOMPARE(statusInWait, QStringLiteral("COM:1 Baud:9600 COM data: O2H"));
    rig.fake->receive("H\r");
    QTRY_COMPARE(rig.ui().cmdOut[3]->backColour(), Colours::OutputOn);
}

void TestLink::clicksDuringQueryWaitGoFirst()
{
    WindowRig rig(LinkTimings{milliseconds(200), milliseconds(500), milliseconds(300), milliseconds(150)});
    rig.startAndFirstAttempt();
    rig.duringQueryWait([&] {
        QTest::mouseClick(rig.ui().cmdOut[4], Qt::LeftButton);
        QTest::mouseClick(rig.ui().cmdAll0, Qt::LeftButton);
    });
    rig.fake->receive("OK\r");
    QTRY_VERIFY(rig.fake->written.contains("OA\r"));
    QCOMPARE(rig.fake->written, (QList<QByteArray>{"AT\r", "O4H\r", "OAL\r", "OA\r"}));
}

void TestLink::emptyReadAppendsNothing()
{
    WindowRig rig;
    rig.startAndFirstAttempt();
    rig.fake->postEvent(SerialComm::comEvReceive); // announced, nothing waiting
    QTest::qWait(20);
    QVERIFY(rig.window->rxLine().pending().isEmpty());
    rig.fake->receive("OK\r");
    QTRY_VERIFY(rig.ui().frmOuts->isEnabled()); // no blank in front of the answer
}

void TestLink::otherCommEventsChangeNothing()
{
    WindowRig rig;
    rig.startAndFirstAttempt();
    rig.fake->rxBuffer = "OK\r"; // waiting, but the event is another one
    rig.fake->postEvent(1004);
    QTest::qWait(20);
    QVERIFY(rig.window->rxLine().pending().isEmpty());
    QCOMPARE(rig.fake->rxBuffer, QByteArray("OK\r"));
    rig.fake->loseDevice();
    QTest::qWait(20);
    QCOMPARE(rig.statusText(), QStringLiteral("Searching for Vantrelo uC code..."));
    // Searching goes on: the next attempt opens the port again.
    rig.fake->rxBuffer.clear();
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->opens, 2, 2000);
}

void TestLink::outputToggle_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<uint>("colour");
    QTest::addColumn<QList<QByteArray>>("frames"); // after two clicks on button 3
    QTest::newRow("off, id 7") << "7" << 0x8000000Fu << QList<QByteArray>{"7O3H\r", "7O3H\r"};
    QTest::newRow("on") << "1" << 0x00C000u << QList<QByteArray>{"1O3L\r", "1O3L\r"};
    QTest::newRow("any other colour") << "1" << 0x0000FFu << QList<QByteArray>{};
}

void TestLink::outputToggle()
{
    QFETCH(QString, id);
    QFETCH(uint, colour);
    QFETCH(QList<QByteArray>, frames);
    WindowRig rig;
    rig.writeIni("1,\"9600\",0,\"" + id.toLatin1() + "\"\r\n\"a\",\"b\",\"c\",\"d\"\r\n");
    rig.connect(id.toLatin1());
    rig.fake->receive("x\r"); // answers the query: the time-out is disarmed
    QTRY_VERIFY(!rig.window->timerCom().isActive());
    rig.fake->written.clear();
    const_cast<ColourButton *>(rig.ui().cmdOut[3])->setBackColour(colour);
    QTest::mouseClick(rig.ui().cmdOut[3], Qt::LeftButton);
    QTest::mouseClick(rig.ui().cmdOut[3], Qt::LeftButton);
    QCOMPARE(rig.fake->written, frames);
    QCOMPARE(rig.ui().cmdOut[3]->backColour(), colour); // until the controller's echo
    QVERIFY(!rig.window->timerCom().isActive()); // commands arm no time-out
}

void TestLink::allOutputs()
{
    WindowRig rig;
    rig.connect();
    rig.fake->written.clear();
    QTest::mouseClick(rig.ui().cmdAll1, Qt::LeftButton);
    QTest::mouseClick(rig.ui().cmdAll0, Qt::LeftButton);
    QCOMPARE(rig.fake->written, (QList<QByteArray>{"OAH\r", "OAL\r"}));
    for (int n = 1; n <= 4; ++n)
        QCOMPARE(rig.ui().cmdOut[n]->backColour(), Colours::OutputOff);
}

void TestLink::clickAfterSaveIsFatal()
{
    WindowRig rig;
    rig.answer = QMessageBox::Yes;
    rig.connect();
    QTest::mouseClick(rig.ui().cmdExit, Qt::LeftButton); // Save: the port closes
    QVERIFY(!rig.fake->PortOpen());
    QVERIFY(rig.ui().frmOuts->isEnabled());
    QElapsedTimer t;
    t.start();
    QTest::mouseClick(rig.ui().cmdOut[1], Qt::LeftButton); // returns after the fatal wait
    QVERIFY(t.elapsed() >= 140);
    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(rig.ends.first().second, VantreloWindow::fatalExitCode);
    QVERIFY(texts(rig.status).contains(QStringLiteral("COM Port communication error! Close App! 8018")));
    QCOMPARE(rig.asked, 0); // no exit question
}

void TestLink::nestedFatalEndsAfterLatest()
{
    WindowRig rig(LinkTimings{milliseconds(5000), milliseconds(5000), milliseconds(20), milliseconds(300)});
    rig.fake->failOutputWith = WriteFailed;
    rig.window->show();
    rig.window->Form_Load();
    rig.fake->setPortOpen(true);
    rig.window->HandleReply(QStringLiteral("OK")); // the query fails: fatal, nested wait below
    QCOMPARE(rig.ends.size(), 1);
    const StatusEvent first = *std::find_if(rig.status.begin(), rig.status.end(), [](const StatusEvent &e) {
        return e.text.startsWith(u"COM Port communication error!");
    });
    QCOMPARE(first.text, QStringLiteral("COM Port communication error! Close App! 8021"));
    Q_UNUSED(first);

    // Again, with a second failing click 150 ms into the wait.
    WindowRig rig2(LinkTimings{milliseconds(5000), milliseconds(5000), milliseconds(20), milliseconds(300)});
    rig2.fake->failOutputWith = WriteFailed;
    rig2.window->show();
    rig2.window->Form_Load();
    rig2.fake->setPortOpen(true);
    QTimer::singleShot(150, rig2.window.get(), [&] { rig2.window->cmdAll1_Click(); });
    const qint64 start = rig2.clock.elapsed();
    rig2.window->cmdAll0_Click();
    QCOMPARE(rig2.ends.size(), 1);
    QVERIFY2(rig2.ends.first().first - start >= 450, qPrintable(QString::number(rig2.ends.first().first - start)));
}

void TestLink::fatalWaitLetsEventsRun()
{
    WindowRig rig(LinkTimings{milliseconds(100), milliseconds(5000), milliseconds(20), milliseconds(350)});
    rig.fake->failOutputWith = WriteFailed;
    rig.window->show();
    rig.window->Form_Load();
    rig.fake->failOpenWith = InvalidPortNumber;
    const double cpuBefore = TestSupport::cpuSeconds();
    rig.window->cmdAll1_Click();
    const double cpu = TestSupport::cpuSeconds() - cpuBefore;
    // Ticks ran inside the wait and replaced the message, as they may.
    QCOMPARE(rig.statusText(), QStringLiteral("Invalid Port Number!"));
    QCOMPARE(rig.ends.size(), 1);
    QVERIFY2(cpu < 0.2, qPrintable(QString::number(cpu))); // it slept, it did not spin
}

void TestLink::exitDuringQueryWaitSendsNothing()
{
    WindowRig rig(LinkTimings{milliseconds(200), milliseconds(500), milliseconds(300), milliseconds(150)});
    rig.answer = QMessageBox::Yes;
    rig.window->show();
    rig.startAndFirstAttempt();
    bool closed = false;
    rig.duringQueryWait([&] { closed = rig.window->close(); });
    rig.fake->receive("OK\r");
    QTRY_VERIFY(closed);
    QTest::qWait(400);
    QVERIFY(!rig.fake->PortOpen());
    QVERIFY(!rig.fake->written.contains("OA\r"));
    QVERIFY(rig.ends.isEmpty()); // a closed port after Yes is no port failure
}

namespace {
// The tooltip as it shows when the mouse rests on the control.
QString toolTipOf(const QWidget *w)
{
    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), QPoint(2, 2));
    QApplication::sendEvent(const_cast<QWidget *>(w), &help);
    return w->toolTip();
}
} // namespace

void TestLink::statusToolTipExplainsFailures_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QStringList>("mentions");
    QTest::newRow("permission") << PermissionDenied << QStringList{"dialout", "usermod", "COM1 -> /dev/fake0"};
    QTest::newRow("busy") << PortAlreadyOpen << QStringList{"held by another program", "refused"};
    QTest::newRow("no such device") << InvalidPortNumber << QStringList{"No such device", "Ports present:",
                                                                         "COM4 = /dev/ttyUSB0"};
    QTest::newRow("other") << OpenFailed << QStringList{"COM1: refused"};
}

void TestLink::statusToolTipExplainsFailures()
{
    QFETCH(int, number);
    QFETCH(QStringList, mentions);
    WindowRig rig;
    rig.fake->failOpenWith = number;
    rig.fake->ports = QStringList{"COM4 = /dev/ttyUSB0"};
    rig.window->Form_Load();
    QCOMPARE(toolTipOf(rig.ui().lblStatus), plainToolTip(QStringLiteral("COM1 -> /dev/fake0")));
    QTRY_COMPARE_WITH_TIMEOUT(rig.statusColour(), Colours::StatusFailure, 2000);
    const QString tip = toolTipOf(rig.ui().lblStatus);
    for (const QString &m : mentions)
        QVERIFY2(tip.contains(m.toHtmlEscaped()), qPrintable(tip));
    // Once the port opens, the tooltip says only where the port leads.
    rig.fake->failOpenWith = 0;
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->opens, 1, 2000);
    QCOMPARE(toolTipOf(rig.ui().lblStatus), plainToolTip(QStringLiteral("COM1 -> /dev/fake0")));
    rig.fake->loseDevice();
    QTRY_VERIFY(toolTipOf(rig.ui().lblStatus).contains("The device went away"));
}

void TestLink::toolTipsEscapeHostileNames()
{
    WindowRig rig;
    rig.fake->portDescription = "COM1 -> /dev/<img src=x>";
    rig.fake->ports = QStringList{"COM1 = /dev/<b>bold</b>"};
    rig.fake->failOpenWith = InvalidPortNumber;
    rig.window->Form_Load();
    QTRY_COMPARE_WITH_TIMEOUT(rig.statusText(), QStringLiteral("Invalid Port Number!"), 2000);
    const QString tip = toolTipOf(rig.ui().lblStatus);
    QVERIFY(tip.contains("&lt;img src=x&gt;") && !tip.contains("<img"));
    QVERIFY(tip.contains("&lt;b&gt;bold&lt;/b&gt;") && !tip.contains("<b>"));
    QVERIFY(Qt::mightBeRichText(tip)); // shown as the escaped text, not guessed

    // The COM box lists the ports present when its tooltip shows.
    QCOMPARE(toolTipOf(rig.ui().txtCom), plainToolTip("Ports present:\nCOM1 = /dev/<b>bold</b>"));
    rig.fake->ports.clear();
    QVERIFY(toolTipOf(rig.ui().txtCom).contains("No serial ports are present"));
}

QTEST_MAIN(TestLink)
#include "tst_link.moc"
