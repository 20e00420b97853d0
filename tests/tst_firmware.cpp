// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The firmware's protocol core, built for the host, on a clock the test drives: every verb, the
// frames it must ignore, the bounded line, the identifier, pulses, interlock groups, the longest
// on-time, the counter's wrap-around. The simulator and the board run this same core.

extern "C" {
#include "protocol.h"
}

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The EEPROM: blank until written; a power cut after so many writes (-1: none).
struct Memory
{
    QByteArray bytes = QByteArray(PROTOCOL_EEPROM_SIZE, char(0xFF));
    int writesLeft = -1;
    int written = 0; // bytes that changed
};

struct Board
{
    Board(const QByteArray &id, int outputs, const protocol_options &options,
          Memory *eeprom = nullptr, uint32_t now = 0)
        : memory(eeprom)
    {
        protocol_io io{};
        io.put = [](void *b, char c) { static_cast<Board *>(b)->sent += c; };
        io.apply = [](void *b, uint16_t s) {
            auto *board = static_cast<Board *>(b);
            board->states = s;
            board->trace << s;
        };
        if (eeprom) {
            io.load = [](void *b, uint16_t a) {
                return uint8_t(static_cast<Board *>(b)->memory->bytes[a]);
            };
            io.store = [](void *b, uint16_t a, uint8_t v) {
                Memory &m = *static_cast<Board *>(b)->memory;
                if (m.writesLeft == 0 || uint8_t(m.bytes[a]) == v)
                    return; // the power is gone; an update writes no byte that holds its value
                m.bytes[a] = char(v);
                ++m.written;
                if (m.writesLeft > 0)
                    --m.writesLeft;
            };
        }
        io.context = this;
        protocol_init(&p, id.constData(), uint8_t(id.size()), uint8_t(outputs), &options, io, now);
    }
    // At the time, what the clock switched is reported, then the bytes are received; returns
    // all the board sent.
    QByteArray at(uint32_t now, const QByteArray &bytes)
    {
        sent.clear();
        protocol_tick(&p, now);
        protocol_send_reports(&p);
        for (const char c : bytes)
            protocol_receive(&p, c);
        return sent;
    }
    protocol p;
    Memory *memory;
    QByteArray sent;
    uint16_t states = 0xFFFF;
    QList<uint16_t> trace; // every setting of the pins, the first at power-on
};

// A record of the ring as the board writes it: sequence and states, low byte first, and a check.
QByteArray record(uint16_t sequence, uint16_t states, bool good = true)
{
    QByteArray r;
    r += char(sequence & 0xFF);
    r += char(sequence >> 8);
    r += char(states & 0xFF);
    r += char(states >> 8);
    uint8_t crc = 0x5A; // CRC-8, x^8 + x^2 + x + 1
    for (const char byte : r) {
        crc ^= uint8_t(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return r + char(good ? crc : crc ^ 1);
}

} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT
private slots:
    void frames_data()
    {
        QTest::addColumn<QByteArray>("id");
        QTest::addColumn<int>("outputs");
        QTest::addColumn<QByteArray>("options"); // "<groups>|<dead ms>|<longest on-time s>"
        // Steps "<ms> <bytes received>" apart by ';', and what the board sent at each step.
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("states");
        const auto row = [](const char *tag, const char *id, int outputs, const char *options,
                            const char *script, const char *sent, int states) {
            QTest::newRow(tag) << QByteArray(id) << outputs << QByteArray(options)
                               << QByteArray(script) << QByteArray(sent) << states;
        };
        row("handshake", "1", 4, "", "0 1AT\r", "1OK\r", 0);
        row("empty id, LF ignored", "", 4, "", "0 A\nT\r\n", "OK\r", 0);
        row("state query", "1", 4, "", "0 1O3H\r1OA\r", "1O3H\r1O1L\r1O2L\r1O3H\r1O4L\r", 4);
        row("switch on, off", "7", 4, "", "0 7O2H\r7O1H\r7O2L\r", "7O2H\r7O1H\r7O2L\r", 1);
        row("all on", "1", 3, "", "0 1OAH\r", "1O1H\r1O2H\r1O3H\r", 7);
        row("all off", "1", 3, "", "0 1OAH\r1OAL\r", "1O1H\r1O2H\r1O3H\r1O1L\r1O2L\r1O3L\r", 0);
        row("output 16 of 16", "ab", 16, "", "0 abO16H\r", "abO16H\r", 0x8000);
        row("output 10 of 16", "ab", 16, "", "0 abO10H\r", "abO10H\r", 0x200);
        row("off stays off", "1", 4, "", "0 1O3L\r", "1O3L\r", 0);
        row("long id", "12345678", 4, "", "0 12345678O4H\r", "12345678O4H\r", 8);
        row("id cut to 8", "123456789", 4, "", "0 12345678AT\r", "12345678OK\r", 0);
        for (const char *ignored :
             {"1O5H",   "1O0H",   "1O02H",  "1O17H",  "1O1X",    "1o1h",
              "1at",    "2AT",    "12AT",   "AT",     "1AT ",    " 1AT",
              "1OAX",   "1O",     "1OH",    "1O1P0",  "1O1P012", "1O1P86400001",
              "1O1P-5", "1O1P+5", "1O1P",   "1O1P1x", "1O1P 5",  "1O1P123456789",
              "1O5P5",  "1OP5",   "1O1HP5", "1O1P5H"})
            row(ignored, "1", 4, "", QByteArray("0 ") + ignored + "\r;100", ";", 0);
        row("over-long line", "1", 4, "", "0 " + QByteArray(200, 'x') + "1AT\r1O1H\r", "1O1H\r",
            1); // dropped up to its CR
        // The bound, a NUL and a frame are one over-long line: dropped, and nothing written past
        // the buffer changes the answer to the next frame.
        QTest::newRow("bound, NUL, frame")
            << QByteArray("1") << 4 << QByteArray()
            << "0 " + QByteArray(32, 'x') + QByteArray(1, '\0') + "1AT\r1AT\r"
            << QByteArray("1OK\r") << 0;

        row("pulse", "1", 4, "", "0 1O1P200\r;199;200", "1O1H\r;;1O1L\r", 0);
        row("pulse restarted", "1", 4, "", "0 1O1P200\r;150 1O1P200\r;349;350",
            "1O1H\r;1O1H\r;;1O1L\r", 0);
        row("pulse ended early", "1", 4, "", "0 1O1P200\r;50 1O1L\r;300", "1O1H\r;1O1L\r;", 0);
        row("H keeps a pulsed output on", "1", 4, "", "0 1O1P200\r;50 1O1H\r;90000",
            "1O1H\r;1O1H\r;", 1);
        row("a whole day", "1", 4, "", "0 1O4P86400000\r;86399999;86400000", "1O4H\r;;1O4L\r", 0);
        row("across the wrap-around", "1", 4, "", "4294967000 1O1P1000\r;4294967295;703;704",
            "1O1H\r;;;1O1L\r", 0);
        row("pulses end apart", "1", 4, "", "0 1O1P100\r1O2P300\r;100;300",
            "1O1H\r1O2H\r;1O1L\r;1O2L\r", 0);

        const char *pairs = "1,2 3,4|50|0";
        row("interlock: off, dead time, on", "1", 4, pairs, "0 1O1H\r;49;50;60 1O2H\r;109;110",
            ";;1O1H\r;1O1L\r;;1O2H\r", 2);
        row("interlock: other groups alone", "1", 4, pairs, "0 1O1H\r1O3H\r;50", ";1O1H\r1O3H\r",
            5);
        row("interlock: no dead time", "1", 4, "1,2|0|0", "0 1O1H\r1O2H\r", "1O1H\r1O1L\r1O2H\r",
            2);
        row("interlock: L while waiting", "1", 4, pairs, "0 1O1H\r;20 1O1L\r;100", ";1O1L\r;", 0);
        row("interlock: the other while waiting", "1", 4, pairs, "0 1O1H\r;20 1O2H\r;69;70",
            ";1O1L\r;;1O2H\r", 2);
        row("interlock: a pulse after the dead time", "1", 4, pairs, "0 1O2P100\r;50;149;150",
            ";1O2H\r;;1O2L\r", 0);
        row("interlock: all on leaves the groups", "1", 6, "1,2|50|0", "0 1O1H\r;50 1OAH\r",
            ";1O1H\r1O1H\r1O2L\r1O3H\r1O4H\r1O5H\r1O6H\r", 0x3D);

        const char *hour = "|0|3600";
        row("longest on-time", "1", 4, hour, "0 1O1H\r;3599999;3600000", "1O1H\r;;1O1L\r", 0);
        row("longest on-time after a new command", "1", 4, hour,
            "0 1O1H\r;1000 1O1H\r;3600999;3601000", "1O1H\r;1O1H\r;;1O1L\r", 0);
        row("longest on-time cuts a pulse", "1", 4, hour, "0 1O1P86400000\r;3600000",
            "1O1H\r;1O1L\r", 0);
        row("longest on-time after all on", "1", 2, hour, "0 1OAH\r;3600000",
            "1O1H\r1O2H\r;1O1L\r1O2L\r", 0);
    }
    void frames()
    {
        QFETCH(QByteArray, id);
        QFETCH(int, outputs);
        QFETCH(QByteArray, options);
        QFETCH(QByteArray, script);
        protocol_options o{};
        const QList<QByteArray> fields = options.split('|');
        if (fields.size() == 3) {
            QVERIFY(protocol_parse_groups(fields[0].constData(), uint8_t(outputs), &o));
            o.dead_ms = uint16_t(fields[1].toUInt());
            o.max_on_ms = fields[2].toUInt() * 1000u;
        }
        Board board(id, outputs, o);
        QCOMPARE(board.states, 0); // all off from the start
        QByteArrayList sent;
        for (const QByteArray &step : script.split(';')) {
            const qsizetype blank = step.contains(' ') ? step.indexOf(' ') : step.size();
            sent << board.at(step.left(blank).toUInt(), step.mid(blank + 1));
        }
        QTEST(sent.join(';'), "sent");
        QTEST(int(board.states), "states");
    }

    // The power-on states on a fake EEPROM: the modes against pulses, the longest on-time and
    // interlocks; the ring's records, its wrap-around, the sequence's, a record torn at each of
    // its bytes, a blank and a foreign EEPROM.
    void powerOn_data()
    {
        // options: "<groups>|<dead ms>|<longest s>|<power on>|<ring>"; eeprom: "" blank,
        // "foreign", else records "seq:states ..."
        QTest::addColumn<QByteArray>("options");
        QTest::addColumn<QByteArray>("eeprom");
        QTest::addColumn<QByteArray>("script"); // steps "<ms> <bytes>" apart by ';', before the cut
        QTest::addColumn<int>("writes");        // during the last step, before the cut; -1: all
        QTest::addColumn<int>("restored");      // the outputs on from the first setting of the pins
        QTest::addColumn<QByteArray>("after");  // "<ms> <states>" after the restart
        const auto row = [](const char *tag, const char *options, const char *eeprom,
                            const char *script, int writes, int restored, const char *after = "") {
            QTest::newRow(tag) << QByteArray(options) << QByteArray(eeprom) << QByteArray(script)
                               << writes << restored << QByteArray(after);
        };
        row("off, the default", "|0|0||200", "", "0 1O1H\r", -1, 0);
        row("on", "|0|0|1:on 3:on|200", "", "0 1OAL\r", -1, 5);
        row("last: on", "|0|0|1:last 2:last|200", "", "0 1O2H\r", -1, 2);
        row("last: off again", "|0|0|1:last|200", "", "0 1O1H\r;10 1O1L\r", -1, 0);
        row("last: all on", "|0|0|1:last 2:last 4:last|200", "", "0 1OAH\r", -1, 11);
        row("last: a pulse never outlives the cut", "|0|0|1:last|200", "", "0 1O1H\r;10 1O1P500\r",
            -1, 0);
        row("last: the longest on-time ran out", "|0|1|1:last|200", "", "0 1O1H\r;1000", -1, 0);
        row("restored: the longest on-time afresh", "|0|1|1:on 2:last|200", "", "0 1O2H\r", -1, 3,
            "999 3;1000 0");
        row("interlock: one of a group comes back", "1,2|50|0|1:on 2:last|200", "", "0 1O2H\r;50",
            -1, 1);
        row("ring wraps around", "|0|0|1:last 2:last|3", "",
            "0 1O1H\r;1 1O2H\r;2 1O1L\r;3 1OAL\r;4 1O2H\r;5 1O1H\r;6 1O2L\r", -1, 1);
        for (int k = 0; k < 5; ++k) // the cut falls in the record of the second change
            row(qPrintable(QString("torn after %1 of 5 bytes").arg(k)), "|0|0|1:last 2:last|200",
                "", "0 1O1H\r;10 1O2H\r", k, 1);
        row("whole record", "|0|0|1:last 2:last|200", "", "0 1O1H\r;10 1O2H\r", 5, 3);
        row("sequence wraps around", "|0|0|1:last 2:last|4", "65534:1 65535:2 0:3 65533:0", "", -1,
            3);
        row("a bad check: the one before", "|0|0|1:last 2:last|4", "7:1 8:2! 6:3", "", -1, 1);
        row("blank: all off", "|0|0|1:last 2:last|200", "", "", -1, 0);
        row("foreign: all off", "|0|0|1:last 2:last|200", "foreign", "", -1, 0);
        row("foreign: taken over at the first change", "|0|0|1:last 2:last|200", "foreign",
            "0 1O2H\r", -1, 2);
    }
    void powerOn()
    {
        QFETCH(QByteArray, options);
        QFETCH(QByteArray, eeprom);
        QFETCH(QByteArray, script);
        QFETCH(int, writes);
        const QList<QByteArray> f = options.split('|');
        protocol_options o{};
        QVERIFY(protocol_parse_groups(f[0].constData(), 4, &o));
        o.dead_ms = uint16_t(f[1].toUInt());
        o.max_on_ms = f[2].toUInt() * 1000u;
        QVERIFY(protocol_parse_power_on(f[3].constData(), 4, &o));
        o.ring_records = uint16_t(f[4].toUInt());
        Memory memory;
        if (eeprom == "foreign") { // another firmware's bytes, and records that would pass
            for (int i = 0; i < int(PROTOCOL_EEPROM_SIZE); ++i)
                memory.bytes[i] = char((i * 73 + 11) % 251);
            for (int slot = 0; slot < 40; ++slot)
                memory.bytes.replace(PROTOCOL_RING_START + slot * 5, 5, record(uint16_t(slot), 3));
        } else if (!eeprom.isEmpty()) {
            memory.bytes[PROTOCOL_RING_MARK_ADDRESS] = char(PROTOCOL_RING_MARK);
            int slot = 0;
            for (const QByteArray &r : eeprom.split(' ')) {
                const QList<QByteArray> parts = r.split(':');
                memory.bytes.replace(PROTOCOL_RING_START + slot++ * 5, 5,
                                     record(uint16_t(parts[0].toUInt()),
                                            uint16_t(parts[1].chopped(r.endsWith('!')).toUInt()),
                                            !r.endsWith('!')));
            }
        }
        {
            Board board("1", 4, o, &memory);
            const QList<QByteArray> steps =
                script.isEmpty() ? QList<QByteArray>() : script.split(';');
            for (qsizetype i = 0; i < steps.size(); ++i) {
                if (i == steps.size() - 1)
                    memory.writesLeft = writes;
                const qsizetype blank =
                    steps[i].contains(' ') ? steps[i].indexOf(' ') : steps[i].size();
                board.at(steps[i].left(blank).toUInt(), steps[i].mid(blank + 1));
            }
        } // the power goes
        memory.writesLeft = -1;
        Board again("1", 4, o, &memory);
        QCOMPARE(again.trace.size(), 1); // the pins set once: nothing blinks
        QTEST(int(again.trace.first()), "restored");
        QFETCH(QByteArray, after);
        for (const QByteArray &step : after.isEmpty() ? QList<QByteArray>() : after.split(';')) {
            again.at(step.split(' ')[0].toUInt(), {});
            QCOMPARE(int(again.states), step.split(' ')[1].toInt());
        }
        if (eeprom == "foreign" && !script.isEmpty()) // cleared and marked before the first record
            QCOMPARE(memory.bytes.mid(PROTOCOL_RING_START + 5, 195 * 5),
                     QByteArray(195 * 5, char(0xFF)));
    }

    // "1:last 2:on" as the simulator's --power-on takes it; a text refused leaves the modes.
    void powerOnModes()
    {
        protocol_options o{};
        QVERIFY(protocol_parse_groups("1,2", 4, &o));
        QVERIFY(protocol_parse_power_on("1:last 2:on 4:off", 4, &o));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(o.power_on), 4),
                 QByteArray("\2\1\0\0", 4));
        for (const char *bad : {"1:sometimes", "5:on", "1:on 1:off", "1:on 2:on", "0:on", "1:on ",
                                "1on", "1:on  2:on", "01:on", " 1:on"})
            QVERIFY2(!protocol_parse_power_on(bad, 4, &o) && o.power_on[0] == 2, bad);
        QVERIFY(protocol_parse_power_on("", 4, &o) && o.power_on[0] == 0);
    }

    void nextDue()
    {
        protocol_options o{};
        Board board("1", 4, o);
        QCOMPARE(protocol_next_due(&board.p, 5), PROTOCOL_NOTHING_DUE);
        board.at(4294966900u, "1O1P1000\r1O2P300\r"); // output 1 due at 604, past the wrap
        QCOMPARE(protocol_next_due(&board.p, 4294967000u), 200u);
        QCOMPARE(protocol_next_due(&board.p, 4294967250u), 0u); // due already
        board.at(4294967250u, {});
        QCOMPARE(protocol_next_due(&board.p, 4294967290u), 610u);
        QCOMPARE(protocol_next_due(&board.p, 10), 594u);
    }

    // "1,2 3,4": the simulator's --interlock; a text refused leaves the groups as they were.
    void interlockGroups()
    {
        protocol_options o{};
        const auto groups = [&] {
            QByteArray text;
            for (const uint8_t g : o.group)
                text += char('0' + g);
            return text;
        };
        QVERIFY(protocol_parse_groups("2,5,16 10,11", 16, &o));
        QCOMPARE(groups(), QByteArray("0100100002200001"));
        for (const char *bad : {"1", "1,2 2,3", "1,17", "0,1", "1,,2", "1, 2", " 1,2", "1,2  3,4",
                                "1;2", "100,1", "1,2,"})
            QVERIFY2(!protocol_parse_groups(bad, 16, &o) && groups() == "0100100002200001", bad);
        QVERIFY(protocol_parse_groups("", 16, &o) && groups() == QByteArray(16, '0'));
    }

    // The Makefile takes the options through the parsers above, and checks the ring's room.
    void buildOptions_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("built");
        QTest::newRow("power-on") << QStringList{"POWER_ON=1:last 2:on 4:off"} << true;
        QTest::newRow("interlock") << QStringList{"INTERLOCK=1,2 3,4", "OUTPUTS=4"} << true;
        QTest::newRow("interlock of one") << QStringList{"INTERLOCK=1"} << false;
        QTest::newRow("two on in a group")
            << QStringList{"INTERLOCK=1,2", "POWER_ON=1:on 2:on"} << false;
        QTest::newRow("17 outputs") << QStringList{"OUTPUTS=17"} << false;
        QTest::newRow("ring of 201") << QStringList{"POWER_ON=1:last", "EEPROM_RING=201"} << true;
        QTest::newRow("ring of 202") << QStringList{"POWER_ON=1:last", "EEPROM_RING=202"} << false;
        QTest::newRow("ring of 1") << QStringList{"POWER_ON=1:last", "EEPROM_RING=1"} << false;
        QTest::newRow("ring of 1, no last")
            << QStringList{"POWER_ON=1:on", "EEPROM_RING=1"} << true;
    }
    void buildOptions()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, built);
        QTemporaryDir dir;
        QProcess make;
        make.start(QStringLiteral("make"),
                   QStringList{"-n", "-C", VANTRELO_FIRMWARE_SOURCE, "BUILD=" + dir.path()} +
                       options);
        QVERIFY(make.waitForFinished(20000));
        QVERIFY2((make.exitCode() == 0) == built, make.readAllStandardError().constData());
    }

    // A build with other options is never taken for the last one: flashing with another
    // identifier or other power-on states builds them.
    void rebuildsForOtherOptions()
    {
        QTemporaryDir dir;
        const auto build = [&](const QString &option) {
            QProcess make;
            make.start(QStringLiteral("make"),
                       {"-s", "-C", VANTRELO_FIRMWARE_SOURCE, "BUILD=" + dir.path(), option});
            if (!make.waitForFinished(60000) || make.exitCode() != 0)
                return QByteArray();
            QFile image(dir.filePath(QStringLiteral("vantrelo-fw.hex")));
            return image.open(QIODevice::ReadOnly) ? image.readAll() : QByteArray();
        };
        const QByteArray first = build(QStringLiteral("POWER_ON=2:on"));
        QVERIFY(!first.isEmpty());
        QVERIFY(build(QStringLiteral("POWER_ON=")) != first);
        QCOMPARE(build(QStringLiteral("POWER_ON=2:on")), first);
    }
};

QTEST_GUILESS_MAIN(TestFirmware)
#include "tst_firmware.moc"
