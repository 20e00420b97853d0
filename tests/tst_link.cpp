// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The controller link on the fake port, at a small time scale: frames, line assembly, the
// search and its rhythm, reply handling, the state query, the output commands, the fatal path.

#include "FakeSerialPort.h"

#include "common/Monotonic.h"
#include "link/ControllerLink.h"
#include "link/LineAssembler.h"

#include <QSignalSpy>
#include <QTest>

using namespace PortErrors;
using Status = ControllerLink::Status;
using Bytes = QList<QByteArray>;

namespace {

struct Rig
{
    explicit Rig(double scale = 0.1, const QString &id = {}, const QString &baud = QString("9600"))
        : link(&port, LinkTimings{}.scaled(scale))
    {
        clock.start();
        QObject::connect(
            &link, &ControllerLink::statusChanged,
            [this](Status, const QString &text) { shown << std::pair(clock.elapsed(), text); });
        QObject::connect(&link, &ControllerLink::fatalEnd, [this] { ends << clock.elapsed(); });
        link.start({3, baud, id});
    }
    // Whether the handshake went out, was answered and the state query followed.
    [[nodiscard]] bool answerHandshake()
    {
        if (!QTest::qWaitFor([&] { return !port.written.isEmpty(); }))
            return false;
        port.receive(link.settings().deviceId.toLatin1() + "OK\r");
        return QTest::qWaitFor([&] { return port.written.size() == 2; }); // the state query
    }
    QList<qint64> timesOf(QStringView text) const
    {
        QList<qint64> times;
        for (const auto &[at, shownText] : shown)
            if (shownText.startsWith(text))
                times << at;
        return times;
    }
    FakeSerialPort port;
    ControllerLink link;
    QElapsedTimer clock;
    QList<std::pair<qint64, QString>> shown;
    QList<qint64> ends;
};

} // namespace

class TestLink : public QObject
{
    Q_OBJECT
private slots:
    void searching()
    {
        Rig rig(0.1, QString("7"), QString("19200"));
        QCOMPARE(std::pair(rig.link.status(), rig.link.statusText()),
                 std::pair(Status::Searching, QString("Status:")));
        QVERIFY(!rig.port.isOpen() && rig.port.written.isEmpty()); // one interval before the first
        QTRY_COMPARE(rig.port.written, Bytes{"7AT\r"});
        QCOMPARE(rig.port.opened, (QList<std::pair<int, LineSettings>>{{3, {19200}}}));
        QCOMPARE(rig.link.statusText(), QString("Searching for Vantrelo uC code..."));
        QVERIFY(rig.link.status() == Status::Searching && rig.link.isAwaitingReply());
        QTRY_COMPARE(rig.port.written, (Bytes{"7AT\r", "7AT\r", "7AT\r"})); // the port stays open
        QCOMPARE(rig.port.opened.size(), 1);
        rig.link.start({1, QString("9600"), QString("\u00e9\u20ac")}); // byte for byte
        QTRY_COMPARE(rig.port.written.last(), QByteArray("\xe9?AT\r"));
    }

    void searchRhythm()
    {
        // Attempts at 2, 4, 6 s; the first attempt's time-out runs out at 7 s, unpostponed by
        // the attempts after it; the attempt at 8 s arms it again: "No response!" at 13 s.
        Rig rig; // 1:10
        QTRY_VERIFY_WITH_TIMEOUT(rig.timesOf(u"No response!").size() == 2, 3000);
        const QList<qint64> noAnswer = rig.timesOf(u"No response!"),
                            attempts = rig.timesOf(u"Searching");
        QCOMPARE(rig.link.status(), Status::Failed);
        const auto near = [](qint64 at, qint64 expected) { return qAbs(at - expected) < 80; };
        QVERIFY2(near(noAnswer[0], 700) && near(noAnswer[1], 1300),
                 qPrintable(QString::number(noAnswer[0])));
        QVERIFY2(near(attempts[0], 200) && near(attempts[3], 800),
                 qPrintable(QString::number(attempts[0])));
    }

    void attemptFailures_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("text");
        QTest::newRow("8002") << InvalidPortNumber << "Invalid Port Number!";
        QTest::newRow("8005") << PortAlreadyOpen << "Port already open!";
        QTest::newRow("8010") << PermissionDenied << "COM Port comm-error! 8010";
        QTest::newRow("380, a bit rate") << InvalidPropertyValue << "COM Port comm-error! 380";
    }
    void attemptFailures()
    {
        QFETCH(int, number);
        const bool atOpen = number != InvalidPropertyValue;
        Rig rig(0.05, {}, atOpen ? QString("9600") : QString("96O0"));
        rig.port.failOpenWith = atOpen ? number : 0;
        QTRY_VERIFY(rig.link.status() == Status::Failed);
        QTEST(rig.link.statusText(), "text");
        QCOMPARE(rig.link.portFailure().number, number);
        QVERIFY(rig.port.written.isEmpty() && rig.link.isSearching()); // the attempt ended there
        QCOMPARE(rig.link.isAwaitingReply(), atOpen); // armed before the port is opened
        if (!atOpen)
            return;
        rig.port.failOpenWith = 0; // the cause goes away: the next attempt opens and greets
        QTRY_COMPARE(rig.port.written, Bytes{"AT\r"});
        QCOMPARE(rig.link.portFailure().number, 0);
    }

    void replies_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("output"); // whose state the line reports, 0 for none
        QTest::addColumn<bool>("on");
        const QString p = QString("COM:3 Baud:9600 COM data: ");
        QTest::newRow("1O2H") << "1" << QByteArray("1O2H") << p + "1O2H" << 2 << true;
        QTest::newRow("1O4L") << "1" << QByteArray("1O4L") << p + "1O4L" << 4 << false;
        QTest::newRow("empty id O3H") << "" << QByteArray("O3H") << p + "O3H" << 3 << true;
        QTest::newRow("id 12") << "12" << QByteArray("12O1L") << p + "12O1L" << 1 << false;
        QTest::newRow("1O5H: no place") << "1" << QByteArray("1O5H") << "???" << 0 << false;
        QTest::newRow("1O16L: no place") << "1" << QByteArray("1O16L") << "???" << 0 << false;
        for (const char *line : {"1O17H", "1O0H", "1o2h", "1O02H", "1O2H ", " 1O2H", "2O2H", "O2H",
                                 "1OAH", "1OK ", "OK", "12O1H"})
            QTest::newRow(line) << "1" << QByteArray(line) << p + QString::fromLatin1(line) << 0
                                << false;
        QTest::newRow("controls, NUL, high bytes")
            << "1" << QByteArray(" \t\0\xe9\xff", 5) << p + QStringLiteral(" \t\u0000\u00e9\u00ff")
            << 0 << false;
        QTest::newRow("id a, AO1H: case counts")
            << "a" << QByteArray("AO1H") << p + "AO1H" << 0 << false;
        QTest::newRow("LF inside: 1O LF 2H")
            << "1" << QByteArray("1O\n2H") << p + "1O2H" << 2 << true;
        QTest::newRow("id beyond latin-1")
            << QString("\u20ac") << QByteArray("?O1H") << p + "?O1H" << 0 << false;
    }
    void replies()
    {
        QFETCH(QString, id);
        QFETCH(QByteArray, line);
        QFETCH(int, output);
        QFETCH(bool, on);
        Rig rig(0.02, id); // attempts every 40 ms
        QTRY_VERIFY(rig.link.isAwaitingReply());
        QSignalSpy reported(&rig.link, &ControllerLink::outputReported);
        rig.port.receive(QByteArray(5000, 'x') + "\r\r\n"); // an over-long run is dropped
        QCOMPARE(rig.link.status(), Status::Searching);
        rig.port.receive(line.left(1)); // lines come in pieces, LFs anywhere
        rig.port.receive(line.mid(1) + "\n\r\n");
        QTEST(rig.link.statusText(), "text");
        QCOMPARE(rig.link.status(), Status::Reply);
        QVERIFY(!rig.link.isAwaitingReply() && rig.link.isSearching()); // any line is an answer
        QCOMPARE(reported.size(), output ? 1 : 0);
        QTRY_VERIFY(rig.link.isAwaitingReply()); // the next attempt arms the time-out again
        for (int n = 1; n <= ControllerLink::outputCount; ++n)
            QCOMPARE(rig.link.outputState(n), n == output ? std::optional<bool>(on) : std::nullopt);
    }

    void handshakeWriteFails()
    {
        Rig rig(0.05);
        rig.port.failWriteWith = WriteFailed;
        QTRY_VERIFY(rig.link.status() == Status::Failed);
        QCOMPARE(rig.link.statusText(), QString("COM Port comm-error! %1").arg(WriteFailed));
        QCOMPARE(rig.link.portFailure().number, int(WriteFailed)); // for the tooltip
    }

    void lineBound_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("at the bound") << int(LineAssembler::defaultMaxLine);
        QTest::newRow("one past") << int(LineAssembler::defaultMaxLine + 1);
    }
    void lineBound()
    {
        QFETCH(int, length);
        Rig rig(0.05);
        QTRY_VERIFY(rig.link.isAwaitingReply());
        rig.port.receive(QByteArray(length, 'x') + '\r');
        const bool kept = length <= LineAssembler::defaultMaxLine;
        QCOMPARE(rig.link.status(), kept ? Status::Reply : Status::Searching);
        if (kept)
            QVERIFY(rig.link.statusText().endsWith(QString(length, u'x')));
        rig.port.receive("O1H\r"); // the next line is whole either way
        QCOMPARE(rig.link.outputState(1), std::optional<bool>(true));
    }

    void bytesBeforeALinkStartPrefixTheNextLine()
    {
        Rig rig(0.05, QString("1"));
        rig.port.receive("1O");
        rig.link.start({3, QString("9600"), QString("1")});
        QTRY_VERIFY(rig.port.isOpen());
        rig.port.receive("2H\r");
        QCOMPARE(rig.link.outputState(2), std::optional<bool>(true));
    }

    void handshakeAndStateQuery()
    {
        Rig rig(0.1, QString("1"));
        QTRY_COMPARE(rig.port.written.size(), 1);
        QSignalSpy connected(&rig.link, &ControllerLink::connected);
        rig.port.receive("1O3H\r1OK\r"); // two lines in one burst
        const qint64 answered = rig.clock.elapsed();
        QCOMPARE(connected.size(), 1);
        QCOMPARE(rig.link.status(), Status::Connected);
        QCOMPARE(rig.link.statusText(), QString("COM:3 Baud:9600 COM data: 1OK"));
        QVERIFY(!rig.link.isSearching() && rig.link.isAwaitingReply()); // armed before the delay
        QCOMPARE(rig.port.written.size(), 1);
        QTRY_COMPARE(rig.port.written, (Bytes{"1AT\r", "1OA\r"}));
        QVERIFY2(rig.clock.elapsed() - answered > 20, "the query waits more than its delay");
        // Unanswered: "No response!", but no more handshakes.
        QTRY_COMPARE_WITH_TIMEOUT(rig.link.statusText(), QString("No response!"), 1000);
        QTest::qWait(250);
        QCOMPARE(rig.port.written.size(), 2);
        rig.port.receive("1OK\r"); // a late answer runs it all again, keeping the states
        QTRY_COMPARE(rig.port.written.size(), 3);
        QCOMPARE(connected.size(), 2);
        QCOMPARE(rig.link.outputState(3), std::optional<bool>(true));
    }

    void duringTheQueryDelay()
    {
        // Lines are handled at once and disarm the time-out; clicks go out before the query.
        Rig rig(0.5);
        QTRY_COMPARE_WITH_TIMEOUT(rig.port.written.size(), 1, 2000);
        rig.port.receive("OK\rO2");
        rig.port.receive("H\r");
        QVERIFY(rig.link.outputState(2) == true && !rig.link.isAwaitingReply());
        rig.link.toggleOutput(4);
        rig.link.switchAllOutputs(false);
        QTest::qWait(50); // of 100
        QCOMPARE(rig.port.written, (Bytes{"AT\r", "O4H\r", "OAL\r"}));
        QTRY_COMPARE(rig.port.written, (Bytes{"AT\r", "O4H\r", "OAL\r", "OA\r"}));
        QVERIFY(!rig.link.isAwaitingReply()); // no false "No response!" for a line already in
        rig.port.receive("OK\rOK\r");         // two answers within the delay: two queries
        QTRY_COMPARE(rig.port.written.size(), 6);
        QCOMPARE(rig.port.written.mid(4), (Bytes{"OA\r", "OA\r"}));
    }

    void commands_data()
    {
        QTest::addColumn<QByteArray>("report"); // what the controller said of output 3 before
        QTest::addColumn<QByteArray>("frame");  // sent by each of two clicks on output 3
        QTest::newRow("not reported") << QByteArray() << QByteArray("7O3H\r");
        QTest::newRow("reported off") << QByteArray("7O3L\r") << QByteArray("7O3H\r");
        QTest::newRow("reported on") << QByteArray("7O3H\r") << QByteArray("7O3L\r");
    }
    void commands()
    {
        QFETCH(QByteArray, report);
        QFETCH(QByteArray, frame);
        Rig rig(0.05, QString("7"));
        QVERIFY(rig.answerHandshake());
        rig.port.receive(report + "x\r"); // answers the query: no time-out runs
        const auto before = rig.link.outputState(3);
        QTRY_COMPARE(rig.link.isAnswerAwaited(), false); // the query's answer is in
        rig.port.written.clear();
        rig.link.toggleOutput(3);
        QCOMPARE(rig.port.written, Bytes{frame}); // at once, with nothing in flight
        rig.link.toggleOutput(3);                 // no echo yet: the same frame again
        rig.link.switchAllOutputs(true);
        rig.link.switchAllOutputs(false);
        rig.link.pulseOutput(2, 86400000); // a day, kept by the board
        rig.link.setOutput(0, true);       // no such outputs, no such time: nothing is sent
        rig.link.setOutput(ControllerLink::outputCount + 1, true);
        rig.link.pulseOutput(0, 500);
        rig.link.pulseOutput(2, 0);
        rig.link.pulseOutput(2, 86400001);
        QTRY_COMPARE(rig.port.written, (Bytes{frame, frame, "7OAH\r", "7OAL\r", "7O2P86400000\r"}));
        QCOMPARE(rig.link.outputState(3), before); // until the controller reports
        QVERIFY(!rig.link.isAwaitingReply());      // commands arm no time-out
    }

    // One command in flight: the next goes when the board answers it; from a board that has
    // not echoed, once the wire time of the command and its answer has passed; from one that
    // echoes, its echo, for the reply time-out at most. A waiting command whose deadline passes
    // is dropped unwritten, and so is every waiting command when the device is lost.
    void pacing()
    {
        Rig rig(0.05); // the reply time-out 250 ms, no margin beyond the wire time
        QVERIFY(rig.answerHandshake());
        rig.port.receive("O1L\rO2L\rO3L\rO4L\r"); // the query's answer: four outputs
        QTRY_VERIFY(!rig.link.isAnswerAwaited());
        rig.port.written.clear();
        QElapsedTimer took;
        rig.link.setOutput(1, true);
        QCOMPARE(rig.port.written, Bytes{"O1H\r"}); // at once
        took.start();
        rig.link.setOutput(2, true);
        QCOMPARE(rig.link.waitingCommands(), 1);
        QTRY_COMPARE(rig.port.written.size(), 2); // no echo: the wire time of O1H CR and O1H CR
        QVERIFY2(took.elapsed() >= 9 && took.elapsed() < 100,
                 qPrintable(QString::number(took.elapsed())));
        QTRY_VERIFY(!rig.link.isAnswerAwaited());
        rig.link.setOutput(3, true);
        rig.port.receive("O3H\r"); // an echo: from now on the board is waited for
        rig.link.setOutput(4, true);
        rig.link.setOutput(1, false);
        QTest::qWait(60);
        QCOMPARE(rig.port.written.last(), QByteArray("O4H\r"));
        rig.port.receive("O4H\r");
        QCOMPARE(rig.port.written.last(), QByteArray("O1L\r")); // as the echo comes
        took.restart();
        rig.link.switchAllOutputs(false); // O1L is never echoed: the reply time-out
        QTest::qWait(150);
        QCOMPARE(rig.port.written.last(), QByteArray("O1L\r"));
        QTRY_COMPARE(rig.port.written.last(), QByteArray("OAL\r"));
        QVERIFY2(took.elapsed() >= 240, qPrintable(QString::number(took.elapsed())));
        rig.port.receive("O1L\rO2L\rO3L\r"); // all off: every output's report is awaited
        QList<CommandOutcome::Result> told;
        const auto record = [&](const CommandOutcome &o) { told << o.result; };
        rig.link.setOutput(1, true, {Monotonic::nowUsec() + 50'000, record});
        QTRY_COMPARE(told, QList{CommandOutcome::Expired});
        QCOMPARE(rig.link.waitingCommands(), 0);
        rig.port.receive("O4L\r");
        QVERIFY(!rig.link.isAnswerAwaited());
        rig.link.setOutput(2, false, {{}, record});
        rig.link.setOutput(3, false, {{}, record});
        rig.port.loseDevice();
        QCOMPARE(told, (QList{CommandOutcome::Expired, CommandOutcome::Written,
                              CommandOutcome::Dropped}));
        QCOMPARE(rig.port.written.mid(rig.port.written.indexOf("OAL\r")),
                 (Bytes{"OAL\r", "O2L\r"})); // the expired one never went
    }

    void fatalPath()
    {
        Rig rig; // the program ends 300 ms after the latest failure
        QVERIFY(rig.answerHandshake());
        rig.link.start(rig.link.settings()); // a save: the port is closed until the next attempt
        rig.link.toggleOutput(1);
        QCOMPARE(rig.link.statusText(), QString("COM Port communication error! Close App! 8018"));
        QVERIFY(rig.link.status() == Status::Searching && rig.link.hasFailed()); // the colour stays
        const qint64 failed = rig.clock.elapsed();
        QTRY_VERIFY(rig.port.isOpen());
        rig.port.failWriteWith = WriteFailed; // a second failure restarts the delay
        rig.link.switchAllOutputs(true);
        QCOMPARE(rig.link.statusText(), QString("COM Port communication error! Close App! 8021"));
        const qint64 second = rig.clock.elapsed();
        rig.port.receive("junk\r"); // lines still arrive during the delay
        QCOMPARE(rig.link.statusText(), QString("COM:3 Baud:9600 COM data: junk"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.ends.size(), 1, 2000);
        QVERIFY2(rig.ends[0] - second >= 300 && rig.ends[0] - failed < 700,
                 qPrintable(QString::number(rig.ends[0])));
        QVERIFY(!rig.port.isOpen() && !rig.link.isSearching());
        QTest::qWait(250);
        QCOMPARE(rig.ends.size(), 1);
    }

    void nothingGoesOutAfterTheQueryDelay_data()
    {
        QTest::addColumn<int>("cut"); // 0 stop (Exit), 1 a link start (Save), 2 the device lost
        QTest::newRow("stop") << 0;
        QTest::newRow("link start") << 1;
        QTest::newRow("device lost") << 2;
    }
    void nothingGoesOutAfterTheQueryDelay()
    {
        // A query still due when its port closes would fail on it, and the program would end.
        QFETCH(int, cut);
        Rig rig(0.25); // retries every 500 ms, the query 50 ms after the answer
        QTRY_COMPARE_WITH_TIMEOUT(rig.port.written.size(), 1, 2000);
        rig.port.receive("OK\r");
        if (cut == 0)
            rig.link.stop();
        else if (cut == 1)
            rig.link.start(rig.link.settings());
        else
            rig.port.loseDevice();
        QTest::qWait(250);
        QCOMPARE(rig.port.written.size(), 1);
        QVERIFY(!rig.port.isOpen() && !rig.link.hasFailed() && !rig.link.isConnected());
    }

    void lostDevice_data()
    {
        QTest::addColumn<bool>("unattended"); // a command that cannot be written ends the link
        QTest::newRow("device lost") << false;
        QTest::newRow("unattended, a command fails") << true;
    }
    void lostDevice()
    {
        QFETCH(bool, unattended);
        Rig rig(0.05); // retries every 100 ms
        QTRY_COMPARE(rig.port.opened.size(), 1);
        rig.port.receive("x");
        rig.port.loseDevice(); // while searching: the next attempt opens the port again
        QCOMPARE(rig.link.portFailure().number, ReadFailed);
        QCOMPARE(rig.link.status(), Status::Searching);
        QTRY_COMPARE(rig.port.opened.size(), 2);
        QCOMPARE(rig.link.portFailure().number, 0);
        QVERIFY(rig.answerHandshake());
        rig.port.receive("O2H\rO1"); // a line cut short by the loss: not glued to the next one
        QSignalSpy connectedChanges(&rig.link, &ControllerLink::connectedChanged);
        QSignalSpy lostSpy(&rig.link, &ControllerLink::connectionLost);
        rig.port.written.clear();
        const qint64 lost = rig.clock.elapsed();
        rig.link.setUnattended(unattended);
        if (unattended) {
            QTRY_VERIFY(!rig.link.isAnswerAwaited()); // the query's answer: nothing in flight
            rig.port.failWriteWith = WriteFailed;
            CommandOutcome outcome;
            rig.link.toggleOutput(1, {{}, [&](const CommandOutcome &o) { outcome = o; }});
            QCOMPARE(std::pair(outcome.result, outcome.error.number),
                     std::pair(CommandOutcome::Failed, int(WriteFailed)));
            rig.port.failWriteWith = 0;
        } else {
            rig.port.loseDevice(); // while connected: shown at once, then searched for again
        }
        const int number = unattended ? WriteFailed : ReadFailed;
        QCOMPARE(std::pair(rig.link.status(), rig.link.statusText()),
                 std::pair(Status::Failed, QString("COM Port comm-error! %1").arg(number)));
        QCOMPARE(rig.link.portFailure().number, number);
        QVERIFY(!rig.port.isOpen() && !rig.link.isConnected() && rig.link.isSearching());
        QVERIFY(!rig.link.hasFailed());
        QCOMPARE(connectedChanges.size(), 1);
        QCOMPARE(lostSpy.size(), 1);
        QTRY_COMPARE(rig.port.written, Bytes{"AT\r"});
        const QList<qint64> attempts = rig.timesOf(u"Searching");
        QVERIFY2(attempts.last() - lost >= 90, qPrintable(QString::number(attempts.last() - lost)));
        QCOMPARE(rig.port.opened.size(), 3);
        QCOMPARE(rig.link.outputState(2), std::optional<bool>(true)); // until the board reports
        rig.port.receive("OK\r"); // back: connected again, and the states are queried
        QVERIFY(rig.link.isConnected() && !rig.link.isSearching());
        QTRY_COMPARE(rig.port.written, (Bytes{"AT\r", "OA\r"}));
        QCOMPARE(connectedChanges.size(), 2);
        rig.port.written.clear();
        rig.link.start({3, QString("9600"), {}});                         // a Save while connected
        QCOMPARE(rig.port.written, unattended ? Bytes{"AT\r"} : Bytes{}); // unattended: at once
        QTest::qWait(100);
        QVERIFY(rig.ends.isEmpty() && lostSpy.size() == 1);
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
