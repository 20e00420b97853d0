// The simulator's protocol core, in-process, and the program's frames against it.

#include "ControllerCore.h"

#include "link/Frames.h"

#include <QTest>

class TestSimulator : public QObject
{
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void programFramesRoundTrip();
};

void TestSimulator::answers_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("replies");
    QTest::newRow("handshake") << QByteArray("1") << QByteArray("1AT\r") << QByteArray("1OK\r");
    QTest::newRow("empty id") << QByteArray() << QByteArray("AT\r") << QByteArray("OK\r");
    QTest::newRow("query") << QByteArray("1") << QByteArray("1OA\r") << QByteArray("1O1L\r1O2L\r1O3L\r1O4L\r");
    QTest::newRow("switch on") << QByteArray("7") << QByteArray("7O3H\r") << QByteArray("7O3H\r");
    QTest::newRow("switch, then query") << QByteArray("1") << QByteArray("1O2H\r1OA\r")
                                        << QByteArray("1O2H\r1O1L\r1O2H\r1O3L\r1O4L\r");
    QTest::newRow("all on") << QByteArray("1") << QByteArray("1OAH\r") << QByteArray("1O1H\r1O2H\r1O3H\r1O4H\r");
    QTest::newRow("other id") << QByteArray("1") << QByteArray("2AT\r") << QByteArray();
    QTest::newRow("unknown verb") << QByteArray("1") << QByteArray("1XY\r") << QByteArray();
    QTest::newRow("leading zero") << QByteArray("1") << QByteArray("1O02H\r") << QByteArray();
    QTest::newRow("beyond outputs") << QByteArray("1") << QByteArray("1O5H\r") << QByteArray();
    QTest::newRow("LF ignored, split frame") << QByteArray("1") << QByteArray("1A\nT\r") << QByteArray("1OK\r");
    QTest::newRow("no CR, no answer") << QByteArray("1") << QByteArray("1AT") << QByteArray();
}

void TestSimulator::answers()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, replies);
    ControllerCore core(id, 4);
    QCOMPARE(core.feed(input), replies);
}

void TestSimulator::programFramesRoundTrip()
{
    // Every frame the program sends, for a few identifiers, is understood by the controller,
    // and its answers are the lines the program recognises.
    for (const QString &id : {QString(), QStringLiteral("1"), QStringLiteral("12"), QStringLiteral("ab")}) {
        ControllerCore core(id.toLatin1(), 16, true);
        QCOMPARE(core.feed(Frames::handshake(id)), QByteArray((id + "OK\r\n").toLatin1()));
        for (int n = 1; n <= 4; ++n) {
            const QByteArray echo = core.feed(Frames::output(id, n, true));
            const auto state = Frames::matchOutputState(QString::fromLatin1(echo.chopped(2)), id);
            QVERIFY(state && state->output == n && state->on);
        }
        const QByteArray all = core.feed(Frames::allOutputs(id, false));
        QCOMPARE(all.count('\r'), 16);
        QVERIFY(!core.output(3));
    }
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
