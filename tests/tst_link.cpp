// The controller link on the fake port, at a small time scale: the search and its rhythm,
// reply handling, the state query, the output commands and the fatal path.

#include "FakeSerialPort.h"

#include "link/ControllerLink.h"

#include <QSignalSpy>
#include <QTest>

using namespace PortErrors;
using Status = ControllerLink::Status;

namespace {

struct Shown
{
    qint64 at;
    Status status;
    QString text;
};

struct Rig
{
    explicit Rig(double scale = 0.1) : link(&port, LinkTimings{}.scaled(scale))
    {
        clock.start();
        QObject::connect(&link, &ControllerLink::statusChanged, [this](Status s, const QString &t) {
            shown << Shown{clock.elapsed(), s, t};
        });
        QObject::connect(&link, &ControllerLink::fatalEnd, [this] { ends << clock.elapsed(); });
    }
    void start(const QString &id = {}, const QString &baud = QStringLiteral("9600"), int number = 1)
    {
        link.start({number, baud, id});
    }
    void connect(const QByteArray &id = {})
    {
        start(QString::fromLatin1(id));
        QTRY_VERIFY(!port.written.isEmpty());
        port.receive(id + "OK\r");
        QTRY_VERIFY(port.written.contains(id + "OA\r"));
    }
    qint64 firstShown(const QString &text) const
    {
        for (const Shown &s : shown)
            if (s.text == text)
                return s.at;
        return -1;
    }

    FakeSerialPort port;
    ControllerLink link;
    QElapsedTimer clock;
    QList<Shown> shown;
    QList<qint64> ends;
};

} // namespace

class TestLink : public QObject
{
    Q_OBJECT
private slots:
    void searching();
    void searchRhythm();
    void attemptFailures_data();
    void attemptFailures();
    void replies_data();
    void replies();
    void handshakeAndStateQuery();
    void duringTheQueryDelay();
    void commands_data();
    void commands();
    void fatalPath();
    void stopSendsNothingMore();
    void lostDeviceIsReopenedWhileSearching();
};

void TestLink::searching()
{
    Rig rig;
    rig.start(QStringLiteral("7"), QStringLiteral("19200"), 3);
    QCOMPARE(rig.link.status(), Status::Searching);
    QCOMPARE(rig.link.statusText(), QStringLiteral("Status:"));
    QVERIFY(!rig.port.isOpen() && rig.port.written.isEmpty()); // one interval before the first
    QTRY_COMPARE(rig.port.written, QList<QByteArray>{"7AT\r"});
    QCOMPARE(rig.port.opened.size(), 1);
    QCOMPARE(rig.port.opened[0].first, 3);
    QCOMPARE(rig.port.opened[0].second, *LineSettings::parse(QStringLiteral("19200,N,8,1")));
    QCOMPARE(rig.link.statusText(), QStringLiteral("Searching for Vantrelo uC code..."));
    QCOMPARE(rig.link.status(), Status::Searching);
    QVERIFY(rig.link.isAwaitingReply());
    // Later attempts find the port open and greet again.
    QTRY_COMPARE(rig.port.written.size(), 3);
    QCOMPARE(rig.port.opened.size(), 1);
    QCOMPARE(rig.port.written.last(), QByteArray("7AT\r"));
}

void TestLink::searchRhythm()
{
    // Attempts at 2, 4, 6 s; the first attempt's time-out runs out at 7 s, unpostponed by the
    // attempts after it; the attempt at 8 s arms it again: "No response!" at 13 s. Scaled 1:10.
    Rig rig;
    rig.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.shown.size() > 1 && rig.shown.last().at > 1400, 3000);
    QList<qint64> noResponse, searching;
    for (const Shown &s : rig.shown) {
        if (s.text == u"No response!") {
            QCOMPARE(s.status, Status::Failed);
            noResponse << s.at;
        } else if (s.text.startsWith(u"Searching")) {
            searching << s.at;
        }
    }
    QVERIFY(noResponse.size() >= 2);
    QVERIFY2(qAbs(noResponse[0] - 700) < 90, qPrintable(QString::number(noResponse[0])));
    QVERIFY2(qAbs(noResponse[1] - noResponse[0] - 600) < 90, qPrintable(QString::number(noResponse[1])));
    QVERIFY2(qAbs(searching[0] - 200) < 60, qPrintable(QString::number(searching[0])));
    QVERIFY2(qAbs(searching[2] - searching[0] - 400) < 90, qPrintable(QString::number(searching[2])));
}

void TestLink::attemptFailures_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("armed"); // the time-out is armed before the port is opened
    QTest::newRow("8002") << InvalidPortNumber << "9600" << "Invalid Port Number!" << true;
    QTest::newRow("8005") << PortAlreadyOpen << "9600" << "Port already open!" << true;
    QTest::newRow("8010") << PermissionDenied << "9600" << "COM Port comm-error! 8010" << true;
    QTest::newRow("380, before anything") << 0 << "96O0" << "COM Port comm-error! 380" << false;
}

void TestLink::attemptFailures()
{
    QFETCH(int, number);
    QFETCH(QString, baud);
    QFETCH(QString, text);
    QFETCH(bool, armed);
    Rig rig(0.05);
    rig.port.failOpenWith = number;
    rig.start({}, baud);
    QTRY_COMPARE(rig.link.statusText(), text);
    QCOMPARE(rig.link.status(), Status::Failed);
    QCOMPARE(rig.link.portFailure().number, number ? number : InvalidPropertyValue);
    QVERIFY(rig.port.written.isEmpty()); // the attempt ended at the failing step
    QCOMPARE(rig.link.isAwaitingReply(), armed);
    QVERIFY(rig.link.isSearching());
    if (!number)
        return;
    rig.port.failOpenWith = 0; // the cause goes away: the next attempt opens and greets
    QTRY_COMPARE(rig.port.written, QList<QByteArray>{"AT\r"});
    QCOMPARE(rig.link.portFailure().number, 0);
}

void TestLink::replies_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("output"); // whose state the line reports, 0 for none
    QTest::addColumn<bool>("on");
    const QString p = QStringLiteral("COM:3 Baud:9600 COM data: ");
    QTest::newRow("1O2H") << "1" << QByteArray("1O2H") << p + "1O2H" << 2 << true;
    QTest::newRow("1O4L") << "1" << QByteArray("1O4L") << p + "1O4L" << 4 << false;
    QTest::newRow("empty id O3H") << "" << QByteArray("O3H") << p + "O3H" << 3 << true;
    QTest::newRow("id 12") << "12" << QByteArray("12O1L") << p + "12O1L" << 1 << false;
    QTest::newRow("1O5H: no place") << "1" << QByteArray("1O5H") << "???" << 0 << false;
    QTest::newRow("1O16L: no place") << "1" << QByteArray("1O16L") << "???" << 0 << false;
    for (const char *line : {"1O17H", "1O0H", "1o2h", "1O02H", "1O2H ", " 1O2H", "2O2H", "O2H",
                             "1OAH", "1OK ", "OK", "12O1H"})
        QTest::newRow(line) << "1" << QByteArray(line) << p + QString::fromLatin1(line) << 0 << false;
    QTest::newRow("bytes above 0x7f") << "1" << QByteArray("\xe9\xff") << p + QStringLiteral("\u00e9\u00ff") << 0 << false;
    QTest::newRow("id outside latin-1") << QStringLiteral("\u20ac") << QByteArray("?O1H") << p + "?O1H" << 0 << false;
}

void TestLink::replies()
{
    QFETCH(QString, id);
    QFETCH(QByteArray, line);
    QFETCH(QString, text);
    QFETCH(int, output);
    QFETCH(bool, on);
    Rig rig(0.05);
    rig.link.start({3, QStringLiteral("9600"), id});
    QTRY_VERIFY(rig.link.isAwaitingReply());
    QSignalSpy reported(&rig.link, &ControllerLink::outputReported);

    rig.port.receive(line.left(1)); // lines may come in pieces, LFs anywhere
    rig.port.receive(line.mid(1) + "\n\r\n");
    QCOMPARE(rig.link.statusText(), text);
    QCOMPARE(rig.link.status(), Status::Reply);
    QVERIFY(!rig.link.isAwaitingReply()); // any line is an answer
    QVERIFY(rig.link.isSearching());
    QCOMPARE(reported.size(), output ? 1 : 0);
    for (int n = 1; n <= ControllerLink::outputCount; ++n)
        QCOMPARE(rig.link.outputState(n), n == output ? std::optional<bool>(on) : std::nullopt);
}

void TestLink::handshakeAndStateQuery()
{
    Rig rig;
    rig.link.start({3, QStringLiteral("9600"), QStringLiteral("1")});
    QTRY_COMPARE(rig.port.written.size(), 1);
    QSignalSpy connected(&rig.link, &ControllerLink::connected);
    rig.port.receive("1O3H\r1OK\r"); // two lines in one burst
    const qint64 answered = rig.clock.elapsed();
    QCOMPARE(connected.size(), 1);
    QCOMPARE(rig.link.outputState(3), std::optional<bool>(true));
    QCOMPARE(rig.link.status(), Status::Connected);
    QCOMPARE(rig.link.statusText(), QStringLiteral("COM:3 Baud:9600 COM data: 1OK"));
    QVERIFY(!rig.link.isSearching());
    QVERIFY(rig.link.isAwaitingReply()); // armed for the query, before its delay
    QCOMPARE(rig.port.written.size(), 1);
    QTRY_COMPARE(rig.port.written.size(), 2);
    QCOMPARE(rig.port.written.last(), QByteArray("1OA\r"));
    QVERIFY2(rig.clock.elapsed() - answered > 20, "the query waits more than its delay");

    // Unanswered: "No response!", but no more handshakes.
    QTRY_COMPARE_WITH_TIMEOUT(rig.link.statusText(), QStringLiteral("No response!"), 1000);
    QTest::qWait(250);
    QCOMPARE(rig.port.written.count("1AT\r"), 1);
    // A late second answer runs the whole branch again, keeping the reported states.
    rig.port.receive("1OK\r");
    QTRY_COMPARE(rig.port.written.count("1OA\r"), 2);
    QCOMPARE(connected.size(), 2);
    QCOMPARE(rig.link.outputState(3), std::optional<bool>(true));
}

void TestLink::duringTheQueryDelay()
{
    // Lines are handled at once and disarm the time-out; clicks go out before the query.
    Rig rig(0.5);
    rig.start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.port.written.size(), 1, 2000);
    rig.port.receive("OK\r");
    rig.port.receive("O2");
    rig.port.receive("H\r");
    QCOMPARE(rig.link.outputState(2), std::optional<bool>(true));
    QVERIFY(!rig.link.isAwaitingReply());
    rig.link.toggleOutput(4);
    rig.link.switchAllOutputs(false);
    QTRY_COMPARE(rig.port.written.size(), 4);
    QCOMPARE(rig.port.written, (QList<QByteArray>{"AT\r", "O4H\r", "OAL\r", "OA\r"}));
}

void TestLink::commands_data()
{
    QTest::addColumn<QByteArray>("report"); // what the controller said of output 3 before
    QTest::addColumn<QByteArray>("frame");  // sent by each of two clicks on output 3
    QTest::newRow("not reported") << QByteArray() << QByteArray("7O3H\r");
    QTest::newRow("reported off") << QByteArray("7O3L\r") << QByteArray("7O3H\r");
    QTest::newRow("reported on") << QByteArray("7O3H\r") << QByteArray("7O3L\r");
}

void TestLink::commands()
{
    QFETCH(QByteArray, report);
    QFETCH(QByteArray, frame);
    Rig rig(0.05);
    rig.connect("7");
    rig.port.receive(report + "x\r"); // answers the query: no time-out runs
    const auto before = rig.link.outputState(3);
    rig.port.written.clear();
    rig.link.toggleOutput(3);
    rig.link.toggleOutput(3); // no echo yet: the same frame again
    rig.link.switchAllOutputs(true);
    rig.link.switchAllOutputs(false);
    QCOMPARE(rig.port.written, (QList<QByteArray>{frame, frame, "7OAH\r", "7OAL\r"}));
    QCOMPARE(rig.link.outputState(3), before); // until the controller reports
    QVERIFY(!rig.link.isAwaitingReply());      // commands arm no time-out
}

void TestLink::fatalPath()
{
    Rig rig; // the program ends 300 ms after the latest failure
    rig.connect();
    rig.port.receive("O1H\r");
    rig.start(); // a save: the port closes until the next attempt
    rig.link.toggleOutput(1);
    QCOMPARE(rig.link.statusText(), QStringLiteral("COM Port communication error! Close App! 8018"));
    QCOMPARE(rig.link.status(), Status::Searching); // the colour stays
    QVERIFY(rig.link.hasFailed());
    const qint64 failed = rig.clock.elapsed();
    QTRY_VERIFY(rig.port.isOpen());
    rig.port.failWriteWith = WriteFailed; // the next attempt reopened the port; a second failure
    rig.link.switchAllOutputs(true);
    QCOMPARE(rig.link.statusText(), QStringLiteral("COM Port communication error! Close App! 8021"));
    const qint64 second = rig.clock.elapsed();
    rig.port.receive("junk\r"); // lines still arrive during the delay
    QCOMPARE(rig.link.statusText(), QStringLiteral("COM:1 Baud:9600 COM data: junk"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.ends.size(), 1, 2000);
    QVERIFY2(rig.ends[0] - second >= 300 && rig.ends[0] - failed < 700,
             qPrintable(QString::number(rig.ends[0] - second)));
    QVERIFY(!rig.port.isOpen());
    QTest::qWait(250);
    QCOMPARE(rig.ends.size(), 1);
    QVERIFY(!rig.link.isSearching());
}

void TestLink::stopSendsNothingMore()
{
    Rig rig(0.5);
    rig.start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.port.written.size(), 1, 2000);
    rig.port.receive("OK\r");
    rig.link.stop(); // during the query's delay
    QTest::qWait(250);
    QCOMPARE(rig.port.written.size(), 1);
    QVERIFY(!rig.port.isOpen() && !rig.link.isAwaitingReply() && rig.ends.isEmpty());
}

void TestLink::lostDeviceIsReopenedWhileSearching()
{
    Rig rig(0.05);
    rig.start();
    QTRY_COMPARE(rig.port.opened.size(), 1);
    rig.port.loseDevice();
    QCOMPARE(rig.link.portFailure().number, ReadFailed);
    QTRY_COMPARE(rig.port.opened.size(), 2);
    QCOMPARE(rig.link.portFailure().number, 0);
}

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
