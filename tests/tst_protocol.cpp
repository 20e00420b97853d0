// Frames and line assembly.

#include "link/Frames.h"
#include "link/LineAssembler.h"

#include <QTest>

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void assembly_data();
    void assembly();
    void overlongRunIsDroppedUpToNextCr();
};

void TestProtocol::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("handshake") << Frames::handshake(QStringLiteral("1")) << QByteArray("1AT\r");
    QTest::newRow("handshake, empty id") << Frames::handshake({}) << QByteArray("AT\r");
    QTest::newRow("query") << Frames::stateQuery(QStringLiteral("1")) << QByteArray("1OA\r");
    QTest::newRow("all on, empty id") << Frames::allOutputs({}, true) << QByteArray("OAH\r");
    QTest::newRow("all off") << Frames::allOutputs(QStringLiteral("1"), false) << QByteArray("1OAL\r");
    QTest::newRow("output 3 on, id 7") << Frames::output(QStringLiteral("7"), 3, true) << QByteArray("7O3H\r");
    QTest::newRow("output 12 off") << Frames::output(QStringLiteral("ab,1"), 12, false)
                                   << QByteArray("ab,1O12L\r");
    QTest::newRow("latin-1 id") << Frames::handshake(QStringLiteral("\u00e9")) << QByteArray("\xe9" "AT\r");
    QTest::newRow("id outside latin-1") << Frames::handshake(QStringLiteral("\u20ac")) << QByteArray("?AT\r");
}

void TestProtocol::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame, expected);
}

void TestProtocol::assembly_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks"); // one entry per arrival
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QByteArray>("pending");
    using L = QList<QByteArray>;
    QTest::newRow("one char each, CR LF") << L{"1", "O", "K", "\r", "\n"} << L{"1OK"} << QByteArray();
    QTest::newRow("CR LF CR LF alone") << L{"\r\n\r\n"} << L{} << QByteArray();
    QTest::newRow("LF inside a line") << L{"1O\n2H\r"} << L{"1O2H"} << QByteArray();
    QTest::newRow("burst of two") << L{"1O1H\r1O2L\r"} << L{"1O1H", "1O2L"} << QByteArray();
    QTest::newRow("split, rest pending") << L{"1O", "1H\r1O", "2"} << L{"1O1H"} << QByteArray("1O2");
    QTest::newRow("blanks, controls, NUL, high bytes kept")
        << L{QByteArray(" a\tb\x01\0\xff \r", 9)} << L{QByteArray(" a\tb\x01\0\xff ", 8)} << QByteArray();
}

void TestProtocol::assembly()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QByteArray, pending);
    LineAssembler rx;
    QList<QByteArray> got;
    for (const QByteArray &chunk : chunks) {
        for (const char c : chunk) {
            if (auto line = rx.push(c))
                got << *line;
        }
    }
    QCOMPARE(got, lines);
    QCOMPARE(rx.pending(), pending);
}

void TestProtocol::overlongRunIsDroppedUpToNextCr()
{
    LineAssembler rx(8);
    for (const char c : QByteArray("12345678"))
        rx.push(c);
    QCOMPARE(rx.pending().size(), 8); // at the bound, still kept
    for (int i = 0; i < 100000; ++i)
        QVERIFY(!rx.push('x'));
    QVERIFY(rx.pending().isEmpty());
    QVERIFY(!rx.push('\r')); // the end of the dropped run hands nothing over
    std::optional<QByteArray> next;
    for (const char c : QByteArray("1OK\r"))
        next = rx.push(c);
    QCOMPARE(*next, QByteArray("1OK"));
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
