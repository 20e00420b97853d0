// The port: settings texts, port numbers to devices, and the real QSerialPort against the
// simulator on a pty.

#include "TestSupport.h"

#include "serial/PortMap.h"
#include "serial/SystemSerialPort.h"

#include <QSignalSpy>
#include <QTemporaryDir>

using namespace PortErrors;

namespace {
QStringList noDevices()
{
    return {};
}
const LineSettings line9600 = *LineSettings::parse(QStringLiteral("9600,n,8,1"));
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
    void overPty();
    void deviceLossClosesPortWithoutSpinning();
    void presentPorts();
};

void TestSerial::settingsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    for (const char *good : {"9600,N,8,1", "9600,n,8,1", "115200,E,7,2", "300,o,5,1.5"})
        QTest::newRow(good) << QString::fromLatin1(good) << true;
    for (const char *bad : {"9600", "9600,N,8,1,", "0,N,8,1", "-9600,N,8,1", "96O0,N,8,1", "9600,X,8,1",
                            "9600,N,9,1", "9600,N,8,3", "9600 ,N,8,1", "9600.5,N,8,1", "9999999999,N,8,1"})
        QTest::newRow(bad) << QString::fromLatin1(bad) << false;
}

void TestSerial::settingsText()
{
    QFETCH(QString, text);
    QTEST(LineSettings::parse(text).has_value(), "ok");
}

void TestSerial::deviceOrder()
{
    QCOMPARE(PortMap::orderDevices({"/dev/ttyS1", "/dev/ttyACM0", "/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyUSB2",
                                    "/dev/ttyUSB0"}),
             (QStringList{"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyS0",
                          "/dev/ttyS1"}));
}

void TestSerial::resolve_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("entry"); // "link", "dangling", "none"
    QTest::addColumn<QString>("device");
    QTest::newRow("n-th present") << 2 << "none" << "/dev/ttyACM0";
    QTest::newRow("beyond the list") << 4 << "none" << "";
    QTest::newRow("zero") << 0 << "none" << "";
    QTest::newRow("negative, even with a link") << -3 << "link" << "";
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
    if (entry != u"none")
        QFile::link(entry == u"link" ? target : dir.filePath(QStringLiteral("gone")), link);
    const auto r = PortMap::resolve(n, link, {"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyS0"});
    QCOMPARE(r.device, device == u"TARGET" ? QFileInfo(target).canonicalFilePath() : device);
}

void TestSerial::overPty()
{
    QTemporaryDir dir;
    TestSupport::Simulator sim(dir.path(), 1, {QStringLiteral("--id"), QStringLiteral("1")});
    QVERIFY(sim.start());

    SystemSerialPort port(dir.path(), noDevices);
    QCOMPARE(port.write("1AT\r").number, PortNotOpen);
    QCOMPARE(port.open(2, line9600).number, InvalidPortNumber); // no COM2 entry, no devices
    QVERIFY2(port.open(2, line9600).detail.contains("COM2"), "the explanation names the port");
    QCOMPARE(port.open(1, line9600).number, 0);
    QCOMPARE(port.open(1, line9600).number, PortAlreadyOpen);
    SystemSerialPort other(dir.path(), noDevices);
    QCOMPARE(other.open(1, line9600).number, PortAlreadyOpen); // held by this program
    QVERIFY(port.describePort(1).contains(sim.link()));

    QByteArray received;
    connect(&port, &SerialPort::received, this, [&](const QByteArray &bytes) { received += bytes; });
    QCOMPARE(port.write("1AT\r").number, 0);
    QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("1OK\r"), 3000);
    port.close();
    QVERIFY(!port.isOpen());
    QCOMPARE(port.open(1, line9600).number, 0); // the simulator keeps its pty between opens
    QCOMPARE(port.write("1O2H\r").number, 0);
    QTRY_VERIFY_WITH_TIMEOUT(received.endsWith("1O2H\r"), 3000);
}

void TestSerial::deviceLossClosesPortWithoutSpinning()
{
    QTemporaryDir dir;
    TestSupport::Simulator sim(dir.path(), 1);
    QVERIFY(sim.start());
    SystemSerialPort port(dir.path(), noDevices);
    QCOMPARE(port.open(1, line9600).number, 0);
    QSignalSpy lost(&port, &SerialPort::deviceLost);
    sim.kill();
    QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 3000);
    QVERIFY(!port.isOpen());
    const auto error = lost.first().first().value<PortError>();
    QCOMPARE(error.number, ReadFailed);
    QVERIFY(error.detail.contains(sim.link()));
    const double before = TestSupport::cpuSeconds();
    QTest::qWait(400);
    QVERIFY2(TestSupport::cpuSeconds() - before < 0.1, "CPU spin after the device went away");
    QCOMPARE(lost.size(), 1);
}

void TestSerial::presentPorts()
{
    QTemporaryDir dir;
    QFile::link(QStringLiteral("/tmp/<b>evil</b>"), dir.filePath(QStringLiteral("COM2")));
    QFile::link(dir.filePath(QStringLiteral("x")), dir.filePath(QStringLiteral("COMX")));
    SystemSerialPort port(dir.path(), [] { return QStringList{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyS1"}; });
    QCOMPARE(port.presentPorts(),
             (QStringList{"COM1 = /dev/ttyUSB0", "COM2 -> /tmp/<b>evil</b> (gone)", "COM3 = /dev/ttyS1"}));
    QCOMPARE(port.describePort(2),
             QString("COM2 -> " + dir.filePath("COM2") + " -> /tmp/<b>evil</b> -> no such device"));
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
