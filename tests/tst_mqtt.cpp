// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelo-mqtt end to end: a private session bus, a broker of the test's own on 127.0.0.1, a
// board as a service (vantrelod) on a simulator pty, and mosquitto's own clients on the other
// side.

#include "FakeCopy.h"
#include "TestSupport.h"

#include "mqtt/MqttClient.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

using TestSupport::Broker;
using TestSupport::Subscriber;

namespace {

const QString discovery2 = QStringLiteral("homeassistant/switch/vantrelo_board_2e1/output2/config");

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
    return run(QStringLiteral("mosquitto_pub"),
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

// Whether the broker keeps, within 5 s, a message on the topic whose "topic payload" starts so:
// what a newcomer receives.
bool keeps(const Broker &broker, const QString &topic, const QString &start)
{
    for (int i = 0; i < 25; ++i) {
        Subscriber sub(broker, topic);
        if (sees(sub, start, 200, true))
            return true;
    }
    return false;
}

// The CA, a server certificate for 127.0.0.1 that it signs, and a second CA that signs nothing.
bool makeCertificates(const QString &dir)
{
    const auto path = [&](const char *name) { return dir + u'/' + QLatin1String(name); };
    const QString subject = QStringLiteral("/CN=Vantrelo test CA");
    if (!writeFile(path("ext"), "subjectAltName=DNS:localhost,IP:127.0.0.1\n"))
        return false;
    for (const char *ca : {"ca", "other"})
        if (run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            subject, "-keyout", path(ca) + ".key", "-out", path(ca) + ".crt"}) != 0)
            return false;
    if (run("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                        path("server.key"), "-out", path("server.csr")}) != 0 ||
        run("openssl", {"x509", "-req", "-in", path("server.csr"), "-CA", path("ca.crt"), "-CAkey",
                        path("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", path("ext"),
                        "-out", path("server.crt")}) != 0)
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

    // Discovery, availability, status and states, all retained; an old retained command is
    // not carried out.
    void bridgesTheRunningCopy()
    {
        QVERIFY(publish(m_broker, "vantrelo/board.1/output/4/set", "ON", {"-r"}));
        m_bridge = startBridge(m_broker);
        Subscriber sub(m_broker, "#");
        QVERIFY2(sees(sub, "vantrelo/bridge/state online"), qPrintable(stderrOf(*m_bridge)));
        QVERIFY(sees(sub, "vantrelo/board.1/availability online"));
        QVERIFY(sees(sub, "vantrelo/board.1/status COM:1 Baud:9600"));
        for (int n = 1; n <= 4; ++n)
            QVERIFY(sees(sub, QStringLiteral("vantrelo/board.1/output/%1 OFF").arg(n)));
        QVERIFY(sees(sub, discovery2 + u' '));
        for (const QString &line : sub.lines())
            if (line.mid(2).startsWith(discovery2 + ' ')) {
                const QJsonObject doc =
                    QJsonDocument::fromJson(line.section(' ', 2).toUtf8()).object();
                QCOMPARE(doc["name"].toString(), QString("Fan"));
                QCOMPARE(doc["command_topic"].toString(), QString("vantrelo/board.1/output/2/set"));
            }
        QTRY_VERIFY(stderrOf(*m_bridge).contains(
            "ignored vantrelo/board.1/output/4/set: a retained command"));
        QVERIFY(!m_copy->sim.received().contains("O4H<CR>"));
        QVERIFY(publish(m_broker, "vantrelo/board.1/output/4/set", {}, {"-r"})); // clears it
    }

    void commandReachesTheBoard()
    {
        const qsizetype before = m_copy->sim.received().size();
        QVERIFY(publish(m_broker, "vantrelo/board.1/output/2/set", "ON"));
        QTRY_VERIFY(m_copy->sim.received().mid(before).contains("O2H<CR>"));
        QVERIFY(keeps(m_broker, "vantrelo/board.1/output/2", "vantrelo/board.1/output/2 ON"));
        QVERIFY(publish(m_broker, "vantrelo/board.1/output/2/set", "TOGGLE"));
        QTRY_VERIFY(m_copy->sim.received().mid(before).contains("O2L<CR>"));
    }

    void refusedCommandsWriteNothing()
    {
        // Which payloads and topics are refused is the topic parser's; here, that a refusal
        // writes nothing and says so, and that a copy not on the bus is one.
        const QList<QPair<QString, QByteArray>> refused = {
            {"vantrelo/board.1/output/1/set", "on"},
            {"vantrelo/board.1/output/1/set", QByteArray("O\0N\xff", 4)},
            {"vantrelo/board.1/output/5/set", "ON"},
            {"vantrelo/board.9/output/1/set", "ON"},
        };
        const qsizetype before = m_copy->sim.received().size();
        const qsizetype ignoredBefore = stderrOf(*m_bridge).count("ignored ");
        for (const auto &[topic, payload] : refused)
            QVERIFY(publish(m_broker, topic, payload));
        QVERIFY(publish(m_broker, "vantrelo/board.1/output/3/set", "ON")); // a mark behind them
        QTRY_VERIFY(m_copy->sim.received().mid(before).contains("O3H<CR>"));
        QCOMPARE(m_copy->sim.received().mid(before), QStringList{"O3H<CR>"});
        QCOMPARE(stderrOf(*m_bridge).count("ignored ") - ignoredBefore, refused.size());
    }

    void hubAnnouncementRepublishesDiscovery()
    {
        QVERIFY(publish(m_broker, discovery2, {}, {"-r"})); // the hub forgot it
        QVERIFY(publish(m_broker, "homeassistant/status", "online"));
        QVERIFY(keeps(m_broker, discovery2, discovery2 + " {"));
    }

    void copyQuitsAndComesBack()
    {
        Subscriber sub(m_broker, "vantrelo/board.1/availability");
        m_copy->quit();
        QVERIFY(sees(sub, "vantrelo/board.1/availability offline"));
        Subscriber back(m_broker, "vantrelo/board.1/availability"); // the kept one is offline
        m_copy->start();
        QVERIFY(sees(back, "vantrelo/board.1/availability online", 10000));
        Subscriber state(m_broker, "vantrelo/board.1/output/1"); // the new copy's echoes
        QVERIFY(publish(m_broker, "vantrelo/board.1/output/1/set", "ON"));
        QVERIFY(sees(state, "vantrelo/board.1/output/1 ON"));
    }

    void brokerRestartHeals()
    {
        m_broker.stop();
        QVERIFY(m_broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(stderrOf(*m_bridge).count("connected to") == 2, 10000);
        Subscriber sub(m_broker, "#");
        QVERIFY(sees(sub, "vantrelo/bridge/state online"));
        QVERIFY(sees(sub, "vantrelo/board.1/availability online"));
        QVERIFY(sees(sub, "vantrelo/board.1/output/3 ON"));
        QVERIFY(sees(sub, discovery2 + u' '));
        QVERIFY(stderrOf(*m_bridge).contains("Trying again in 1 s."));
    }

    // A copy in this process on the fake port, so that the test holds its link and its names.
    // A second bridge, under prefixes of its own, takes it alone (--board).
    void copyOnTheFakePort()
    {
        FakeCopy copy(m_bus.address(), QStringLiteral("fake")),
            named(m_bus.address(), QStringLiteral("bridge"));
        QVERIFY(copy.registration.isEmpty() && named.registration.isEmpty());
        copy.service.setOutputNames({"A", "B", "C", "D"});
        Subscriber sub(m_broker, "t2/#"), docs(m_broker, "ha2/#");
        auto bridge = startBridge(m_broker, {"--prefix", "t2", "--discovery-prefix", "ha2",
                                             "--board", "fake", "--board", "bridge"});
        QVERIFY2(sees(sub, "t2/fake/availability offline"), qPrintable(stderrOf(*bridge)));
        QVERIFY(copy.connect());
        QVERIFY(sees(sub, "t2/fake/availability online")); // only while the board answers
        copy.port.receive("O2H\r");
        QVERIFY(sees(sub, "t2/fake/output/2 ON"));
        copy.service.setOutputNames(
            {"A", "Renamed", "C", "D"}); // a Save: the hub learns the new name
        QTRY_VERIFY(docs.lines()
                        .filter("ha2/switch/vantrelo_fake/output2/config ")
                        .join(u'\n')
                        .contains("\"name\":\"Renamed\""));
        Subscriber lost(m_broker, "t2/fake/availability");
        copy.port.loseDevice();
        QVERIFY(sees(lost, "t2/fake/availability offline"));
        const QString all = sub.lines().join(u'\n');
        QVERIFY2(!all.contains("t2/fake/output/1 ") && !all.contains("t2/board.1/") &&
                     !all.contains("t2/bridge/availability"),
                 qPrintable(all)); // no unknown state, no copy left out, none named bridge
        QVERIFY(stderrOf(*bridge).contains("a copy named \"bridge\" is not bridged"));
    }

    // Without a broker every attempt is refused at once; the waits double up to the last.
    void retriesBackOff()
    {
        MqttClient::Options options;
        options.host = QStringLiteral("127.0.0.1");
        options.port = TestSupport::freePort();
        options.firstRetry = std::chrono::milliseconds(20);
        options.lastRetry = std::chrono::milliseconds(80);
        MqttClient client(options);
        QList<qint64> waits;
        connect(
            &client, &MqttClient::connectionFailed, this,
            [&](const QString &, std::chrono::milliseconds retryIn) { waits << retryIn.count(); });
        QCOMPARE(client.prepare(), QString());
        client.start();
        QTRY_VERIFY(waits.size() >= 5);
        QCOMPARE(waits.mid(0, 5), (QList<qint64>{20, 40, 80, 80, 80}));
    }

    void killedBridgeIsOffline()
    {
        Subscriber sub(m_broker, "vantrelo/bridge/state");
        QVERIFY(sees(sub, "vantrelo/bridge/state online"));
        ::kill(pid_t(m_bridge->processId()), SIGKILL);
        QVERIFY(sees(sub, "vantrelo/bridge/state offline"));
        QVERIFY(keeps(m_broker, "vantrelo/bridge/state", "vantrelo/bridge/state offline"));
    }

    void passwordFileOthersCanRead()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("password");
        QVERIFY(
            writeFile(file, "secret\n",
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
        const auto bridge =
            TestSupport::run(VANTRELO_MQTT, {"--username", "u", "--password-file", file});
        QCOMPARE(bridge.status, 2);
        QVERIFY(bridge.err.contains("can be read by others (mode 0604)"));
    }

    void credentials_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right") << QByteArray("open sesame") << true;
        QTest::newRow("wrong") << QByteArray("sesame") << false;
    }
    void credentials()
    {
        QFETCH(QByteArray, password);
        QFETCH(bool, accepted);
        Broker broker("password_file " + QFile::encodeName(m_broker.filePath("passwd")) +
                      "\nallow_anonymous false\n");
        QCOMPARE(
            run("mosquitto_passwd", {"-c", "-b", m_broker.filePath("passwd"), "vt", "open sesame"}),
            0);
        QFile::setPermissions(m_broker.filePath("passwd"),
                              QFileDevice::ReadOwner | QFileDevice::ReadOther);
        QVERIFY2(broker.start(), broker.log().constData());
        QTemporaryDir dir;
        const QString file = dir.filePath("password");
        QVERIFY(writeFile(file, password + '\n', QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        auto bridge = startBridge(broker, {"--username", "vt", "--password-file", file});
        Subscriber sub(broker, "vantrelo/bridge/state", {"-u", "vt", "-P", "open sesame"});
        if (accepted) {
            QVERIFY2(sees(sub, "vantrelo/bridge/state online"),
                     qPrintable(stderrOf(*bridge) + broker.log()));
        } else {
            QTRY_VERIFY2(stderrOf(*bridge).contains("the broker refused the connection: "
                                                    "Connection Refused: not authorised."),
                         qPrintable(stderrOf(*bridge)));
            QVERIFY(sub.lines().isEmpty());
        }
    }

    void tls_data()
    {
        QTest::addColumn<QString>("ca");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("trusted") << "ca.crt" << true;
        QTest::newRow("untrusted") << "other.crt" << false;
    }
    void tls()
    {
        QFETCH(QString, ca);
        QFETCH(bool, accepted);
        Broker broker("cafile " + QFile::encodeName(m_broker.filePath("ca.crt")) + "\ncertfile " +
                      QFile::encodeName(m_broker.filePath("server.crt")) + "\nkeyfile " +
                      QFile::encodeName(m_broker.filePath("server.key")) + '\n');
        if (!QFile::exists(m_broker.filePath("ca.crt")))
            QVERIFY(makeCertificates(m_broker.filePath({})));
        QVERIFY2(broker.start(), broker.log().constData());
        auto bridge =
            startBridge(broker, {"--cafile", m_broker.filePath(ca), "--client-id", "tls"});
        Subscriber sub(broker, "vantrelo/bridge/state", {"--cafile", m_broker.filePath("ca.crt")});
        if (accepted) {
            QVERIFY(sees(sub, "vantrelo/bridge/state online"));
        } else {
            QTRY_VERIFY(stderrOf(*bridge).contains("certificate verify failed"));
            QVERIFY(sub.lines().isEmpty());
        }
    }

    // Last: the bus goes away, and the bridge ends, offline.
    void sessionBusGoingAwayEndsTheBridge()
    {
        m_bridge = startBridge(m_broker);
        Subscriber sub(m_broker, "vantrelo/bridge/state");
        QVERIFY(sees(sub, "vantrelo/bridge/state online"));
        m_copy.reset();
        m_bus.stop();
        QVERIFY(m_bridge->waitForFinished(5000));
        QCOMPARE(m_bridge->exitCode(), 1);
        QVERIFY(stderrOf(*m_bridge).contains("the session bus went away"));
        QVERIFY(keeps(m_broker, "vantrelo/bridge/state", "vantrelo/bridge/state offline"));
    }

private:
    struct BridgeProcess : QProcess
    {
        ~BridgeProcess() override
        {
            kill();
            waitForFinished(5000);
        }
    };
    std::unique_ptr<QProcess> startBridge(const Broker &broker, const QStringList &extra = {})
    {
        auto bridge = std::make_unique<BridgeProcess>();
        bridge->setProcessEnvironment(m_bus.environment());
        bridge->start(VANTRELO_MQTT,
                      QStringList{"--host", "127.0.0.1", "--port", QString::number(broker.port()),
                                  "--client-id", QString("test%1").arg(++m_bridges)} +
                          extra);
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
