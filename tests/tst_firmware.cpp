// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The firmware's protocol core, built for the host: every verb, the frames it must ignore, the
// bounded line, the identifier. The simulator must answer every frame as the firmware does.

extern "C" {
#include "protocol.h"
}

#include "ControllerCore.h"

#include <QTest>

namespace {
struct Board
{
    explicit Board(const char *id, uint8_t outputs = 4)
    {
        protocol_init(&p, id, uint8_t(strlen(id)), outputs,
                      {[](void *b, char c) { static_cast<Board *>(b)->sent += c; },
                       [](void *b, uint16_t s) { static_cast<Board *>(b)->states = s; }, this});
    }
    QByteArray receive(const QByteArray &bytes)
    {
        sent.clear();
        for (const char c : bytes)
            protocol_receive(&p, c);
        return sent;
    }
    protocol p;
    QByteArray sent;
    uint16_t states = 0xFFFF;
};
} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT
private slots:
    void frames_data()
    {
        QTest::addColumn<QByteArray>("id");
        QTest::addColumn<int>("outputs");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("states");
        const auto row = [](const char *tag, const char *id, int outputs, const char *in,
                            const char *out, int states) {
            QTest::newRow(tag) << QByteArray(id) << outputs << QByteArray(in) << QByteArray(out)
                               << states;
        };
        row("handshake", "1", 4, "1AT\r", "1OK\r", 0);
        row("empty id, LF ignored", "", 4, "A\nT\r\n", "OK\r", 0);
        row("state query", "1", 4, "1O3H\r1OA\r", "1O3H\r1O1L\r1O2L\r1O3H\r1O4L\r", 4);
        row("switch on, off", "7", 4, "7O2H\r7O1H\r7O2L\r", "7O2H\r7O1H\r7O2L\r", 1);
        row("all on", "1", 3, "1OAH\r", "1O1H\r1O2H\r1O3H\r", 7);
        row("all off", "1", 3, "1OAH\r1OAL\r", "1O1H\r1O2H\r1O3H\r1O1L\r1O2L\r1O3L\r", 0);
        row("output 16 of 16", "ab", 16, "abO16H\r", "abO16H\r", 0x8000);
        row("output 10 of 16", "ab", 16, "abO10H\r", "abO10H\r", 0x200);
        row("off stays off", "1", 4, "1O3L\r", "1O3L\r", 0);
        row("long id", "12345678", 4, "12345678O4H\r", "12345678O4H\r", 8);
        row("id cut to 8", "123456789", 4, "12345678AT\r", "12345678OK\r", 0);
        for (const char *ignored :
             {"1O5H\r", "1O0H\r", "1O02H\r", "1O17H\r", "1O1X\r", "1o1h\r", "1at\r", "2AT\r",
              "12AT\r", "AT\r", "1AT \r", " 1AT\r", "1OAX\r", "1O\r", "1OH\r"})
            row(ignored, "1", 4, ignored, "", 0);
        const QByteArray longLine = QByteArray(200, 'x') + "1AT\r1O1H\r"; // dropped up to its CR
        QTest::newRow("over-long line")
            << QByteArray("1") << 4 << longLine << QByteArray("1O1H\r") << 1;
        // The bound, a NUL and a frame are one over-long line: dropped, and nothing written past
        // the buffer changes the answer to the next frame.
        QTest::newRow("bound, NUL, frame")
            << QByteArray("1") << 4 << QByteArray(32, 'x') + QByteArray(1, '\0') + "1AT\r1AT\r"
            << QByteArray("1OK\r") << 0;
    }
    void frames()
    {
        QFETCH(QByteArray, id);
        QFETCH(int, outputs);
        QFETCH(QByteArray, received);
        Board board(id.constData(), uint8_t(outputs));
        QCOMPARE(board.states, 0); // all off from the start
        QTEST(board.receive(received), "sent");
        QTEST(int(board.states), "states");
        if (id.size() > PROTOCOL_ID_MAX)
            return; // the firmware's own limit
        ControllerCore simulator(id, outputs);
        QTEST(simulator.feed(received), "sent");
    }
};

QTEST_GUILESS_MAIN(TestFirmware)
#include "tst_firmware.moc"
