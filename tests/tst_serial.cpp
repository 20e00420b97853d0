// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The port: settings texts, port numbers to devices, and the real QSerialPort against the
// simulator on a pty.

#include "Pty.h"
#include "TestSupport.h"

#include "serial/PortAdvice.h"
#include "serial/PortMap.h"
#include "serial/SystemSerialPort.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <csignal>
#include <ctime>
#include <termios.h>

using namespace PortErrors;

namespace {
const LineSettings line9600;
} // namespace

class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    void settingsTexts()
    {
        using P = LineSettings::Parity;
        using S = LineSettings::StopBits;
        const std::pair<const char *, LineSettings> good[] = {
            {"9600,N,8,1", {9600, P::None, 8, S::One}},
            {"9600,n,8,1", {9600, P::None, 8, S::One}},
            {"115200,E,7,2", {115200, P::Even, 7, S::Two}},
            {"300,o,5,1.5", {300, P::Odd, 5, S::OneAndHalf}},
            {"19200,M,6,1", {19200, P::Mark, 6, S::One}},
            {"1200,s,8,2", {1200, P::Space, 8, S::Two}}};
        for (const auto &[text, fields] : good)
            QVERIFY2(LineSettings::parse(QString::fromLatin1(text)) == fields, text);
        for (const char *bad : {"9600", "9600,N,8,1,", "0,N,8,1", "-9600,N,8,1", "96O0,N,8,1",
                                "9600,X,8,1", "9600,N,9,1", "9600,N,4,1", "9600,N,8,3",
                                "9600 ,N,8,1", "9600.5,N,8,1", "9999999999,N,8,1"})
            QVERIFY2(!LineSettings::parse(QString::fromLatin1(bad)), bad);
    }

    void portNumbersToDevices()
    {
        QCOMPARE(PortMap::orderDevices(
                     {"/dev/ttyS1", "/dev/ttyACM0", "/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyUSB2"}),
                 (QStringList{"/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyS0",
                              "/dev/ttyS1"}));
        QTemporaryDir dir;
        const QString target = dir.filePath("target"), link = dir.filePath("COM1"),
                      gone = dir.filePath("COM2");
        QFile(target).open(QIODevice::WriteOnly);
        QFile::link(target, link);
        QFile::link(dir.filePath("nothing"), gone);
        // ttyUSB0 listed twice is one port: COM1 to COM3 are USB0, ACM0, S0.
        const QStringList present = {"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyUSB0"};
        QCOMPARE(PortMap::resolve(2, dir.filePath("COM9"), present).device,
                 "/dev/ttyACM0"); // the n-th
        QCOMPARE(PortMap::resolve(4, dir.filePath("COM9"), present).device, QString());
        QCOMPARE(PortMap::resolve(1, link, present).device,
                 QFileInfo(target).canonicalFilePath()); // COM<n> wins
        QCOMPARE(PortMap::resolve(1, gone, present).device,
                 QString()); // a link to a device that is gone
        QCOMPARE(PortMap::resolve(0, link, present).device, QString());
    }

    void overPty()
    {
        QTemporaryDir dir;
        TestSupport::Simulator sim(dir.path(), 1,
                                   {"--id", "1", "--interlock", "1,2", "--max-on", "1"});
        QVERIFY(sim.start());
        SystemSerialPort port(dir.path(), [] { return QStringList(); });
        QCOMPARE(port.write("1AT\r").number, PortNotOpen);
        const PortError none = port.open(2, line9600); // no COM2 entry, no devices
        QVERIFY(none.number == InvalidPortNumber && none.detail.contains("COM2"));
        QCOMPARE(port.open(1, line9600).number, 0);
        QCOMPARE(port.open(1, line9600).number, PortAlreadyOpen);
        SystemSerialPort other(dir.path(), [] { return QStringList(); });
        QCOMPARE(other.open(1, line9600).number, PortAlreadyOpen); // held by this program
        QVERIFY(port.describePort(1).contains(sim.link()));

        QByteArray received;
        connect(&port, &SerialPort::received, this,
                [&](const QByteArray &bytes) { received += bytes; });
        QCOMPARE(port.write("1AT\r").number, 0);
        QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("1OK\r"), 3000);
        port.close();
        QCOMPARE(port.open(1, line9600).number, 0); // the simulator keeps its pty between opens
        // The simulator keeps time as the board does: the dead time, a pulse, the longest
        // on-time.
        QCOMPARE(port.write("1O2H\r1O3P100\r").number, 0);
        QTRY_VERIFY_WITH_TIMEOUT(received.endsWith("1O3H\r1O2H\r1O3L\r"), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(received.endsWith("1O2L\r"), 3000);
    }

    // The simulator sends what a board sends on its own: a button's switching, under --no-echo
    // too, without breaking a frame it is half-way through; and what its clock switched, even
    // when a frame is read before the clock's own turn.
    void simulatorReportsOnItsOwn()
    {
        QTemporaryDir dir;
        TestSupport::Simulator quiet(dir.path(), 1,
                                     {"--id", "1", "--no-echo", "--toggle-every", "40"});
        TestSupport::Simulator timed(dir.path(), 2, {"--id", "1"});
        QVERIFY(quiet.start() && timed.start());
        SystemSerialPort one(dir.path(), [] { return QStringList(); }),
            two(dir.path(), [] { return QStringList(); });
        QByteArray fromOne, fromTwo;
        connect(&one, &SerialPort::received, this, [&](const QByteArray &b) { fromOne += b; });
        connect(&two, &SerialPort::received, this, [&](const QByteArray &b) { fromTwo += b; });
        QVERIFY(one.open(1, line9600).number == 0 && two.open(2, line9600).number == 0);
        QCOMPARE(one.write("1O").number, 0);
        QTest::qWait(150); // buttons pressed between the frame's halves
        QCOMPARE(one.write("2H\r").number, 0);
        QTRY_VERIFY(quiet.received().contains("1O2H<CR>"));
        QVERIFY2(fromOne.contains("1O1H\r"), fromOne.constData()); // though it echoes no command

        QCOMPARE(two.write("1O3P50\r1O4P5000\r").number, 0);
        QTRY_COMPARE(fromTwo, QByteArray("1O3H\r1O4H\r"));
        QVERIFY(timed.signal(SIGSTOP)); // past output 3's end; a frame waits to be read first
        QTest::qWait(150);
        QCOMPARE(two.write("1AT\r").number, 0);
        QVERIFY(timed.signal(SIGCONT));
        QTRY_COMPARE_WITH_TIMEOUT(fromTwo, QByteArray("1O3H\r1O4H\r1O3L\r1OK\r"), 1000);
    }

    void deviceGoesAwayAndComesBack()
    {
        QTemporaryDir dir;
        auto sim = std::make_unique<TestSupport::Simulator>(dir.path(), 1);
        QVERIFY(sim->start());
        SystemSerialPort port(dir.path(), [] { return QStringList(); });
        QSignalSpy lost(&port, &SerialPort::deviceLost);
        QCOMPARE(port.open(1, line9600).number, 0);
        // The failures name the device that went away, as it was opened.
        const QString opened = port.describePort(1) + ": ";
        QVERIFY(opened.contains("/dev/pts/"));
        sim->kill(); // the adapter is pulled: a write fails at the call
        const PortError writing = port.write("AT\r");
        QVERIFY2(writing.number == WriteFailed && writing.detail.startsWith(opened),
                 qPrintable(writing.detail));
        QVERIFY(!port.isOpen());
        QCOMPARE(port.open(1, line9600).number, InvalidPortNumber);
        sim = std::make_unique<TestSupport::Simulator>(dir.path(), 1);
        QVERIFY(sim->start());
        QCOMPARE(port.open(1, line9600).number, 0);
        const QString reopened = port.describePort(1) + ": ";
        sim->kill(); // or the read notices first
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 1000);
        const auto error = lost[0][0].value<PortError>();
        QVERIFY2(error.number == ReadFailed && error.detail.startsWith(reopened),
                 qPrintable(error.detail));
        QVERIFY(!port.isOpen());
        const double before = double(std::clock()) / CLOCKS_PER_SEC;
        QTest::qWait(400);
        QVERIFY2(double(std::clock()) / CLOCKS_PER_SEC - before < 0.1,
                 "CPU spin after the device went away");
        QCOMPARE(lost.size(), 1);

        sim = std::make_unique<TestSupport::Simulator>(dir.path(), 1); // plugged in again
        QVERIFY(sim->start());
        QCOMPARE(port.open(1, line9600).number, 0);
        QCOMPARE(port.write("AT\r").number, 0);
        QTRY_VERIFY_WITH_TIMEOUT(sim->received().contains("AT<CR>"), 3000);
    }

    // The line settings reach the device, read back from the pty's termios. A pty keeps the
    // rate, the stop bits and odd parity, but always reports 8 data bits and no parity bit: the
    // kernel's pty driver forces them, so data bits and even parity cannot be seen here.
    void lineSettingsReachTheDevice_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<int>("speed");
        QTest::addColumn<bool>("twoStopBits");
        QTest::addColumn<bool>("odd");
        QTest::newRow("19200,E,7,2") << "19200,E,7,2" << int(B19200) << true << false;
        QTest::newRow("4800,O,8,1") << "4800,O,8,1" << int(B4800) << false << true;
        QTest::newRow("115200,N,8,1") << "115200,N,8,1" << int(B115200) << false << false;
    }
    void lineSettingsReachTheDevice()
    {
        QFETCH(QString, settings);
        QTemporaryDir dir;
        Pty pty;
        QCOMPARE(pty.open(dir.filePath("COM1")), QString());
        SystemSerialPort port(dir.path(), [] { return QStringList(); });
        QCOMPARE(port.open(1, *LineSettings::parse(settings)).number, 0);
        termios t{};
        QCOMPARE(tcgetattr(pty.controllerFd(), &t), 0); // the master reads the device's own
        QTEST(int(cfgetospeed(&t)), "speed");
        QTEST(bool(t.c_cflag & CSTOPB), "twoStopBits");
        QTEST(bool(t.c_cflag & PARODD), "odd");
    }

    // The system's explanation leads; the advice follows (the ports present, for a number
    // that names none); a failure without advice is the explanation alone.
    void advice()
    {
        const auto advice = [](int number, const QStringList &ports = {}) {
            return portAdvice(number, QString("COM3: detail"), ports);
        };
        QVERIFY(advice(PermissionDenied).startsWith("COM3: detail\n"));
        QVERIFY(advice(PermissionDenied).contains("dialout"));
        QVERIFY(advice(InvalidPortNumber, {"COM1 = /dev/ttyS0"})
                    .endsWith("No such device. Ports present:\nCOM1 = /dev/ttyS0"));
        QVERIFY(advice(InvalidPortNumber).contains("No such device. No serial ports are present."));
        QCOMPARE(advice(WriteFailed), QString("COM3: detail"));
    }

    // A service numbers only its COM<n> entries: a missing one is no port, whatever devices the
    // machine has, and the message names the devices present for the user to link one.
    void entriesOnly_data()
    {
        QTest::addColumn<SystemSerialPort::Numbering>("numbering");
        QTest::newRow("a window numbers the devices")
            << SystemSerialPort::Numbering::EntriesThenDevices;
        QTest::newRow("a service does not") << SystemSerialPort::Numbering::EntriesOnly;
    }
    void entriesOnly()
    {
        QFETCH(SystemSerialPort::Numbering, numbering);
        QTemporaryDir dir;
        TestSupport::Simulator sim(dir.path(),
                                   2); // a device of the machine, as far as the port knows
        QVERIFY(sim.start());
        const QString device = QFileInfo(sim.link()).symLinkTarget();
        QVERIFY(QFile::remove(sim.link()));
        SystemSerialPort port(
            dir.path(), [&] { return QStringList{device}; }, numbering);
        const PortError error = port.open(1, line9600);
        if (numbering == SystemSerialPort::Numbering::EntriesThenDevices) {
            QCOMPARE(error.number, 0);
            QCOMPARE(port.write("AT\r").number, 0);
            QTRY_COMPARE(sim.received(), QStringList{"AT<CR>"});
            return;
        }
        QCOMPARE(error.number, InvalidPortNumber);
        QCOMPARE(error.detail, "COM1 -> " + dir.filePath("COM1") +
                                   " -> no such device; serial devices present: " + device +
                                   "; link one as " + dir.filePath("COM1"));
        QTest::qWait(100);
        QVERIFY(sim.log().contains("ready on") && sim.received().isEmpty());
    }

    void presentPorts()
    {
        QTemporaryDir dir;
        QFile::link(QString("/tmp/<b>evil</b>"), dir.filePath(QString("COM2")));
        QFile::link(dir.filePath(QString("x")), dir.filePath(QString("COMX")));
        SystemSerialPort port(dir.path(), [] {
            return QStringList{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyS1"};
        });
        QCOMPARE(port.presentPorts(),
                 (QStringList{"COM1 = /dev/ttyUSB0", "COM2 -> /tmp/<b>evil</b> (gone)",
                              "COM3 = /dev/ttyS1"}));
        QCOMPARE(port.describePort(2), QString("COM2 -> " + dir.filePath("COM2") +
                                               " -> /tmp/<b>evil</b> -> no such device"));
        // The user's own folder comes first, then the executable's.
        QTemporaryDir own;
        QFile::link(QString("/dev/null"), own.filePath(QString("COM2")));
        QFile::link(QString("/dev/zero"), own.filePath(QString("COM3")));
        SystemSerialPort both(QStringList{own.path(), dir.path()}, [] { return QStringList(); });
        QCOMPARE(both.presentPorts(), (QStringList{"COM2 -> /dev/null", "COM3 -> /dev/zero"}));
        QVERIFY(both.describePort(2).endsWith(own.filePath("COM2") + " -> /dev/null"));
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
