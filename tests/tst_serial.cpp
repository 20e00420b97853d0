// The serial component: settings texts, port numbers to devices, numbered failures, and the
// real QSerialPort against the simulator on a pty.

#include "TestSupport.h"

#include "serial/LineSettings.h"
#include "serial/PortMap.h"
#include "serial/QtSerialComm.h"

#include <QSignalSpy>
#include <QTemporaryDir>

using namespace CommErrors;

namespace {

// Runs op and returns the number it fails with, or 0.
template <typename Op> int failureOf(Op op)
{
    try {
        op();
    } catch (const CommError &e) {
        return e.number();
    }
    return 0;
}

QStringList noDevices()
{
    return {};
}

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    void settingsText_data();
    void settingsText();
    void deviceOrder();
    void resolve_data();
    void resolve();
    void refusals();
    void openFailures();
    void handshakeOverPty();
    void secondOpenOfHeldPortIsBusy();
    void deviceLossClosesPortWithoutSpinning();
    void presentPortsListsLinksAndDevices();
};

void TestSerial::settingsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    for (const char *good : {"9600,N,8,1", "9600,n,8,1", "115200,E,7,2", "300,o,5,1.5", "1,M,6,1",
                             "921600,s,8,2"})
        QTest::newRow(good) << QString::fromLatin1(good) << true;
    for (const char *bad : {"", "9600", "9600,N,8", "9600,N,8,1,", "0,N,8,1", "-9600,N,8,1",
                            "96OO,N,8,1", "9600,X,8,1", "9600,NN,8,1", "9600,N,9,1", "9600,N,4,1",
                            "9600,N,8,3", "9600,N,8,1.0", " 9600,N,8,1", "9600 ,N,8,1",
                            "9600.5,N,8,1", "9999999999,N,8,1", "+9600,N,8,1"})
        QTest::newRow(bad[0] ? bad : "empty") << QString::fromLatin1(bad) << false;
}

void TestSerial::settingsText()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QCOMPARE(LineSettings::parse(text).has_value(), ok);
    QtSerialComm port(QString(), noDevices);
    QCOMPARE(failureOf([&] { port.setSettings(text); }), ok ? 0 : InvalidPropertyValue);
}

void TestSerial::deviceOrder()
{
    const QStringList present = {"/dev/ttyS1", "/dev/ttyACM0", "/dev/ttyUSB10", "/dev/ttyS0",
                                 "/dev/ttyUSB2", "/dev/ttyAMA0", "/dev/ttyUSB0", "/dev/ttyS10",
                                 "/dev/ttyS2"};
    QCOMPARE(PortMap::orderDevices(present),
             (QStringList{"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyACM0",
                          "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                          "/dev/ttyS10"}));
}

void TestSerial::resolve_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("entry"); // "link", "dangling", "none"
    QTest::addColumn<QString>("device");
    QTest::newRow("n-th present") << 2 << "none" << "/dev/ttyACM0";
    QTest::newRow("first present") << 1 << "none" << "/dev/ttyUSB0";
    QTest::newRow("beyond the list") << 4 << "none" << "";
    QTest::newRow("zero") << 0 << "none" << "";
    QTest::newRow("negative") << -3 << "link" << "";
    QTest::newRow("COM link wins") << 1 << "link" << "TARGET";
    QTest::newRow("dangling COM link") << 1 << "dangling" << "";
}

void TestSerial::resolve()
{
    QFETCH(int, n);
    QFETCH(QString, entry);
    QFETCH(QString, device);
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("target"));
    QFile(target).open(QIODevice::WriteOnly);
    const QString link = dir.filePath(QStringLiteral("COM") + QString::number(n));
    if (entry == u"link")
        QFile::link(target, link);
    else if (entry == u"dangling")
        QFile::link(dir.filePath(QStringLiteral("gone")), link);
    const auto r = PortMap::resolve(n, link, {"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyS0"});
    QCOMPARE(r.device, device == u"TARGET" ? QFileInfo(target).canonicalFilePath() : device);
    if (entry != u"none" && n > 0)
        QCOMPARE(r.comLink, link);
}

void TestSerial::refusals()
{
    QtSerialComm port(QString(), noDevices);
    QCOMPARE(failureOf([&] { port.setCommPort(0); }), InvalidPortNumber);
    QCOMPARE(failureOf([&] { port.setCommPort(-1); }), InvalidPortNumber);
    QCOMPARE(failureOf([&] { port.setCommPort(16); }), 0);
    QCOMPARE(port.CommPort(), 16);
    QCOMPARE(failureOf([&] { port.setHandshaking(2); }), InvalidPropertyValue);
    QCOMPARE(failureOf([&] { port.Output("AT\r"); }), PortNotOpen);
    QCOMPARE(failureOf([&] { port.Input(); }), PortNotOpen);
    QCOMPARE(failureOf([&] { port.InBufferCount(); }), PortNotOpen);
    QCOMPARE(failureOf([&] { port.setPortOpen(false); }), 0); // closing a closed port is fine
}

void TestSerial::openFailures()
{
    QTemporaryDir dir;
    QtSerialComm port(dir.path(), noDevices);
    port.setCommPort(3);
    // No COM3 entry and no devices: no usable port. The explanation names the port.
    QCOMPARE(failureOf([&] { port.setPortOpen(true); }), InvalidPortNumber);
    QVERIFY2(port.lastDetail().contains(u"COM3"), qPrintable(port.lastDetail()));
    // A link to a device that is gone.
    QFile::link(dir.filePath(QStringLiteral("nothing")), dir.filePath(QStringLiteral("COM3")));
    QCOMPARE(failureOf([&] { port.setPortOpen(true); }), InvalidPortNumber);
    QVERIFY(!port.PortOpen());
}

void TestSerial::handshakeOverPty()
{
    QTemporaryDir dir;
    TestSupport::Simulator sim(dir.path(), 1, {QStringLiteral("--id"), QStringLiteral("1"),
                                               QStringLiteral("--lf")});
    QVERIFY(sim.start());

    QtSerialComm port(dir.path(), noDevices);
    port.setCommPort(1);
    port.setSettings(QStringLiteral("9600,n,8,1"));
    port.setPortOpen(true);
    QVERIFY(port.PortOpen());
    QCOMPARE(failureOf([&] { port.setPortOpen(true); }), PortAlreadyOpen);
    QCOMPARE(failureOf([&] { port.setCommPort(2); }), PortAlreadyOpen);
    // A pty has no modem lines: not asserting them is no failure.
    QCOMPARE(failureOf([&] {
                 port.setDTREnable(false);
                 port.setRTSEnable(false);
                 port.setHandshaking(0);
                 port.setRThreshold(1);
                 port.setInputLen(1);
             }),
             0);
    QVERIFY(port.describePort().contains(sim.link()));

    QByteArray received;
    QList<int> events;
    connect(&port, &SerialComm::OnComm, this, [&] {
        events << port.CommEvent();
        while (port.InBufferCount() > 0) {
            const QByteArray one = port.Input();
            QCOMPARE(one.size(), 1); // InputLen 1
            received += one;
        }
    });
    port.Output("1AT\r");
    QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("1OK\r\n"), 3000);
    QVERIFY(!events.isEmpty());
    QVERIFY(std::all_of(events.begin(), events.end(),
                        [](int e) { return e == SerialComm::comEvReceive; }));
    QTRY_VERIFY(sim.received().contains(QStringLiteral("1AT<CR>")));

    port.setPortOpen(false);
    QVERIFY(!port.PortOpen());
    // Reopening after a close works: the simulator keeps its pty alive between opens.
    port.setPortOpen(true);
    port.Output("1O2H\r");
    QTRY_VERIFY_WITH_TIMEOUT(received.endsWith("1O2H\r\n"), 3000);
}

void TestSerial::secondOpenOfHeldPortIsBusy()
{
    QTemporaryDir dir;
    TestSupport::Simulator sim(dir.path(), 1);
    QVERIFY(sim.start());
    QtSerialComm first(dir.path(), noDevices);
    first.setPortOpen(true);
    QtSerialComm second(dir.path(), noDevices);
    QCOMPARE(failureOf([&] { second.setPortOpen(true); }), PortAlreadyOpen);
    QVERIFY(!second.lastDetail().isEmpty());
}

void TestSerial::deviceLossClosesPortWithoutSpinning()
{
    QTemporaryDir dir;
    TestSupport::Simulator sim(dir.path(), 1);
    QVERIFY(sim.start());
    QtSerialComm port(dir.path(), noDevices);
    port.setPortOpen(true);
    QList<int> events;
    connect(&port, &SerialComm::OnComm, this, [&] { events << port.CommEvent(); });

    sim.kill();
    QTRY_VERIFY_WITH_TIMEOUT(!port.PortOpen(), 3000);
    QTRY_COMPARE(events.count(SerialComm::comEventDeviceLost), 1);
    QVERIFY(!port.lastDetail().isEmpty());

    // Nothing keeps running: half a second of events costs next to no CPU.
    const double before = TestSupport::cpuSeconds();
    QTest::qWait(500);
    const double used = TestSupport::cpuSeconds() - before;
    QVERIFY2(used < 0.1, qPrintable(QString::number(used)));
    QCOMPARE(events.count(SerialComm::comEventDeviceLost), 1);
    QCOMPARE(failureOf([&] { port.Output("AT\r"); }), PortNotOpen);
}

void TestSerial::presentPortsListsLinksAndDevices()
{
    QTemporaryDir dir;
    QFile::link(QStringLiteral("/tmp/<b>evil</b>"), dir.filePath(QStringLiteral("COM2")));
    QFile::link(dir.filePath(QStringLiteral("x")), dir.filePath(QStringLiteral("COMX")));
    QtSerialComm port(dir.path(), [] { return QStringList{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyS1"}; });
    QCOMPARE(port.presentPorts(), (QStringList{"COM1 = /dev/ttyUSB0", "COM2 -> /tmp/<b>evil</b> (gone)",
                                               "COM3 = /dev/ttyS1"}));
    port.setCommPort(2);
    QCOMPARE(port.describePort(),
             QString("COM2 -> " + dir.filePath("COM2") + " -> /tmp/<b>evil</b> -> no such device"));
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
