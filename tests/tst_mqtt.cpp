// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelo-mqtt end to end: a private session bus, a broker of the test's own on 127.0.0.1, a
// board as a service (vantrelod) on a simulator pty, and mosquitto's own clients on the other
// side.

#include "FakeCopy.h"
#include "TestSupport.h"

#include "mqtt/MqttClient.h"

#include <QRegularExpression>
#include <QSysInfo>

#include <csignal>
#include <sys/stat.h>

using TestSupport::Broker;
using TestSupport::Subscriber;

namespace {

const QString discovery = QString("homeassistant/device/vantrelo_n1_board_2e1/config");

using TestSupport::writeFile;

int run(const QString &program, const QStringList &args, const QByteArray &input = {})
{
    return TestSupport::run(program, args, QProcessEnvironment::systemEnvironment(), input).status;
}

// mosquitto_pub on the broker; the message on standard input, binary included (an empty one
// as MQTT's empty message, which clears a retained one).
bool publish(const Broker &broker, const QString &topic, const QByteArray &payload,
             const QStringList &extra = {})
{
    return run(QString("mosquitto_pub"),
               QStringList{"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-q", "1", "-t",
                           topic} +
                   extra + QStringList{payload.isEmpty() ? "-n" : "-s"},
               payload) == 0;
}

// Whether the subscriber received a message whose "topic payload" starts so, within the time;
// with retained, only one the broker kept for it.
bool sees(Subscriber &sub, const QString &start, int timeoutMs = 5000, bool retained = false)
{
    QElapsedTimer t;
    t.start();
    do {
        for (const QString &line : sub.lines())
            if (line.mid(2).startsWith(start) && (!retained || line.startsWith(u'1')))
                return true;
        QTest::qWait(20);
    } while (t.elapsed() < timeoutMs);
    return false;
}

// Whether the broker keeps, within 5 s, a message on the topic whose payload starts so: what a
// newcomer receives.
bool keeps(const Broker &broker, const QString &topic, const QString &payload)
{
    for (int i = 0; i < 25; ++i) {
        Subscriber sub(broker, topic);
        if (sees(sub, topic + u' ' + payload, 200, true))
            return true;
    }
    return false;
}

// Whether the broker keeps nothing on the topic: what a newcomer would receive in a second.
bool keepsNothing(const Broker &broker, const QString &topic)
{
    return TestSupport::run("mosquitto_sub",
                            {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-t", topic,
                             "--retained-only", "-W", "1"})
        .out.isEmpty();
}

// The CA, a server certificate for 127.0.0.1 and a client certificate that it signs, and a
// second CA that signs nothing.
bool makeCertificates(const QString &dir)
{
    const auto path = [&](const char *name) { return dir + u'/' + QLatin1String(name); };
    const QString subject = QString("/CN=Vantrelo test CA");
    if (!writeFile(path("ext"), "subjectAltName=DNS:localhost,IP:127.0.0.1\n"))
        return false;
    for (const char *ca : {"ca", "other"})
        if (run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            subject, "-keyout", path(ca) + ".key", "-out", path(ca) + ".crt"}) != 0)
            return false;
    for (const char *peer : {"server", "client"})
        if (run("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                            "-keyout", path(peer) + ".key", "-out", path(peer) + ".csr"}) != 0 ||
            run("openssl", {"x509", "-req", "-in", path(peer) + ".csr", "-CA", path("ca.crt"),
                            "-CAkey", path("ca.key"), "-CAcreateserial", "-days", "2", "-extfile",
                            path("ext"), "-out", path(peer) + ".crt"}) != 0)
            return false;
    for (const char *file : {"ca.crt", "server.crt", "server.key", "other.crt"}) // for mosquitto
        QFile::setPermissions(path(file), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadGroup | QFileDevice::ReadOther);
    return true;
}

} // namespace

class TestMqtt : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(!m_bus.address().isEmpty(), "dbus-daemon did not start");
        QVERIFY2(m_broker.start(), m_broker.log().constData());
        // A board as a service: the bridge reaches it as it reaches any copy.
        m_copy = std::make_unique<TestSupport::ProgramCopy>(
            "board.1", m_bus.environment(), QStringList(), TestSupport::ProgramCopy::Service);
        QVERIFY(m_copy->started);
        QTRY_VERIFY_WITH_TIMEOUT(m_copy->connected(), 10000);
    }

    // The device document, availability, status and states, all retained; an old retained
    // command is not carried out.
    void bridgesTheRunningCopy()
    {
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/4/set", "ON", {"-r"}));
        m_bridge = startBridge(m_broker);
        Subscriber sub(m_broker, "#");
        QVERIFY2(sees(sub, "vantrelo/n1/bridge/state online"), qPrintable(stderrOf(*m_bridge)));
        QVERIFY(sees(sub, "vantrelo/n1/board.1/availability online"));
        QVERIFY(sees(sub, "vantrelo/n1/board.1/status COM:1 Baud:9600"));
        for (int n = 1; n <= 4; ++n)
            QVERIFY(sees(sub, QString("vantrelo/n1/board.1/output/%1 OFF").arg(n)));
        QVERIFY(sees(sub, discovery + " {")); // the document is the topic builder's
        QTRY_VERIFY(stderrOf(*m_bridge).contains(
            "ignored vantrelo/n1/board.1/output/4/set: a retained command"));
        QVERIFY(!m_copy->sim.received().contains("O4H<CR>"));
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/4/set", {}, {"-r"})); // clears it
    }

    void commandReachesTheBoard()
    {
        const qsizetype before = m_copy->sim.received().size();
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/2/set", "ON"));
        QTRY_VERIFY(m_copy->sim.received().mid(before).contains("O2H<CR>"));
        QVERIFY(keeps(m_broker, "vantrelo/n1/board.1/output/2", "ON"));
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/2/set", "TOGGLE"));
        QTRY_VERIFY(m_copy->sim.received().mid(before).contains("O2L<CR>"));
    }

    void refusedCommandsWriteNothing()
    {
        // Which payloads and topics are refused is the topic parser's; here, that a refusal
        // writes nothing, and that only the first of each kind is told.
        const QList<QPair<QString, QByteArray>> refused = {
            {"vantrelo/n1/board.1/output/1/set", "on"},
            {"vantrelo/n1/board.1/output/1/set", QByteArray("O\0N\xff", 4)}, // the same kind
            {"vantrelo/n1/board.1/output/1/set", QByteArray(300, 'O')},
            {"vantrelo/n1/board.1/output/5/set", "ON"},
            {"vantrelo/n1/board.9/output/1/set", "ON"},
        };
        const qsizetype before = m_copy->sim.received().size();
        for (const auto &[topic, payload] : refused)
            QVERIFY(publish(m_broker, topic, payload));
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/3/set", "ON")); // a mark behind them
        QTRY_VERIFY(m_copy->sim.received().mid(before).contains("O3H<CR>"));
        QCOMPARE(m_copy->sim.received().mid(before), QStringList{"O3H<CR>"});
        const QString err = stderrOf(*m_bridge);
        for (const char *kind : {"a payload over 256 bytes (300 bytes)", "no such output",
                                 "no such copy is bridged (board.9)"})
            QVERIFY2(err.count(kind) == 1, qPrintable(err));
        // Told once, with the one that cleared the retained command before them.
        QCOMPARE(err.count("a payload that is not ON, OFF or TOGGLE"), 1);
    }

    // A command that a stopped service could not carry out before the bridge's time-out is
    // never carried out once it goes on.
    void deadlineOfAStoppedCopy()
    {
        const qsizetype before = m_copy->sim.received().size();
        QVERIFY(TestSupport::signal(m_copy->program, SIGSTOP));
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/1/set", "ON"));
        QTRY_VERIFY_WITH_TIMEOUT(stderrOf(*m_bridge).contains("output 1 of board.1: "), 5000);
        QVERIFY(TestSupport::signal(m_copy->program, SIGCONT));
        QTest::qWait(1000);
        QVERIFY(!m_copy->sim.received().mid(before).contains("O1H<CR>"));
    }

    // The hub's birth brings the documents back; a burst of births brings them once a second
    // at most, never a flood.
    void hubAnnouncementRepublishesDiscovery()
    {
        QVERIFY(publish(m_broker, discovery, {}, {"-r"})); // the hub forgot it
        QVERIFY(publish(m_broker, "homeassistant/status", "online"));
        QVERIFY(keeps(m_broker, discovery, "{"));
        Subscriber docs(m_broker, discovery);
        QVERIFY(sees(docs, discovery + " {", 5000, true)); // the kept one
        QTest::qWait(1100);                                // past the pause
        QCOMPARE(run("mosquitto_pub",
                     {"-h", "127.0.0.1", "-p", QString::number(m_broker.port()), "-t",
                      "homeassistant/status", "-l"},
                     QByteArray("online\n").repeated(200)),
                 0);
        QTest::qWait(1500);
        const qsizetype sent = docs.lines().filter(QRegularExpression("^0 ")).size();
        QVERIFY2(sent >= 1 && sent <= 3, qPrintable(QString::number(sent)));
    }

    // A payload far over a command's size never reaches the bridge (it tells the broker the
    // largest packet it takes), and its memory stays as it was.
    void oversizedPayloadNeverArrives()
    {
        const auto residentKiB = [&] {
            QFile status(QString("/proc/%1/status").arg(m_bridge->processId()));
            if (!status.open(QIODevice::ReadOnly))
                return qint64(-1);
            for (const QByteArray &line : status.readAll().split('\n'))
                if (line.startsWith("VmRSS:"))
                    return line.mid(6).trimmed().split(' ').first().toLongLong();
            return qint64(-1);
        };
        const qint64 before = residentKiB();
        const qsizetype received = m_copy->sim.received().size();
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/1/set", QByteArray(32 << 20, 'O')));
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/1/set", "OFF")); // behind it
        QTRY_VERIFY(m_copy->sim.received().mid(received).contains("O1L<CR>"));
        QVERIFY2(before > 0 && residentKiB() - before < 8 * 1024,
                 qPrintable(QString("%1 KiB, then %2 KiB").arg(before).arg(residentKiB())));
    }

    void copyQuitsAndComesBack()
    {
        Subscriber sub(m_broker, "vantrelo/n1/board.1/availability");
        m_copy->quit();
        QVERIFY(sees(sub, "vantrelo/n1/board.1/availability offline"));
        Subscriber back(m_broker, "vantrelo/n1/board.1/availability"); // the kept one: offline
        m_copy->start();
        QVERIFY(sees(back, "vantrelo/n1/board.1/availability online", 10000));
        Subscriber state(m_broker, "vantrelo/n1/board.1/output/1"); // the new copy's echoes
        QVERIFY(publish(m_broker, "vantrelo/n1/board.1/output/1/set", "ON"));
        QVERIFY(sees(state, "vantrelo/n1/board.1/output/1 ON"));
    }

    void brokerRestartHeals()
    {
        m_broker.stop();
        QVERIFY(m_broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(stderrOf(*m_bridge).count("connected to") == 2, 10000);
        Subscriber sub(m_broker, "#");
        QVERIFY(sees(sub, "vantrelo/n1/bridge/state online"));
        QVERIFY(sees(sub, "vantrelo/n1/board.1/availability online"));
        QVERIFY(sees(sub, "vantrelo/n1/board.1/output/3 ON"));
        QVERIFY(sees(sub, discovery + u' '));
        QVERIFY(stderrOf(*m_bridge).contains("Trying again in "));
        QVERIFY2(!stderrOf(*m_bridge).contains("Success"), qPrintable(stderrOf(*m_bridge)));
    }

    // A copy in this process on the fake port, so that the test holds its link and its names.
    // A second bridge, under prefixes of its own, takes it alone (--board).
    void copyOnTheFakePort()
    {
        FakeCopy copy(m_bus.address(), QString("fake")), named(m_bus.address(), QString("bridge"));
        QVERIFY(copy.registration.isEmpty() && named.registration.isEmpty());
        copy.service.setOutputNames({"A", "B", "C", "D"});
        Subscriber sub(m_broker, "t2/#"), docs(m_broker, "ha2/#");
        auto bridge = startBridge(m_broker, {"--prefix", "t2", "--discovery-prefix", "ha2",
                                             "--board", "fake", "--board", "bridge"});
        QVERIFY2(sees(sub, "t2/n1/fake/availability offline"), qPrintable(stderrOf(*bridge)));
        QVERIFY(copy.connect());
        QVERIFY(sees(sub, "t2/n1/fake/availability online")); // only while the board answers
        copy.port.receive("O2H\r");
        QVERIFY(sees(sub, "t2/n1/fake/output/2 ON"));
        QVERIFY(publish(m_broker, "t2/n1/fake/output/3/pulse", "250")); // kept by the board
        QTRY_VERIFY(copy.port.written.contains("O3P250\r"));
        // The hub's button pulses for the length its number set, which the broker keeps: a
        // bridge started again reads it back.
        QVERIFY(publish(m_broker, "t2/n1/fake/output/4/pulse", "PRESS"));
        QTRY_VERIFY(copy.port.written.contains("O4P1000\r")); // a second, unset
        QVERIFY(publish(m_broker, "t2/n1/fake/output/4/pulse_length/set", "2.5"));
        QVERIFY(keeps(m_broker, "t2/n1/fake/output/4/pulse_length", "2.5"));
        QVERIFY(TestSupport::signal(*bridge, SIGKILL) && bridge->waitForFinished());
        bridge = startBridge(m_broker, {"--prefix", "t2", "--discovery-prefix", "ha2", "--board",
                                        "fake", "--board", "bridge"});
        QVERIFY(keeps(m_broker, "t2/n1/bridge/state", "online"));
        QVERIFY(publish(m_broker, "t2/n1/fake/output/4/pulse", "PRESS"));
        QTRY_VERIFY(copy.port.written.contains("O4P2500\r"));
        copy.service.setOutputNames({"A", "Renamed", "C", "D"}); // a Save: the hub learns it
        QTRY_VERIFY(docs.lines()
                        .filter("ha2/device/vantrelo_n1_fake/config ")
                        .join(u'\n')
                        .contains("\"name\":\"Renamed\""));
        Subscriber lost(m_broker, "t2/n1/fake/availability");
        copy.port.loseDevice();
        QVERIFY(sees(lost, "t2/n1/fake/availability offline"));
        const QString all = sub.lines().join(u'\n');
        QVERIFY2(!all.contains("t2/n1/fake/output/1 ") && !all.contains("t2/n1/board.1/") &&
                     !all.contains("t2/n1/bridge/availability"),
                 qPrintable(all)); // no unknown state, no copy left out, none named bridge
        QVERIFY(stderrOf(*bridge).contains("a copy named \"bridge\" is not bridged"));
    }

    // Two machines, each its own bus with a copy named board.1, share the broker: each bridge
    // under its node, and a command reaches only its own board. A clean stop leaves the
    // goodbye kept.
    void twoMachinesShareOneBroker()
    {
        TestSupport::PrivateBus other;
        FakeCopy copy(other.address(), QString("board.1"));
        QVERIFY(copy.registration.isEmpty() && copy.connect());
        auto bridge = startBridge(m_broker, {"--node-id", "n2"}, other.environment());
        QVERIFY(keeps(m_broker, "vantrelo/n2/board.1/availability", "online"));
        QVERIFY(keeps(m_broker, discovery, "{")); // the first machine's stays
        Subscriber docs(m_broker, "homeassistant/device/+/config");
        QVERIFY(sees(docs, "homeassistant/device/vantrelo_n2_board_2e1/config {"));
        QVERIFY(docs.lines().join(u'\n').contains("\"unique_id\":\"vantrelo_n2_board_2e1_1\""));
        const qsizetype before = m_copy->sim.received().size();
        QVERIFY(publish(m_broker, "vantrelo/n2/board.1/output/4/set", "ON"));
        QTRY_VERIFY(copy.port.written.contains("O4H\r"));
        QTest::qWait(200);
        QCOMPARE(m_copy->sim.received().size(), before);
        QVERIFY(TestSupport::signal(*bridge, SIGTERM));
        QVERIFY(bridge->waitForFinished(5000));
        QCOMPARE(bridge->exitCode(), 0);
        QVERIFY(keeps(m_broker, "vantrelo/n2/board.1/availability", "offline"));
        QVERIFY(keeps(m_broker, "vantrelo/n2/bridge/state", "offline"));
    }

    // One machine holds a node on a broker: a bridge finds it held by another and publishes
    // nothing; freed, this machine's bridge holds it, and holds it again after a restart.
    void nodeHeldByAnotherMachine()
    {
        const QString holder = "vantrelo/n7/bridge/holder";
        QVERIFY(publish(m_broker, holder, "0123456789abcdef", {"-r"}));
        Subscriber sub(m_broker, "vantrelo/n7/#");
        auto refused = startBridge(m_broker, {"--node-id", "n7"});
        QVERIFY(refused->waitForFinished(5000));
        QCOMPARE(refused->exitCode(), 3);
        QVERIFY2(stderrOf(*refused).contains("the node \"n7\" is held on broker 127.0.0.1 by "
                                             "another machine (machine id 0123456789abcdef); "
                                             "nothing was published. give this bridge a node of "
                                             "its own with --node-id"),
                 qPrintable(stderrOf(*refused)));
        QTest::qWait(200);
        QCOMPARE(
            sub.lines().filter(QRegularExpression("^. vantrelo/n7/(?!bridge/(holder|probe) )")),
            QStringList());
        QVERIFY(publish(m_broker, holder, {}, {"-r"}));
        QFile id("/etc/machine-id");
        const QString machine = id.open(QIODevice::ReadOnly) ? QString(id.readLine().trimmed())
                                                             : QSysInfo::machineHostName();
        for (int start = 0; start < 2; ++start) { // killed, and started again
            auto mine = startBridge(m_broker, {"--node-id", "n7"});
            QVERIFY(keeps(m_broker, "vantrelo/n7/board.1/availability", "online"));
            QVERIFY(keeps(m_broker, holder, machine));
            QVERIFY(TestSupport::signal(*mine, SIGKILL));
            QVERIFY(mine->waitForFinished(5000));
        }
    }

    // Two bridges of one machine under one node and the default client id: the second takes the
    // session, and the first stops for good instead of pushing back. Under other nodes they both
    // stay.
    void bridgesOfOneNode()
    {
        auto first = startBridge(m_broker, {"--node-id", "n6"}, {}, true);
        QVERIFY(keeps(m_broker, "vantrelo/n6/bridge/state", "online"));
        auto other = startBridge(m_broker, {"--node-id", "n5"}, {}, true);
        QVERIFY(keeps(m_broker, "vantrelo/n5/bridge/state", "online"));
        auto second = startBridge(m_broker, {"--node-id", "n6"}, {}, true);
        QVERIFY(first->waitForFinished(5000));
        QCOMPARE(first->exitCode(), 3);
        QVERIFY2(stderrOf(*first).contains("the node \"n6\" was taken on broker 127.0.0.1 by "
                                           "another bridge of this machine"),
                 qPrintable(stderrOf(*first)));
        QTest::qWait(2500); // the second's own reconnection, if the first pushed it off once
        QVERIFY(keeps(m_broker, "vantrelo/n6/bridge/state", "online"));
        QCOMPARE(second->state(), QProcess::Running);
        QCOMPARE(other->state(), QProcess::Running);
        QVERIFY2(!stderrOf(*other).contains("Trying again"), qPrintable(stderrOf(*other)));
    }

    // A stop ends within 2 s whatever the resolver does (here one that never answers, in a
    // network namespace of the bridge's own), and says what is true.
    void stopWhileTheNameResolves()
    {
        if (run("unshare", {"-rnm", "true"}) != 0)
            QSKIP(
                "no user and network namespace here (unshare -rnm): no resolver of the test's own");
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("resolv.conf"),
                          "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n"));
        QProcessEnvironment env = m_bus.environment();
        env.insert("RESOLV", dir.filePath("resolv.conf"));
        env.insert("HELPER", VANTRELO_TEST_HELPER);
        env.insert("BRIDGE", VANTRELO_MQTT);
        TestSupport::Child bridge;
        bridge.setProcessEnvironment(env);
        bridge.start("unshare",
                     {"-rnm", "sh", "-c",
                      "ip link set lo up && mount --bind \"$RESOLV\" /etc/resolv.conf && "
                      "(\"$HELPER\" silent-udp 53 &) && sleep 0.2 && "
                      "exec \"$BRIDGE\" --host broker.example --node-id n4"});
        QTest::qWait(1500); // resolving
        QCOMPARE(bridge.state(), QProcess::Running);
        QVERIFY(TestSupport::signal(bridge, SIGTERM)); // the bridge itself: sh exec'd it
        QElapsedTimer took;
        took.start();
        QVERIFY(bridge.waitForFinished(5000));
        const QString err = QString::fromLocal8Bit(bridge.readAllStandardError());
        QVERIFY2(took.elapsed() < 2000 && bridge.exitCode() == 0, qPrintable(err));
        QVERIFY2(err.contains("stopped while not connected to broker broker.example port 1883") &&
                     !err.contains("goodbye"),
                 qPrintable(err));
    }

    // A copy stopped with SIGSTOP answers no call: the others are bridged meanwhile, and it is
    // bridged once it goes on.
    void stalledCopyDelaysNoOther()
    {
        FakeCopy fast(m_bus.address(), QString("fast"));
        QVERIFY(fast.registration.isEmpty());
        Subscriber sub(m_broker, "vantrelo/n3/+/availability");
        QVERIFY(TestSupport::signal(m_copy->program, SIGSTOP));
        auto bridge = startBridge(m_broker, {"--node-id", "n3"});
        QVERIFY(sees(sub, "vantrelo/n3/fast/availability offline"));
        QTRY_VERIFY(stderrOf(*bridge).contains("org.vantrelo.Board.board_2e1 does not answer"));
        QVERIFY(stderrOf(*bridge).indexOf("bridging fast") <
                stderrOf(*bridge).indexOf("does not answer")); // not held up
        QVERIFY(!sub.lines().join(u'\n').contains("n3/board.1"));
        QVERIFY(TestSupport::signal(m_copy->program, SIGCONT));
        QVERIFY(sees(sub, "vantrelo/n3/board.1/availability online", 10000));
    }

    // Without a broker every attempt is refused at once; the waits double up to the last, each
    // varied by a fifth either way. A connection that holds for a while starts them anew; one
    // that is lost at once does not.
    void retriesBackOff()
    {
        Broker broker;
        MqttClient::Options options;
        options.host = QString("127.0.0.1");
        options.port = broker.port(); // nothing listens there yet
        options.firstRetry = std::chrono::milliseconds(50);
        options.lastRetry = std::chrono::milliseconds(200);
        options.stableAfter = std::chrono::milliseconds(1000);
        MqttClient client(options);
        QList<qint64> waits;
        int connects = 0;
        connect(&client, &MqttClient::connected, this, [&] { ++connects; });
        QStringList reasons;
        connect(&client, &MqttClient::connectionFailed, this,
                [&](const QString &reason, std::chrono::milliseconds retryIn) {
                    waits << retryIn.count();
                    reasons << reason;
                });
        QCOMPARE(client.prepare(), QString());
        const auto threads = [] { return QDir(QString("/proc/self/task")).count(); };
        const uint idle = threads();
        client.start();
        QTRY_VERIFY(waits.size() >= 5);
        const QList<qint64> nominal = {50, 100, 200, 200, 200};
        for (int i = 0; i < 5; ++i)
            QVERIFY2(qAbs(waits[i] - nominal[i]) <= nominal[i] / 5,
                     qPrintable(QString::number(waits[i])));
        QVERIFY(waits.mid(0, 5) != nominal);                      // varied
        QCOMPARE(reasons.first(), QString("Connection refused")); // the failing call's own errno
        const auto lostAfter = [&](int heldMs) {
            if (!broker.start() || !QTest::qWaitFor([&] { return connects > 0; }, 5000))
                return qint64(-1);
            QTest::qWait(heldMs);
            connects = 0;
            waits.clear();
            broker.stop();
            return QTest::qWaitFor([&] { return !waits.isEmpty(); }) ? waits[0] : -1;
        };
        const qint64 afterShort = lostAfter(0), afterLong = lostAfter(1200);
        QVERIFY2(afterShort >= 160 && afterShort <= 240, qPrintable(QString::number(afterShort)));
        QVERIFY2(afterLong >= 40 && afterLong <= 60, qPrintable(QString::number(afterLong)));
        QTRY_COMPARE(threads(), idle); // the connection's thread ended with it: none idles
    }

    void killedBridgeIsOffline()
    {
        Subscriber sub(m_broker, "vantrelo/n1/bridge/state");
        QVERIFY(sees(sub, "vantrelo/n1/bridge/state online"));
        QVERIFY(TestSupport::signal(*m_bridge, SIGKILL));
        QVERIFY(sees(sub, "vantrelo/n1/bridge/state offline"));
        QVERIFY(keeps(m_broker, "vantrelo/n1/bridge/state", "offline"));
    }

    // TLS takes port 8883 unless told, and an attempt that fails says why at once.
    void tlsOnItsOwnPort()
    {
        const auto bridge = TestSupport::run(
            VANTRELO_MQTT, {"--host", "127.0.0.1", "--tls-use-os-certs", "--node-id", "n9"},
            m_bus.environment(), {}, 1500);
        QCOMPARE(bridge.status, -1); // still trying
        QVERIFY2(bridge.err.startsWith("vantrelo-mqtt: broker 127.0.0.1 port 8883: Connection "
                                       "refused. Trying again in "),
                 qPrintable(bridge.err));
    }

    // systemd hears READY=1 once the bridge holds the session bus, the broker or not, and where
    // it stands with the broker in its status; without a bus it is never ready.
    void tellsSystemd()
    {
        TestSupport::NotifySocket systemd;
        QProcessEnvironment env = m_bus.environment();
        env.insert("NOTIFY_SOCKET", systemd.path());
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
        QCOMPARE(
            TestSupport::run(VANTRELO_MQTT, {"-p", QString::number(m_broker.port())}, env).status,
            1);
        QCOMPARE(systemd.received(), QStringList());
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_bus.address());
        auto bridge = startBridge(m_broker, {"--node-id", "n10"}, env);
        const QString connected =
            QString("STATUS=connected to 127.0.0.1 port %1").arg(m_broker.port());
        QVERIFY(QTest::qWaitFor([&] { return systemd.received().contains(connected); }));
        QVERIFY(systemd.received().indexOf("READY=1") >= 0 &&
                systemd.received().indexOf("READY=1") < systemd.received().indexOf(connected));
        QVERIFY(TestSupport::signal(*bridge, SIGTERM) && bridge->waitForFinished(5000));
        QCOMPARE(systemd.received().last(), QString("STOPPING=1"));
    }

    void passwordFileRefused_data()
    {
        QTest::addColumn<QByteArray>("content"); // "FIFO": a named pipe
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("others read") << QByteArray("secret\n") << 0604 << "mode 0604";
        QTest::newRow("others write") << QByteArray("secret\n") << 0602 << "mode 0602";
        QTest::newRow("group writes") << QByteArray("secret\n") << 0620 << "mode 0620";
        QTest::newRow("empty") << QByteArray() << 0600 << "holds no password";
        QTest::newRow("FIFO") << QByteArray("FIFO") << 0600 << "not a regular file";
        QTest::newRow("a NUL byte") << QByteArray("sec\0ret\n", 8) << 0600 << "holds a NUL byte";
        QTest::newRow("too long") << QByteArray(5000, 'x') + '\n'
                                  << 0600 << "longer than 4096 bytes";
    }
    void passwordFileRefused()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QTemporaryDir dir;
        const QString file = dir.filePath("password");
        if (content == "FIFO")
            QCOMPARE(::mkfifo(qPrintable(file), mode_t(mode)), 0);
        else
            QVERIFY(writeFile(file, content));
        QCOMPARE(::chmod(qPrintable(file), mode_t(mode)), 0);
        const auto bridge =
            TestSupport::run(VANTRELO_MQTT, {"--username", "u", "--password-file", file});
        QCOMPARE(bridge.status, 2); // at once, without waiting on the FIFO
        QFETCH(QString, reason);
        QVERIFY2(bridge.err.contains(reason), qPrintable(bridge.err));
    }

    // Brokers that ask who connects: a password, a CA, a client certificate.
    void brokerAdmits_data()
    {
        QTest::addColumn<QByteArray>(
            "config"); // {dir}: the folder of the password and the certificates
        QTest::addColumn<QStringList>("args"); // for the bridge and mosquitto_sub alike
        QTest::addColumn<QString>("refusal");  // empty: online
        const QByteArray password = "password_file {dir}passwd\nallow_anonymous false\n",
                         tls = "cafile {dir}ca.crt\ncertfile {dir}server.crt\nkeyfile "
                               "{dir}server.key\n";
        const QStringList ca = {"--cafile", "{dir}ca.crt"},
                          cert = {"--cert", "{dir}client.crt", "--key", "{dir}client.key"};
        QTest::newRow("right password")
            << password << QStringList{"-u", "vt", "-P", "open sesame"} << "";
        QTest::newRow("wrong password") << password << QStringList{"-u", "vt", "-P", "sesame"}
                                        << "the broker refused the connection: Not authorized.";
        QTest::newRow("trusted CA") << tls << ca << "";
        // The system's CAs: the test CA made the system's default for the run (SSL_CERT_FILE).
        QTest::newRow("system CAs") << tls << QStringList{"--tls-use-os-certs"} << "";
        QTest::newRow("untrusted CA")
            << tls << QStringList{"--cafile", "{dir}other.crt"} << "certificate verify failed";
        QTest::newRow("client certificate") << tls + "require_certificate true\n"
                                            << ca + cert << "";
        // TLS 1.3 tells the missing certificate after the handshake: the broker's alert, or
        // the connection closed under the CONNECT.
        QTest::newRow("client certificate required") << tls + "require_certificate true\n"
                                                     << ca << "Trying again";
    }
    void brokerAdmits()
    {
        QFETCH(QByteArray, config);
        QFETCH(QStringList, args);
        QFETCH(QString, refusal);
        const QString folder = m_broker.filePath({}) + u'/';
        // One placeholder, which no path holds, replaced once (a folder may end in any letter).
        Broker broker(config.replace("{dir}", QFile::encodeName(folder)));
        if (!QFile::exists(m_broker.filePath("ca.crt")))
            QVERIFY(makeCertificates(folder));
        QCOMPARE(
            run("mosquitto_passwd", {"-c", "-b", m_broker.filePath("passwd"), "vt", "open sesame"}),
            0);
        QFile::setPermissions(m_broker.filePath("passwd"),
                              QFileDevice::ReadOwner | QFileDevice::ReadOther);
        QVERIFY2(broker.start(), broker.log().constData());
        args.replaceInStrings("{dir}", folder);
        QStringList bridgeArgs = args; // the password from a private file
        // The witness always gets in: the right password, or the right CA and a certificate.
        QStringList subArgs = {"--cafile", folder + "ca.crt",    "--cert", folder + "client.crt",
                               "--key",    folder + "client.key"};
        if (const qsizetype p = args.indexOf("-P"); p >= 0) {
            QVERIFY(writeFile(folder + "password", args[p + 1].toUtf8() + '\n',
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            bridgeArgs = {"-u", "vt", "--password-file", folder + "password"};
            subArgs = {"-u", "vt", "-P", "open sesame"};
        }
        QProcessEnvironment env = m_bus.environment();
        env.insert("SSL_CERT_FILE", folder + "ca.crt");
        auto bridge = startBridge(broker, bridgeArgs + QStringList{"--client-id", "admits"}, env);
        Subscriber sub(broker, "vantrelo/n1/bridge/state", subArgs);
        if (refusal.isEmpty()) {
            QVERIFY2(sees(sub, "vantrelo/n1/bridge/state online"),
                     qPrintable(stderrOf(*bridge) + broker.log()));
        } else {
            QTRY_VERIFY2(stderrOf(*bridge).contains(refusal), qPrintable(stderrOf(*bridge)));
            QVERIFY2(sub.lines().isEmpty() && !stderrOf(*bridge).contains("connected to"),
                     qPrintable(sub.lines().join(u'\n') + stderrOf(*bridge)));
        }
    }

    // --forget takes an id of its own, even given the running bridge's: that one stays.
    void forgetRemovesTheBoard()
    {
        auto keeper = startBridge(m_broker, {"--client-id", "keeper", "--board", "none"});
        QVERIFY(keeps(m_broker, discovery, "{"));
        const auto forget = TestSupport::run(
            VANTRELO_MQTT, {"--host", "127.0.0.1", "--port", QString::number(m_broker.port()),
                            "--node-id", "n1", "--client-id", "keeper", "--forget", "board.1"});
        QCOMPARE(forget.status, 0);
        QTest::qWait(300);
        QVERIFY2(keeper->state() == QProcess::Running, qPrintable(stderrOf(*keeper)));
        QVERIFY(TestSupport::signal(*keeper, SIGKILL));
        keeper->waitForFinished();
        QVERIFY(keepsNothing(m_broker, discovery));
        QVERIFY(keepsNothing(m_broker, "vantrelo/n1/board.1/#"));
    }

    // Last: the bus goes away, and the bridge ends, offline.
    void sessionBusGoingAwayEndsTheBridge()
    {
        m_bridge = startBridge(m_broker);
        Subscriber sub(m_broker, "vantrelo/n1/bridge/state");
        QVERIFY(sees(sub, "vantrelo/n1/bridge/state online"));
        m_copy.reset();
        m_bus.stop();
        QVERIFY(m_bridge->waitForFinished(5000));
        QCOMPARE(m_bridge->exitCode(), 1);
        QVERIFY(stderrOf(*m_bridge).contains("the session bus went away"));
        QVERIFY(keeps(m_broker, "vantrelo/n1/bridge/state", "offline"));
    }

private:
    // A bridge on the test's bus (or another), node n1 unless the arguments name another.
    // A client id of its own unless told to take the default one (the node's).
    std::unique_ptr<QProcess> startBridge(const Broker &broker, const QStringList &extra = {},
                                          const QProcessEnvironment &env = {},
                                          bool defaultClientId = false)
    {
        auto bridge = std::make_unique<TestSupport::Child>();
        m_stderr.remove(bridge.get()); // an earlier bridge's, at the same address
        bridge->setProcessEnvironment(env.isEmpty() ? m_bus.environment() : env);
        const QStringList id = {"-i", QString("test%1").arg(++m_bridges)};
        // As its unit runs it: nothing writable and executable at once.
        const auto [program, args] = TestSupport::withoutWriteExec(
            VANTRELO_MQTT, QStringList{"-h", "127.0.0.1", "-p", QString::number(broker.port()),
                                       "--node-id", "n1"} +
                               (defaultClientId ? QStringList() : id) + extra);
        bridge->start(program, args);
        bridge->waitForStarted();
        return bridge;
    }
    QString stderrOf(QProcess &p)
    {
        return QString::fromUtf8(m_stderr[&p] += p.readAllStandardError());
    }

    TestSupport::PrivateBus m_bus;
    Broker m_broker;
    std::unique_ptr<TestSupport::ProgramCopy> m_copy;
    std::unique_ptr<QProcess> m_bridge;
    QHash<QProcess *, QByteArray> m_stderr;
    int m_bridges = 0;
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
