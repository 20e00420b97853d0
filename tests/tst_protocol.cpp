// Frames, reply recognition and line assembly.

#include "ReferenceMatch.h"

#include "link/Frames.h"
#include "link/LineAssembler.h"

#include <QTest>

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void outputStateLines_data();
    void outputStateLines();
    void handshakeAnswer();
    void assembly_data();
    void assembly();
    void lineTakenOutBeforeHandOver();
    void overlongRunIsDroppedUpToNextCr();
    void everyByteSurvives();
};

void TestProtocol::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("handshake id 1") << Frames::handshake(QStringLiteral("1")) << QByteArray("1AT\r");
    QTest::newRow("handshake empty id") << Frames::handshake({}) << QByteArray("AT\r");
    QTest::newRow("query") << Frames::stateQuery(QStringLiteral("1")) << QByteArray("1OA\r");
    QTest::newRow("all on, empty id") << Frames::allOutputs({}, true) << QByteArray("OAH\r");
    QTest::newRow("all off") << Frames::allOutputs(QStringLiteral("1"), false) << QByteArray("1OAL\r");
    QTest::newRow("output 3 on, id 7") << Frames::output(QStringLiteral("7"), 3, true)
                                       << QByteArray("7O3H\r");
    QTest::newRow("output 2 off") << Frames::output(QStringLiteral("1"), 2, false)
                                  << QByteArray("1O2L\r");
    QTest::newRow("long id") << Frames::handshake(QStringLiteral("ab,12")) << QByteArray("ab,12AT\r");
    QTest::newRow("latin-1 id") << Frames::handshake(QStringLiteral("\u00e9")) << QByteArray("\xe9" "AT\r");
    QTest::newRow("id outside latin-1") << Frames::handshake(QStringLiteral("\u20ac"))
                                        << QByteArray("?AT\r");
}

void TestProtocol::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame, expected);
}

void TestProtocol::outputStateLines_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("output"); // 0: not an output-state line
    QTest::addColumn<bool>("on");
    QTest::newRow("1O2H") << "1" << "1O2H" << 2 << true;
    QTest::newRow("1O2L") << "1" << "1O2L" << 2 << false;
    QTest::newRow("1O5H") << "1" << "1O5H" << 5 << true;
    QTest::newRow("1O12H") << "1" << "1O12H" << 12 << true;
    QTest::newRow("1O16L") << "1" << "1O16L" << 16 << false;
    QTest::newRow("empty id O3H") << "" << "O3H" << 3 << true;
    QTest::newRow("1O17H") << "1" << "1O17H" << 0 << false;
    QTest::newRow("1O0H") << "1" << "1O0H" << 0 << false;
    QTest::newRow("lower case") << "1" << "1o2h" << 0 << false;
    QTest::newRow("leading zero") << "1" << "1O02H" << 0 << false;
    QTest::newRow("trailing blank") << "1" << "1O2H " << 0 << false;
    QTest::newRow("leading blank") << "1" << " 1O2H" << 0 << false;
    QTest::newRow("other id") << "1" << "2O2H" << 0 << false;
    QTest::newRow("id missing") << "1" << "O2H" << 0 << false;
    QTest::newRow("handshake") << "1" << "1OK" << 0 << false;
    QTest::newRow("all on echo") << "1" << "1OAH" << 0 << false;
    QTest::newRow("sign") << "1" << "1O+2H" << 0 << false;
    QTest::newRow("three digits") << "1" << "1O100H" << 0 << false;
    QTest::newRow("id 12, O1H") << "12" << "12O1H" << 1 << true;
    QTest::newRow("id 1 reads 12O1H as output 21? no") << "1" << "12O1H" << 0 << false;
    QTest::newRow("non-ascii digit") << "1" << "1O\u0662H" << 0 << false;
}

void TestProtocol::outputStateLines()
{
    QFETCH(QString, id);
    QFETCH(QString, line);
    QFETCH(int, output);
    QFETCH(bool, on);

    const auto expected = referenceMatch(line, id);
    QCOMPARE(expected ? expected->output : 0, output);

    const auto match = Frames::matchOutputState(line, id);
    QCOMPARE(match.has_value(), output != 0);
    if (match) {
        QCOMPARE(match->output, output);
        QCOMPARE(match->on, on);
        QCOMPARE(expected->on, on);
    }
}

void TestProtocol::handshakeAnswer()
{
    QCOMPARE(Frames::handshakeAnswer(QStringLiteral("1")), QStringLiteral("1OK"));
    QCOMPARE(Frames::handshakeAnswer({}), QStringLiteral("OK"));
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
    QTest::newRow("no CR yet") << L{"1O1"} << L{} << QByteArray("1O1");
    QTest::newRow("split over arrivals") << L{"1O", "1H\r1O", "2L\r"} << L{"1O1H", "1O2L"}
                                         << QByteArray();
    QTest::newRow("LF CR") << L{"\n1OK\n\r"} << L{"1OK"} << QByteArray();
    QTest::newRow("blanks and controls kept") << L{" a\tb\x01 \r"} << L{QByteArray(" a\tb\x01 ")}
                                              << QByteArray();
    QTest::newRow("NUL kept") << L{QByteArray("a\0b\r", 4)} << L{QByteArray("a\0b", 3)}
                              << QByteArray();
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

void TestProtocol::lineTakenOutBeforeHandOver()
{
    // A handler that receives more characters while it runs gathers them into the next line.
    LineAssembler rx;
    for (const char c : QByteArray("1OK"))
        QVERIFY(!rx.push(c));
    const auto line = rx.push('\r');
    QCOMPARE(*line, QByteArray("1OK"));
    QVERIFY(rx.pending().isEmpty());
    for (const char c : QByteArray("1O1"))
        rx.push(c);
    QVERIFY(!rx.push('H'));
    QCOMPARE(rx.pending(), QByteArray("1O1H"));
    QCOMPARE(*rx.push('\r'), QByteArray("1O1H"));
}

void TestProtocol::overlongRunIsDroppedUpToNextCr()
{
    LineAssembler rx(8);
    for (const char c : QByteArray("12345678"))
        rx.push(c);
    QCOMPARE(rx.pending().size(), 8); // at the bound, still kept
    rx.push('9');
    QVERIFY(rx.discarding());
    QVERIFY(rx.pending().isEmpty());
    for (int i = 0; i < 100000; ++i)
        QVERIFY(!rx.push('x'));
    QVERIFY(rx.pending().isEmpty());
    QVERIFY(!rx.push('\r')); // the end of the dropped run hands nothing over
    std::optional<QByteArray> next;
    for (const char c : QByteArray("1OK\r"))
        next = rx.push(c);
    QCOMPARE(*next, QByteArray("1OK"));
}

void TestProtocol::everyByteSurvives()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b) {
        if (b != '\r' && b != '\n')
            all.append(static_cast<char>(b));
    }
    LineAssembler rx;
    std::optional<QByteArray> line;
    for (const char c : QByteArray(all + '\r'))
        line = rx.push(c);
    QCOMPARE(*line, all);
    const QString text = QString::fromLatin1(*line);
    QCOMPARE(text.size(), all.size());
    QCOMPARE(text.toLatin1(), all);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
