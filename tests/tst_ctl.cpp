// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelo-ctl against the real program: two copies on simulator ptys, a private session bus.

#include "FakeCopy.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

namespace {

using Result = TestSupport::Run;
using Copy = TestSupport::ProgramCopy;

} // namespace

class TestCtl : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(!m_bus.address().isEmpty(), "dbus-daemon did not start");
        m_one = std::make_unique<Copy>("board.1", m_bus.environment());
        m_two = std::make_unique<Copy>("board.2", m_bus.environment(), QStringList{"--no-echo"});
        QVERIFY(m_one->started && m_two->started);
        QTRY_VERIFY_WITH_TIMEOUT(m_one->connected() && m_two->connected(), 10000);
        m_taken = std::make_unique<Copy>("board.1", m_bus.environment()); // another folder
        QVERIFY(m_taken->started);
        QTRY_VERIFY_WITH_TIMEOUT(m_taken->connected(), 10000); // runs on without the interface
    }

    // A copy whose name is taken, or too long for the bus, runs on without the interface.
    void takenName()
    {
        QVERIFY(m_taken->program.state() == QProcess::Running);
        const QString err = QString::fromLocal8Bit(m_taken->program.readAllStandardError());
        QVERIFY2(err.contains("no remote control for board.1: the bus name "
                              "org.vantrelo.Board.board_2e1 is held by another copy"),
                 qPrintable(err));
        Copy accented(QString(40, u'\u00e9'), m_bus.environment());
        QVERIFY(accented.started);
        QTRY_VERIFY_WITH_TIMEOUT(accented.connected(), 10000);
        QVERIFY(QString::fromLocal8Bit(accented.program.readAllStandardError())
                    .contains(": the name is too long for the bus: its bus name would have 259"));
    }

    void listAndPick()
    {
        QCOMPARE(ctl({"list"}).out, QString("board.1 connected COM1\nboard.2 connected COM1\n"));
        const Result several = ctl({"state"});
        QCOMPARE(several.status, 3);
        QVERIFY2(several.err.contains("board.1, board.2"), qPrintable(several.err));
        QCOMPARE(ctl({"-b", "board.3", "state"}).status, 3);
        const QJsonArray all =
            QJsonDocument::fromJson(ctl({"--json", "list"}).out.toUtf8()).array();
        QCOMPARE(all.size(), 2);
        QCOMPARE(all[1].toObject()["outputs"].toArray()[3].toObject()["name"].toString(),
                 QString("Heat"));
    }

    void switchConfirmed()
    {
        m_one->sim.log();
        QCOMPARE(ctl({"-b", "board.1", "on", "1", "Fan"}).status, 0); // by number and by name
        QCOMPARE(ctl({"-b", "board.1", "toggle", "Light"}).status, 0);
        QCOMPARE(ctl({"-b", "board.1", "state"}).out,
                 QString("1 Pump on\n2 Fan on\n3 Light on\n4 Heat off\n"));
        QCOMPARE(ctl({"--board", "board.1", "off", "all"}).status, 0);
        const QJsonObject state =
            QJsonDocument::fromJson(ctl({"-b", "board.1", "--json", "state"}).out.toUtf8())
                .object();
        for (const QJsonValue output : state["outputs"].toArray())
            QCOMPARE(output.toObject()["state"].toString(), QString("off"));
        QTRY_COMPARE(m_one->sim.received().mid(m_one->sim.received().indexOf("O1H<CR>")),
                     (QStringList{"O1H<CR>", "O2H<CR>", "O3H<CR>", "OAL<CR>"}));
    }

    void refusedAndUnconfirmed()
    {
        const qsizetype before = m_two->sim.received().size();
        for (const char *line : {"on 5", "on Nope", "toggle pump", "on 1 "}) {
            const Result refused = ctl((QString("-b board.2 ") + line).split(u' '));
            QCOMPARE(refused.status, 2);
            QVERIFY(refused.err.contains("has no output") && refused.out.isEmpty());
        }
        QCOMPARE(m_two->sim.received().size(), before); // nothing written
        QElapsedTimer took;
        took.start();
        const Result silent = ctl({"-b", "board.2", "--timeout", "300", "on", "1", "Heat"});
        QVERIFY2(took.elapsed() < 1500, "the wait takes the time-out given");
        QCOMPARE(silent.status, 1);
        QVERIFY2(silent.err.contains("did not confirm output 1 (Pump), 4 (Heat) within 300 ms"),
                 qPrintable(silent.err));
        QTRY_COMPARE(m_two->sim.received().mid(before), (QStringList{"O1H<CR>", "O4H<CR>"}));
        // A copy that answers no call: the time-out bounds the calls too.
        QVERIFY(TestSupport::signal(m_two->program, SIGSTOP));
        took.restart();
        const Result stalled = ctl({"-b", "board.2", "--timeout", "300", "state"});
        QVERIFY(TestSupport::signal(m_two->program, SIGCONT));
        QVERIFY2(stalled.status == 1 && took.elapsed() < 1500, qPrintable(stalled.err));
        // A copy that answers no call is listed as such, and the others with it.
        QVERIFY(TestSupport::signal(m_two->program, SIGSTOP));
        const Result listed = ctl({"--timeout", "300", "list"});
        QVERIFY(TestSupport::signal(m_two->program, SIGCONT));
        QCOMPARE(listed.status, 1);
        QCOMPARE(listed.out, QString("board.1 connected COM1\nboard.2 not answering\n"));
        for (const QString &line :
             QStringList{"frobnicate", "on", "toggle 1 2", "--timeout soon on 1",
                         "--timeout -5 on 1", "--timeout 0 on 1", "--timeout +100 on 1",
                         "--nope list", "pulse 1", "pulse 1 0ms", "pulse 1 1.5s", "pulse 1 1441min",
                         "pulse 1 700ms\n", "-b  state", "-b " + QString(300, u'x') + " state"})
            QVERIFY2(ctl(line.split(u' ')).status == 2, qPrintable(line));
        for (const char *word : {" 1", "+1", "01", "1\n", "5"})
            QVERIFY2(ctl({"-b", "board.1", "on", word}).status == 2, word);
    }

    // A copy in this process on the fake port, without output names, whose relay stays off
    // when switched on: no confirmation for "on"; for "toggle", the state the board reports
    // after it, whichever way the copy switched.
    void contraryReport_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("status");
        QTest::newRow("on") << "on" << 1;
        QTest::newRow("toggle") << "toggle" << 0;
    }
    void contraryReport()
    {
        QFETCH(QString, command);
        FakeCopy copy(m_bus.address(), QString("stuck"));
        QVERIFY(copy.registration.isEmpty());
        QVERIFY(ctl({"list"}).out.contains("stuck searching COM1\n"));
        QVERIFY(copy.connect());
        copy.port.receive("O1L\r");
        QCOMPARE(ctl({"-b", "stuck", "state"}).out.split(u'\n').first(), QString("1 off"));
        QCOMPARE(ctl({"-b", "stuck", "on", ""}).status, 2); // no output has an empty name
        QProcess ctl;
        ctl.setProcessEnvironment(m_bus.environment());
        ctl.start(QString(VANTRELO_CTL), {"-b", "stuck", "--timeout", "300", command, "1"});
        QTRY_VERIFY(copy.port.written.contains("O1H\r"));
        copy.port.receive("O1L\r");
        QTRY_COMPARE(ctl.state(), QProcess::NotRunning);
        QTEST(ctl.exitCode(), "status");
        QVERIFY(copy.port.written.count("O1H\r") == 1);
    }

    // Its time-out is the deadline it sends: a command still waiting behind an unanswered one
    // when it passes is never written.
    void timeoutIsTheDeadline()
    {
        FakeCopy copy(m_bus.address(), QString("slow"));
        copy.link.start({1, QString("300"), {}}); // a slow line: a command is awaited 250 ms
        QVERIFY(copy.connect());
        const Result late = ctl({"-b", "slow", "--timeout", "200", "on", "1", "2"});
        QCOMPARE(late.status, 1);
        // The copy says so 50 ms before the call times out; a machine slower than that (an
        // emulated one) lets the time-out speak first. Either way the command never went.
        QVERIFY2(late.err.contains("org.vantrelo.Board1.Error.DeadlinePassed") ||
                     late.err.contains("org.freedesktop.DBus.Error.NoReply"),
                 qPrintable(late.err));
        QTest::qWait(300);
        QCOMPARE(copy.port.written.mid(copy.port.written.indexOf("OA\r")),
                 (QList<QByteArray>{"OA\r", "O1H\r"}));
    }

    // On a copy in this process: the frame, the board's reports that end the command, and the
    // hint given when they do not. Output words: a name first, then a plain number.
    void confirmations_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("reports");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("hint");
        const auto row = [](const char *tag, const QStringList &args, const char *reports,
                            int status, const char *frame, const char *hint = "") {
            QTest::newRow(tag) << args << QByteArray(reports) << status << QByteArray(frame)
                               << QString(hint);
        };
        const char *ignored = "a board flashed before it kept time itself ignores pulses";
        row("pulse, on reported", {"pulse", "1", "500ms"}, "O1H\r", 0, "O1P500\r");
        row("--wait, off reported", {"--wait", "pulse", "2", "2s"}, "O2H\rO2L\r", 0, "O2P2000\r");
        row("--wait, no off", {"--wait", "--timeout", "100", "pulse", "2", "200ms"}, "O2H\r", 1,
            "O2P200\r");
        row("a board that ignores pulses", {"--timeout", "200", "pulse", "1", "5min"}, "", 1,
            "O1P300000\r", ignored);
        row("a name before a number", {"on", "01"}, "O3H\r", 0, "O3H\r");
        row("all on, interlocked", {"--timeout", "300", "on", "all"}, "O1L\rO2L\rO3H\rO4H\r", 1,
            "OAH\r", "all on leaves the outputs of an interlock group off");
    }
    void confirmations()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, reports);
        QFETCH(QByteArray, frame);
        QFETCH(QString, hint);
        FakeCopy copy(m_bus.address(), QString("timed"));
        copy.service.setOutputNames({"A", "B", "01", "D"});
        QVERIFY(copy.connect());
        QProcess ctl;
        ctl.setProcessEnvironment(m_bus.environment());
        ctl.start(QString(VANTRELO_CTL), QStringList{"-b", "timed"} + args);
        QTRY_VERIFY(copy.port.written.contains(frame));
        copy.port.receive(reports);
        QTRY_COMPARE(ctl.state(), QProcess::NotRunning);
        QTEST(ctl.exitCode(), "status");
        const QString err = QString::fromLocal8Bit(ctl.readAllStandardError());
        QVERIFY2(hint.isEmpty() ? !err.contains("; ") : err.contains(hint), qPrintable(err));
    }

    // Nothing a board reports or a name holds reaches the terminal as a control character.
    void controlCharactersEscaped()
    {
        FakeCopy copy(m_bus.address(), QString("odd"));
        copy.service.setOutputNames({"\x1b[2J", "B", "C", "D"});
        QVERIFY(copy.connect());
        QCOMPARE(ctl({"-b", "odd", "state"}).out.split(u'\n').first(),
                 QString("1 \\x1b[2J unknown"));
        QProcess watcher;
        watcher.setProcessEnvironment(m_bus.environment());
        watcher.start(QString(VANTRELO_CTL), {"-b", "odd", "watch"});
        QVERIFY(watcher.waitForStarted());
        QTest::qWait(300); // subscribed
        copy.port.receive("\x1b]0;evil\x07\r");
        QByteArray seen;
        QTRY_VERIFY((seen += watcher.readAllStandardOutput()).contains("evil"));
        QVERIFY2(seen.contains("COM data: \\x1b]0;evil\\x07\n") && !seen.contains('\x1b'),
                 seen.constData());
    }

    void watch()
    {
        QProcess watcher;
        watcher.setProcessEnvironment(m_bus.environment());
        watcher.start(QString(VANTRELO_CTL), {"-b", "board.1", "watch"});
        QVERIFY(watcher.waitForStarted());
        QTest::qWait(300); // subscribed
        QCOMPARE(ctl({"-b", "board.1", "on", "4"}).status, 0);
        QByteArray seen;
        QTRY_VERIFY((seen += watcher.readAllStandardOutput()).contains("output 4 on\n"));
        QVERIFY(seen.contains("status COM:1 Baud:9600 COM data: O4H\n"));
        watcher.kill();
        watcher.waitForFinished();
    }

    void withoutBus()
    {
        QProcessEnvironment env = m_bus.environment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
        Copy lone("lone", env);
        QVERIFY(lone.started);
        QTRY_VERIFY_WITH_TIMEOUT(lone.connected(), 5000);                   // runs as it always did
        QVERIFY(!lone.program.readAllStandardError().contains("vantrelo")); // and no word of it
        QCOMPARE(TestSupport::run(QString(VANTRELO_CTL), {"list"}, env).status, 3);
    }

private:
    Result ctl(const QStringList &args)
    {
        return TestSupport::run(QString(VANTRELO_CTL), args, m_bus.environment());
    }

    TestSupport::PrivateBus m_bus;
    std::unique_ptr<Copy> m_one, m_two, m_taken;
};

QTEST_GUILESS_MAIN(TestCtl)
#include "tst_ctl.moc"
