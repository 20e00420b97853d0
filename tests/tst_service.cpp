// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelod end to end, as on a machine without a desktop (no display, no platform plugin): a
// private session bus, simulators on ptys linked as COM1 and COM2 in the service's own settings
// folder, vantrelo-ctl as the client. The link's rhythm is the real one.

#include "TestSupport.h"

#include "common/Monotonic.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <csignal>
#include <sys/stat.h>

namespace {

const QByteArray names = "\"Pump\",\"Fan\",\"Light\",\"Heat\"\r\n";

// A vantrelod process, its messages gathered as they come.
struct Service : TestSupport::Child
{
    Service(const QProcessEnvironment &env, const QStringList &args,
            const QString &program = QString(VANTRELOD))
    {
        setProcessEnvironment(env);
        start(program, args);
        waitForStarted();
    }
    QString messages() { return QString::fromLocal8Bit(log += readAllStandardError()); }
    // Whether a message holding the text has come, within the time.
    bool says(const QString &text, int count = 1, int timeoutMs = 8000)
    {
        return QTest::qWaitFor([&] { return messages().count(text) >= count; }, timeoutMs);
    }
    [[nodiscard]] bool signal(int number) { return TestSupport::signal(*this, number); }
    QByteArray log;
};

} // namespace

class TestService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(!m_bus.address().isEmpty(), "dbus-daemon did not start");
        m_env = m_bus.environment();
        m_env.insert("XDG_CONFIG_HOME", m_config.path());
        QVERIFY(QDir(m_config.path()).mkpath("vantrelo"));
        m_one = std::make_unique<TestSupport::Simulator>(m_folder, 1);
        m_two = std::make_unique<TestSupport::Simulator>(m_folder, 2);
        QVERIFY(m_one->start() && m_two->start());
        QVERIFY(TestSupport::writeFile(m_folder + "/pump.ini", "1,\"9600\",0,\"\"\r\n" + names));
        // As its unit runs it: nothing writable and executable at once.
        const auto [program, args] = TestSupport::withoutWriteExec(VANTRELOD, {"pump"});
        m_pump = std::make_unique<Service>(m_env, args, program);
    }

    void connectsAndIsDriven()
    {
        // It greets the board at once, not one retry interval (2 s) after its start.
        QVERIFY2(
            m_pump->says("vantrelod: pump: connected to the board on COM1 -> " + m_folder, 1, 1500),
            qPrintable(m_pump->messages()));
        QVERIFY(m_pump->messages().startsWith(
            "vantrelod: pump: started, on the session bus as org.vantrelo.Board.pump\n"
            "vantrelod: pump: settings " +
            m_folder + "/pump.ini: COM1, 9600 baud, identifier \"\"\n"));
        QCOMPARE(ctl({"list"}).out, QString("pump connected COM1\n"));
        QCOMPARE(ctl({"-b", "pump", "on", "1", "Fan"}).status, 0);
        QVERIFY(m_one->received().contains("O2H<CR>"));
    }

    // Without its own settings a service opens no port: it says which file and why, and ends
    // with EX_CONFIG. In the journal every line carries its priority; a JOURNAL_STREAM that names
    // another file than standard error (inherited into a terminal) gives none.
    void unusableSettingsAtStart_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file; "FIFO": a named pipe
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("journal");
        QTest::newRow("missing") << QByteArray() << "No such file or directory" << true;
        QTest::newRow("an extra comma")
            << "2,\"9600\",0,\"\",\r\n" + names << "line 1 holds 5 items" << true;
        QTest::newRow("port 0, another stream")
            << "0,\"9600\",0,\"\"\r\n" + names << "port number 0" << false;
        QTest::newRow("a FIFO") << QByteArray("FIFO") << "it is not a regular file" << true;
        QTest::newRow("ESC and NUL, escaped")
            << "1,\"9\x1b[2J" + QByteArray(1, '\0') + "\",0,\"\"\r\n" + names
            << "bit rate \"9\\x1b[2J\\x00\" is not digits" << false;
    }
    void unusableSettingsAtStart()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, journal);
        QTemporaryDir dir;
        TestSupport::Simulator board(dir.path(), 1); // COM1, the defaults' port
        QVERIFY(board.start());
        const QString file = dir.filePath("x.ini");
        if (content == "FIFO")
            QCOMPARE(::mkfifo(qPrintable(file), 0600), 0);
        else if (!content.isEmpty())
            QVERIFY(TestSupport::writeFile(file, content));
        QProcessEnvironment env = m_env;
        env.insert("SERVICE", VANTRELOD);
        env.insert("FILE", file);
        const auto run = TestSupport::run(
            "sh",
            {"-c", QString("JOURNAL_STREAM=$(stat -L -c %d:%i %1) exec \"$SERVICE\" --settings "
                           "\"$FILE\" x")
                       .arg(journal ? "/proc/self/fd/2" : "/dev/null")},
            env);
        QCOMPARE(run.status, 78);
        QFETCH(QString, reason);
        QCOMPARE(run.err, QString(journal ? "<3>" : "") + "vantrelod: x: settings " + file +
                              " not used (" + reason +
                              "): no port is opened. The file and its format are described in "
                              "vantrelod(1).\n");
        QTest::qWait(100);
        QCOMPARE(board.received(), QStringList());
    }

    // A refused file on SIGHUP leaves the settings in force: the board stays driven, and the
    // board on the port the file names sees nothing.
    void refusedReloadKeepsTheBoard()
    {
        QVERIFY(TestSupport::writeFile(m_folder + "/pump.ini", "2,\"9600\",0,\"\",\r\n" + names));
        QVERIFY(m_pump->signal(SIGHUP));
        QVERIFY2(m_pump->says("vantrelod: pump: settings " + m_folder +
                              "/pump.ini not used (line 1 holds 5 items); the settings in force "
                              "stay: COM1, 9600 baud, identifier \"\"\n"),
                 qPrintable(m_pump->messages()));
        QCOMPARE(ctl({"-b", "pump", "on", "2"}).status, 0);
        QVERIFY(m_one->received().contains("O2H<CR>"));
        QCOMPARE(m_two->received(), QStringList());
    }

    // Only names changed: the port stays open (opening it resets an Arduino).
    void reloadWithTheSamePortKeepsItOpen()
    {
        QVERIFY(TestSupport::writeFile(
            m_folder + "/pump.ini", "1,\"9600\",0,\"\"\r\n\"Pump\",\"Fan\",\"Lamp\",\"Heat\"\r\n"));
        const qsizetype before = m_one->received().size();
        QVERIFY(m_pump->signal(SIGHUP));
        QVERIFY(m_pump->says("the port, the bit rate and the identifier are unchanged; the port "
                             "stays open"));
        QVERIFY(ctl({"-b", "pump", "state"}).out.contains("3 Lamp"));
        QTest::qWait(300);
        QCOMPARE(m_one->received().mid(before), QStringList()); // not greeted anew
    }

    void reloadTakesTheNewPort()
    {
        QVERIFY(TestSupport::writeFile(m_folder + "/pump.ini", "2,\"9600\",0,\"\"\r\n" + names));
        QVERIFY(m_pump->signal(SIGHUP));
        QVERIFY(m_pump->says("vantrelod: pump: reading the settings again (SIGHUP)"));
        QVERIFY(m_pump->says("connected to the board on COM2 -> "));
        QTRY_VERIFY(m_two->received().contains("OA<CR>"));
        QCOMPARE(ctl({"-b", "pump", "on", "4"}).status, 0);
        QVERIFY(m_two->received().contains("O4H<CR>"));
    }

    // A call with a deadline that a stopped service could not meet is never carried out once
    // it goes on.
    void deadlineOfAStoppedService()
    {
        QVERIFY(m_pump->says("connected to the board"));
        QVERIFY(m_pump->signal(SIGSTOP));
        const qint64 deadline = Monotonic::nowUsec() + 200'000;
        const auto call = TestSupport::run("dbus-send",
                                           {"--session", "--print-reply", "--reply-timeout=300",
                                            "--dest=org.vantrelo.Board.pump", "/org/vantrelo/Board",
                                            "org.vantrelo.Board1.SetOutputBefore", "uint32:1",
                                            "boolean:true", QString("uint64:%1").arg(deadline)},
                                           m_env);
        QVERIFY(call.status != 0);
        QVERIFY(m_pump->signal(SIGCONT));
        QVERIFY(m_pump->says("SetOutput(1, on): The deadline had passed when the call came"));
        QTest::qWait(1000);
        QVERIFY(!m_two->received().contains("O1H<CR>"));
    }

    // A COM<n> entry that is not there: no such device, told once with the devices present, and
    // no device of the machine is opened in its place.
    void noEntryOpensNothing()
    {
        QTemporaryDir dir;
        QVERIFY(TestSupport::writeFile(dir.filePath("lone.ini"), "3,\"9600\",0,\"\"\r\n" + names));
        Service lone(m_env, {"--settings", dir.filePath("lone.ini"), "lone"});
        QVERIFY2(lone.says("vantrelod: lone: searching: Invalid Port Number! (COM3 -> " +
                           dir.filePath("COM3") + " -> no such device; "),
                 qPrintable(lone.messages()));
        QTest::qWait(2500); // another attempt fails the same way: said once
        QCOMPARE(lone.messages().count("searching:"), 1);
        const QDir fds(QString("/proc/%1/fd").arg(lone.processId()));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
            QVERIFY2(!fd.symLinkTarget().startsWith("/dev/tty") &&
                         !fd.symLinkTarget().startsWith("/dev/pts"),
                     qPrintable(fd.symLinkTarget()));
    }

    // A write the port refuses while connected, then the device pulled while connected: the
    // service goes on, tells each loss once, naming the device, and finds the board again.
    void failedWriteAndLostDevice()
    {
        QVERIFY(m_pump->says("connected to the board on COM2"));
        const QString device = "COM2 -> " + m_folder + "/COM2 -> " +
                               QFileInfo(m_folder + "/COM2").symLinkTarget() + ": ";
        QVERIFY(m_two->signal(SIGUSR1)); // the port refuses writes from now on
        QTRY_VERIFY(m_two->log().contains("the port refuses writes"));
        const TestSupport::Run refused = ctl({"-b", "pump", "on", "3"});
        QCOMPARE(refused.status, 1);
        QVERIFY2(refused.err.contains("org.vantrelo.Board1.Error.WriteFailed"),
                 qPrintable(refused.err));
        QVERIFY(m_pump->says("SetOutput(3, on): The port failed while writing"));
        QVERIFY2(m_pump->says("vantrelod: pump: connection lost: " + device),
                 qPrintable(m_pump->messages()));
        m_two = std::make_unique<TestSupport::Simulator>(m_folder, 2); // a new adapter
        QVERIFY(m_two->start());
        QVERIFY(m_pump->says("connected to the board on COM2", 2));
        const QString pulled = "COM2 -> " + m_folder + "/COM2 -> " +
                               QFileInfo(m_folder + "/COM2").symLinkTarget() + ": ";
        m_two->kill(); // pulled; its COM2 link stays, dangling
        QVERIFY(m_pump->says("vantrelod: pump: connection lost: " + pulled));
        m_two = std::make_unique<TestSupport::Simulator>(m_folder, 2); // plugged in again
        QVERIFY(m_two->start());
        QVERIFY(m_pump->says("connected to the board on COM2", 3));
        QCOMPARE(m_pump->state(), QProcess::Running);
        QCOMPARE(m_pump->messages().count("connection lost"), 2);
        for (const char *told :
             {"searching: COM Port comm-error! 8020", "searching: COM Port comm-error! 8021"})
            QVERIFY2(!m_pump->messages().contains(told), qPrintable(m_pump->messages()));
        QCOMPARE(ctl({"-b", "pump", "on", "3"}).status, 0);
    }

    // 1,000 calls as fast as the bus takes them, to a service on the emulated board (the real
    // firmware at 9600 baud): each is carried out, in order, and every pin ends as the last
    // command says.
    void thousandCallsOnTheEmulatedBoard()
    {
        QTemporaryDir dir;
        TestSupport::Simulator board(dir.path(), 1, {"--realtime"},
                                     VANTRELO_FIRMWARE "vantrelo-fw.elf");
        QVERIFY(board.start());
        QVERIFY(
            TestSupport::writeFile(dir.filePath("burst.ini"), "1,\"9600\",0,\"1\"\r\n" + names));
        Service service(m_env, {"--settings", dir.filePath("burst.ini"), "burst"});
        QVERIFY2(service.says("connected to the board", 1, 10000), qPrintable(service.messages()));
        QDBusConnection bus = QDBusConnection::connectToBus(m_bus.address(), "burst");
        QRandomGenerator random(1000);
        std::array<QList<bool>, 4> levels; // each pin's changes, as the commands make them
        const auto command = [&](int n, bool on) {
            if (levels[n].value(levels[n].size() - 1, false) != on)
                levels[n] << on;
        };
        QList<QDBusPendingCall> calls;
        for (int i = 0; i < 1000; ++i) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                "org.vantrelo.Board.burst", "/org/vantrelo/Board", "org.vantrelo.Board1",
                i % 10 ? "SetOutput" : "SetAllOutputs");
            const bool on = random.bounded(2);
            const int n = int(random.bounded(4));
            if (i % 10) {
                call << uint(n + 1) << on;
                command(n, on);
            } else {
                call << on;
                for (int m = 0; m < 4; ++m)
                    command(m, on);
            }
            calls << bus.asyncCall(call, 60000);
        }
        QVERIFY(QTest::qWaitFor([&] { return calls.last().isFinished(); }, 60000));
        for (const QDBusPendingCall &call : calls)
            QVERIFY2(!call.isError(), qPrintable(call.error().message()));
        QTest::qWait(200); // the last echo
        std::array<QList<bool>, 4> pins;
        for (const QByteArray &line : board.log().split('\n'))
            if (const QList<QByteArray> f = line.split(' '); f.size() == 4 && f[2].startsWith('D'))
                pins[f[2].mid(1).toInt() - 2] << (f[3] == "high");
        for (int n = 0; n < 4; ++n)
            QCOMPARE(pins[n], levels[n]);
        QDBusConnection::disconnectFromBus("burst");
    }

    void refusedToRun_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("bus"); // empty: the test's own
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // the whole of standard error, or a part of it
        const QString tooLong = "vantrelod: the name is too long for the bus: its bus name would "
                                "have %1 characters, and a bus name has at most 255\n";
        QTest::newRow("name taken")
            << QStringList{"pump"} << "" << 1 << "is held by another copy of the same name";
        QTest::newRow("no session bus")
            << QStringList{"pump"} << "unix:path=/nonexistent/bus" << 1 << "no session bus";
        QTest::newRow("237 letters")
            << QStringList{QString(237, u'a')} << "" << 2 << tooLong.arg(256);
        QTest::newRow("40 accented letters")
            << QStringList{QString(40, u'\u00e9')} << "" << 2 << tooLong.arg(259);
        QTest::newRow("--settings naming nothing")
            << QStringList{"--settings", "", "pump"} << "" << 2 << "--settings names no file";
    }
    void refusedToRun()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, bus);
        QProcessEnvironment env = m_env;
        if (!bus.isEmpty())
            env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        const auto second = TestSupport::run(VANTRELOD, args, env);
        QTEST(second.status, "status");
        QFETCH(QString, message);
        QVERIFY2(message.endsWith(u'\n') ? second.err == message : second.err.contains(message),
                 qPrintable(second.err));
    }

    // The session bus going away ends a service with status 1: its unit brings it back.
    void busGoingAwayIsAFailure()
    {
        TestSupport::PrivateBus own;
        QProcessEnvironment env = m_env;
        env.insert("DBUS_SESSION_BUS_ADDRESS", own.address());
        QTemporaryDir dir;
        QVERIFY(TestSupport::writeFile(dir.filePath("gone.ini"), "5,\"9600\",0,\"\"\r\n" + names));
        Service gone(env, {"--settings", dir.filePath("gone.ini"), "gone"});
        QVERIFY(gone.says("vantrelod: gone: started"));
        own.stop();
        QVERIFY(gone.waitForFinished(5000));
        QCOMPARE(std::pair(gone.exitStatus(), gone.exitCode()), std::pair(QProcess::NormalExit, 1));
        QVERIFY(gone.messages().contains("vantrelod: gone: the session bus went away"));
    }

    // systemd hears READY=1 once the name is held on the bus, never when it cannot be;
    // RELOADING=1 and READY=1 around a SIGHUP, STOPPING=1 at the stop, and where the service
    // stands in its status.
    void tellsSystemd()
    {
        TestSupport::NotifySocket systemd;
        QVERIFY(!systemd.path().isEmpty());
        QProcessEnvironment env = m_env;
        env.insert("NOTIFY_SOCKET", systemd.path());
        QTemporaryDir dir;
        QVERIFY(TestSupport::writeFile(dir.filePath("told.ini"), "7,\"9600\",0,\"\"\r\n" + names));
        const QStringList args = {"--settings", dir.filePath("told.ini"), "told"};
        {
            QDBusConnection bus = QDBusConnection::connectToBus(m_bus.address(), "holder");
            QVERIFY(bus.registerService("org.vantrelo.Board.told")); // taken: never ready
            QCOMPARE(TestSupport::run(VANTRELOD, args, env).status, 1);
            QCOMPARE(systemd.received().filter("READY=1"), QStringList());
        }
        QDBusConnection::disconnectFromBus("holder");
        QTRY_VERIFY(!m_busCheck.interface()->isServiceRegistered("org.vantrelo.Board.told"));
        Service told(env, args);
        QVERIFY(QTest::qWaitFor([&] { return systemd.received().contains("READY=1"); }));
        QVERIFY(m_busCheck.interface()->isServiceRegistered("org.vantrelo.Board.told"));
        QVERIFY(told.signal(SIGHUP));
        QVERIFY(told.says("unchanged; the port stays open"));
        QVERIFY(told.signal(SIGTERM) && told.waitForFinished(5000));
        const QStringList states = systemd.received().filter(QRegularExpression("^[A-Z]+=1$"));
        QCOMPARE(states, (QStringList{"READY=1", "RELOADING=1", "READY=1", "STOPPING=1"}));
        QVERIFY2(!systemd.received()
                      .filter("STATUS=searching: Invalid Port Number! (COM7 -> " +
                              dir.filePath("COM7") + " -> no such device; ")
                      .isEmpty(),
                 qPrintable(systemd.received().join(u'\n')));
    }

    // Last: a burst of SIGHUP never locks it up; a clean stop closes the port (its lock file
    // goes) and ends with status 0.
    void stopClosesThePort()
    {
        QVERIFY(m_pump->says("connected to the board"));
        for (int i = 0; i < 5000; ++i)
            QVERIFY(m_pump->signal(SIGHUP));
        QCOMPARE(ctl({"-b", "pump", "state"}).status, 0); // it answers
        QVERIFY(m_pump->messages().count("reading the settings again") < 5000);
        const QString lock =
            "/run/lock/LCK.." +
            QFileInfo(m_folder + "/COM2").symLinkTarget().mid(5).replace(u'/', u'_');
        QVERIFY2(QFile::exists(lock), qPrintable(lock));
        QVERIFY(m_pump->signal(SIGTERM));
        QVERIFY(m_pump->waitForFinished(5000));
        QCOMPARE(std::pair(m_pump->exitStatus(), m_pump->exitCode()),
                 std::pair(QProcess::NormalExit, 0));
        QVERIFY(m_pump->says("vantrelod: pump: stopping (Terminated)"));
        QVERIFY(!QFile::exists(lock));
    }

private:
    TestSupport::Run ctl(const QStringList &args)
    {
        return TestSupport::run(QString(VANTRELO_CTL), args, m_env);
    }

    TestSupport::PrivateBus m_bus;
    QDBusConnection m_busCheck = QDBusConnection::connectToBus(m_bus.address(), "check");
    QTemporaryDir m_config;
    const QString m_folder = m_config.filePath("vantrelo");
    QProcessEnvironment m_env;
    std::unique_ptr<TestSupport::Simulator> m_one, m_two;
    std::unique_ptr<Service> m_pump;
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
