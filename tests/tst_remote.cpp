// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The remote interface on the link with the fake port, called over a private session bus
// through a second connection, as another program would.

#include "FakeCopy.h"
#include "TestSupport.h"

#include "client/BoardClient.h"
#include "common/BoardBus.h"
#include "common/Monotonic.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QSignalSpy>

using Bytes = QList<QByteArray>;

namespace {

const QString path = QString("/org/vantrelo/Board");
const QString interface = QString("org.vantrelo.Board1");
const QString error = QString("org.vantrelo.Board1.Error.");

struct Rig : FakeCopy
{
    explicit Rig(const QString &address, const QString &name = QString("board.1"))
        : FakeCopy(address, name, QString("7")),
          clientBus(QDBusConnection::connectToBus(address, "client-" + name)), client(clientBus)
    {
    }
    ~Rig() { QDBusConnection::disconnectFromBus(clientBus.name()); }
    // A call from the other connection; the reply, or an error message after 5 s.
    QDBusMessage await(const QDBusMessage &message)
    {
        QDBusPendingCall pending = clientBus.asyncCall(message);
        (void)QTest::qWaitFor([&] { return pending.isFinished(); }, 5000);
        return pending.reply();
    }
    QDBusMessage call(const QString &method, const QVariantList &args = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(BoardBus::serviceName(service.name()),
                                                              path, interface, method);
        message.setArguments(args);
        return await(message);
    }
    QVariantMap properties()
    {
        QDBusMessage get = QDBusMessage::createMethodCall(
            BoardBus::serviceName(service.name()), path, QString("org.freedesktop.DBus.Properties"),
            QString("GetAll"));
        get << interface;
        return qdbus_cast<QVariantMap>(await(get).arguments().value(0));
    }

    QDBusConnection clientBus;
    BoardClient client;
};

} // namespace

class TestRemote : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(!m_bus.address().isEmpty(), "dbus-daemon did not start"); }

    void commands_data()
    {
        QTest::addColumn<int>("phase"); // 0 searching, 1 connected, 2 device lost, 3 link restarted
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QString>("refusal"); // the error's last part; empty: none
        QTest::addColumn<QByteArray>("frame");
        const auto row = [](const char *tag, int phase, const char *method, QVariantList args,
                            const char *refusal, const char *frame = "") {
            QTest::newRow(tag) << phase << method << args << refusal << QByteArray(frame);
        };
        const QVariantList two = {uint(2), true};
        row("SetOutput 2 on", 1, "SetOutput", two, "", "7O2H\r");
        row("SetOutput 4 off", 1, "SetOutput", {uint(4), false}, "", "7O4L\r");
        row("ToggleOutput 3 on", 1, "ToggleOutput", {uint(3)}, "", "7O3L\r");
        row("SetAllOutputs off", 1, "SetAllOutputs", {false}, "", "7OAL\r");
        row("PulseOutput 2 for a day", 1, "PulseOutput", {uint(2), uint(86400000)}, "",
            "7O2P86400000\r");
        row("PulseOutput 2 0 ms", 1, "PulseOutput", {uint(2), uint(0)}, "InvalidDuration");
        row("PulseOutput 2 86400001 ms", 1, "PulseOutput", {uint(2), uint(86400001)},
            "InvalidDuration");
        row("PulseOutput 5", 1, "PulseOutput", {uint(5), uint(500)}, "NoSuchOutput");
        row("pulse, searching", 0, "PulseOutput", {uint(1), uint(500)}, "NotConnected");
        for (const uint n : {0u, 5u, 16u, 4294967295u})
            row(qPrintable(QString("SetOutput %1").arg(n)), 1, "SetOutput", {n, true},
                "NoSuchOutput");
        row("ToggleOutput 0", 1, "ToggleOutput", {uint(0)}, "NoSuchOutput");
        row("searching", 0, "SetOutput", two, "NotConnected");
        row("all, searching", 0, "SetAllOutputs", {true}, "NotConnected");
        row("device lost", 2, "SetOutput", two, "NotConnected");
        row("toggle, device lost", 2, "ToggleOutput", {uint(1)}, "NotConnected");
        row("after a save", 3, "SetOutput", two, "NotConnected");
        row("wrong types", 1, "SetOutput", {QString("2"), true}, "");
    }
    void commands()
    {
        QFETCH(int, phase);
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        QFETCH(QString, refusal);
        QFETCH(QByteArray, frame);
        Rig rig(m_bus.address());
        QCOMPARE(rig.registration, QString());
        if (phase > 0) {
            QVERIFY(rig.connect());
            rig.port.receive("7O3H\r");
        }
        if (phase == 2)
            rig.port.loseDevice();
        if (phase == 3)
            rig.link.start(rig.link.settings());
        rig.port.written.clear();
        const QDBusMessage reply = rig.call(method, args);
        const bool badTypes = QTest::currentDataTag() == QByteArray("wrong types");
        if (refusal.isEmpty() && !badTypes) {
            QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
            QCOMPARE(rig.port.written, Bytes{frame});
            return;
        }
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        if (!badTypes)
            QCOMPARE(reply.errorName(), error + refusal);
        QVERIFY(!reply.errorMessage().isEmpty());
        QVERIFY(rig.port.written.isEmpty());
        QVERIFY(!rig.link.hasFailed());
    }

    // A call with a deadline is carried out before it or never: one that comes too late, and one
    // that waits behind an unanswered command until its deadline passes, write nothing.
    void deadlines()
    {
        Rig rig(m_bus.address());
        rig.link.start({1, QString("300"), QString("7")}); // a slow line: answers take long
        QVERIFY(rig.connect());
        const auto in = [](int ms) { return qulonglong(Monotonic::nowUsec() + ms * 1000); };
        rig.port.written.clear();
        QCOMPARE(rig.call("SetOutputBefore", {uint(2), true, in(-1)}).errorName(),
                 error + "DeadlinePassed");
        QCOMPARE(rig.call("ToggleOutputBefore", {uint(3), in(2000)}).type(),
                 QDBusMessage::ReplyMessage); // in flight, unanswered, for the reply time-out
        QCOMPARE(rig.call("SetAllOutputsBefore", {false, in(50)}).errorName(),
                 error + "DeadlinePassed");
        QCOMPARE(rig.call("PulseOutputBefore", {uint(1), uint(500), in(2000)}).type(),
                 QDBusMessage::ReplyMessage); // once the time-out has passed
        QCOMPARE(rig.port.written, (Bytes{"7O3H\r", "7O1P500\r"}));
    }

    void writeFailure_data()
    {
        QTest::addColumn<bool>("unattended");
        QTest::newRow("a window ends") << false;
        QTest::newRow("a service searches again") << true;
    }
    void writeFailure()
    {
        QFETCH(bool, unattended);
        Rig rig(m_bus.address());
        rig.link.setUnattended(unattended);
        QVERIFY(rig.connect());
        QSignalSpy ended(&rig.link, &ControllerLink::fatalEnd);
        rig.port.failWriteWith = PortErrors::WriteFailed;
        QCOMPARE(rig.call("SetOutput", {uint(1), true}).errorName(), error + "WriteFailed");
        QCOMPARE(rig.link.hasFailed(), !unattended);
        rig.port.failWriteWith = 0;
        rig.port.written.clear();
        // Later calls write nothing: a window is ending (and no call puts its end off), a
        // service is not connected until its board answers again.
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(rig.call("SetAllOutputs", {true}).errorName(),
                     error + (unattended ? "NotConnected" : "WriteFailed"));
            QTest::qWait(40);
        }
        QVERIFY(!rig.port.written.contains("7OAH\r")); // a service's search greets meanwhile
        QCOMPARE(rig.properties().value("Connected").toBool(), false);
        if (!unattended) {
            QTRY_COMPARE(ended.size(), 1);
            return;
        }
        rig.port.written.clear();
        QVERIFY(rig.connect());
        QCOMPARE(rig.call("SetOutput", {uint(2), true}).type(), QDBusMessage::ReplyMessage);
        QVERIFY(rig.port.written.contains("7O2H\r") && ended.isEmpty());
    }

    void propertiesAndSignals()
    {
        Rig rig(m_bus.address());
        rig.service.setOutputNames({"Pump", "Fan", "", "a,b"});
        const QString service = BoardBus::serviceName("board.1");
        QVERIFY(rig.client.follow(service));
        QSignalSpy changes(&rig.client, &BoardClient::propertiesChanged);
        QSignalSpy reports(&rig.client, &BoardClient::outputReported);
        QVariantMap p = rig.properties();
        const QStringList unknown = {"unknown", "unknown", "unknown", "unknown"};
        QCOMPARE(p, (QVariantMap{{"Name", "board.1"},
                                 {"Connected", false},
                                 {"Status", "Status:"},
                                 {"OutputNames", QStringList{"Pump", "Fan", "", "a,b"}},
                                 {"OutputStates", unknown},
                                 {"Port", 1},
                                 {"BitRate", "9600"},
                                 {"DeviceId", "7"}}));

        QVERIFY(rig.connect());
        rig.port.receive("7O2H\r7O2H\r7O9L\r"); // a repeat is reported again; 9 has no place
        QTRY_COMPARE(reports.size(), 2);
        QCOMPARE(reports[1], (QVariantList{service, uint(2), true}));
        p = rig.properties();
        QCOMPARE(p.value("Connected").toBool(), true);
        QCOMPARE(p.value("Status").toString(), rig.link.statusText());
        QCOMPARE(p.value("OutputStates").toStringList(),
                 (QStringList{"unknown", "on", "unknown", "unknown"}));
        const auto changed = [&](const QString &property) {
            QVariantList values;
            for (const QList<QVariant> &change : changes)
                if (const QVariantMap map = change[1].toMap(); map.contains(property))
                    values << map.value(property);
            return values;
        };
        QTRY_COMPARE(changed("Connected"), QVariantList{true});
        QCOMPARE(changed("OutputStates").size(), 1); // announced once, not for the repeat
        QVERIFY(changed("Status").contains(QString("???")));
        rig.port.loseDevice();
        QTRY_COMPARE(changed("Connected"), (QVariantList{true, false}));
        QTRY_COMPARE(changed("Status").last().toString(), QString("COM Port comm-error! 8020"));
        rig.service.setOutputNames({"Pump", "Fan", "Light", "a,b"});
        QTRY_COMPARE(changed("OutputNames").size(), 1);
        rig.link.start({3, QString("19200"), QString("8")});
        QTRY_COMPARE(changed("Port"), QVariantList{3});
        QCOMPARE(changed("DeviceId"), QVariantList{QString("8")});
    }

    void takenName()
    {
        Rig first(m_bus.address(), QString("pump"));
        QCOMPARE(first.registration, QString());
        FakeSerialPort port;
        ControllerLink link(&port);
        BoardService second(&link, QString("pump"));
        QDBusConnection bus = QDBusConnection::connectToBus(m_bus.address(), "second");
        QVERIFY2(second.registerOn(bus).contains("held by another copy"),
                 qPrintable(second.registerOn(bus)));
        QVERIFY(bus.objectRegisteredAt(path) == nullptr); // nothing of it stays on the bus
        QDBusConnection::disconnectFromBus("second");
        QCOMPARE(first.properties().value("Name").toString(), QString("pump"));
    }

private:
    TestSupport::PrivateBus m_bus;
};

QTEST_GUILESS_MAIN(TestRemote)
#include "tst_remote.moc"
