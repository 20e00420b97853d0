// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelod end to end, as on a machine without a desktop (no display, no platform plugin): a
// private session bus, simulators on ptys linked as COM1 and COM2 in the service's own settings
// folder, vantrelo-ctl as the client. The link's rhythm is the real one.

#include "TestSupport.h"

#include <csignal>

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
    }
    QString messages() { return QString::fromLocal8Bit(log += readAllStandardError()); }
    // Whether a message holding the text has come, within the time.
    bool says(const QString &text, int count = 1, int timeoutMs = 8000)
    {
        return QTest::qWaitFor([&] { return messages().count(text) >= count; }, timeoutMs);
    }
    bool signal(int number) { return ::kill(pid_t(processId()), number) == 0; }
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
        m_pump = std::make_unique<Service>(m_env, QStringList{"pump"});
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

    // A refused file: named with its reason, and the defaults (COM1, held by the other service
    // here) are used. In the journal every line carries its priority.
    void refusedFileInTheJournal()
    {
        QVERIFY(TestSupport::writeFile(m_folder + "/other.ini", "0,\"9600\",0,\"\"\r\n" + names));
        QProcessEnvironment env = m_env;
        env.insert("SERVICE", VANTRELOD);
        Service other(env,
                      {"-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) "
                             "exec \"$SERVICE\" other"},
                      "sh");
        QVERIFY(other.says("<6>vantrelod: other: started"));
        QVERIFY2(other.says("<4>vantrelod: other: settings " + m_folder +
                            "/other.ini not used (port number 0); the defaults are in force: "
                            "COM1, 9600 baud, identifier \"\"\n"),
                 qPrintable(other.messages()));
        QVERIFY(other.says("<4>vantrelod: other: searching: Port already open! (COM1 -> "));
        QTest::qWait(2500); // another attempt fails the same way: said once
        QCOMPARE(other.messages().count("searching:"), 1);
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

    // The device goes away while a command comes; the service goes on, and finds the board
    // again when it is back.
    void lostDeviceAndACommand()
    {
        QVERIFY(m_pump->signal(SIGSTOP));
        m_two->kill(); // the adapter is pulled; its COM2 link stays, dangling
        QProcess command;
        command.setProcessEnvironment(m_env);
        command.start(VANTRELO_CTL, {"-b", "pump", "on", "3"});
        QTest::qWait(200);
        QVERIFY(m_pump->signal(SIGCONT));
        QTRY_COMPARE_WITH_TIMEOUT(command.state(), QProcess::NotRunning, 5000);
        QCOMPARE(command.exitCode(), 1);
        QVERIFY2(m_pump->says("vantrelod: pump: connection lost: COM2 -> "),
                 qPrintable(m_pump->messages()));
        QVERIFY(m_pump->says("SetOutput(3, on): "));
        m_two = std::make_unique<TestSupport::Simulator>(m_folder, 2); // plugged in again
        QVERIFY(m_two->start());
        QVERIFY(m_pump->says("connected to the board on COM2", 2));
        QCOMPARE(m_pump->state(), QProcess::Running);
        QCOMPARE(ctl({"-b", "pump", "on", "3"}).status, 0);
    }

    void refusedToRun_data()
    {
        QTest::addColumn<QString>("bus"); // empty: the test's own
        QTest::addColumn<QString>("message");
        QTest::newRow("name taken") << ""
                                    << "is held by another copy of the same name";
        QTest::newRow("no session bus") << "unix:path=/nonexistent/bus"
                                        << "no session bus";
    }
    void refusedToRun()
    {
        QFETCH(QString, bus);
        QProcessEnvironment env = m_env;
        if (!bus.isEmpty())
            env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        const auto second = TestSupport::run(VANTRELOD, {"pump"}, env);
        QCOMPARE(second.status, 1);
        QFETCH(QString, message);
        QVERIFY2(second.err.contains(message), qPrintable(second.err));
    }

    // Last: a clean stop closes the port (its lock file goes) and ends with status 0.
    void stopClosesThePort()
    {
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
    QTemporaryDir m_config;
    const QString m_folder = m_config.filePath("vantrelo");
    QProcessEnvironment m_env;
    std::unique_ptr<TestSupport::Simulator> m_one, m_two;
    std::unique_ptr<Service> m_pump;
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
