// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The bridge's topics, commands and discovery documents, without a broker.

#include "mqtt/Topics.h"

#include <QJsonDocument>
#include <QTest>

class TestTopics : public QObject
{
    Q_OBJECT
private slots:
    void levels_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("stateTopic");
        QTest::addColumn<QString>("discoveryTopic");
        QTest::newRow("plain") << "pump"
                               << "vantrelo/pump/output/2"
                               << "homeassistant/switch/vantrelo_pump/output2/config";
        QTest::newRow("wildcards and slash")
            << "a+b#c/d"
            << "vantrelo/a_2bb_23c_2fd/output/2"
            << "homeassistant/switch/vantrelo_a_2bb_23c_2fd/output2/config";
        QTest::newRow("dot and digit")
            << "2nd.board"
            << "vantrelo/2nd.board/output/2"
            << "homeassistant/switch/vantrelo__32nd_2eboard/output2/config";
    }
    void levels()
    {
        QFETCH(QString, name);
        const Topics::Prefixes p;
        QFETCH(QString, stateTopic);
        QFETCH(QString, discoveryTopic);
        QCOMPARE(Topics::outputState(p, name, 2), stateTopic);
        QCOMPARE(Topics::discoveryConfig(p, name, 2), discoveryTopic);
    }

    void commands_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("output"); // 0: refused
        QTest::addColumn<int>("kind");
        const QString set = QStringLiteral("plant/a/vantrelo/pump/output/%1/set");
        QTest::newRow("ON") << set.arg(1) << QByteArray("ON") << 1 << int(Topics::Command::On);
        QTest::newRow("OFF") << set.arg(4) << QByteArray("OFF") << 4 << int(Topics::Command::Off);
        QTest::newRow("TOGGLE") << set.arg(2) << QByteArray("TOGGLE") << 2
                                << int(Topics::Command::Toggle);
        QTest::newRow("lower case") << set.arg(1) << QByteArray("on") << 0 << 0;
        QTest::newRow("another word") << set.arg(1) << QByteArray("TRUE") << 0 << 0;
        QTest::newRow("empty") << set.arg(1) << QByteArray() << 0 << 0;
        QTest::newRow("trailing newline") << set.arg(1) << QByteArray("ON\n") << 0 << 0;
        QTest::newRow("long") << set.arg(1) << QByteArray(100000, 'O') << 0 << 0;
        QTest::newRow("binary") << set.arg(1) << QByteArray("O\0N", 3) << 0 << 0;
        QTest::newRow("output 0") << set.arg(0) << QByteArray("ON") << 0 << 0;
        QTest::newRow("output 5") << set.arg(5) << QByteArray("ON") << 0 << 0;
        QTest::newRow("output 01") << set.arg("01") << QByteArray("ON") << 0 << 0;
        QTest::newRow("output 10") << set.arg(10) << QByteArray("ON") << 0 << 0;
        QTest::newRow("output +1") << set.arg("+1") << QByteArray("ON") << 0 << 0;
        QTest::newRow("state topic")
            << "plant/a/vantrelo/pump/output/1" << QByteArray("ON") << 0 << 0;
        QTest::newRow("another prefix")
            << "vantrelo/pump/output/1/set" << QByteArray("ON") << 0 << 0;
        QTest::newRow("extra level")
            << "plant/a/vantrelo/pump/x/output/1/set" << QByteArray("ON") << 0 << 0;
    }
    void commands()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(int, output);
        QFETCH(int, kind);
        const Topics::Prefixes p{QStringLiteral("plant/a/vantrelo"), QStringLiteral("ha")};
        const auto parsed = Topics::parseCommand(p, topic, payload);
        if (output == 0) {
            QVERIFY(std::holds_alternative<QString>(parsed));
            QVERIFY(!std::get<QString>(parsed).isEmpty());
            return;
        }
        if (const QString *refusal = std::get_if<QString>(&parsed))
            QFAIL(qPrintable(*refusal));
        const auto &command = std::get<Topics::Command>(parsed);
        QCOMPARE(command.copyLevel, QString("pump"));
        QCOMPARE(command.output, output);
        QCOMPARE(int(command.kind), kind);
    }

    void discoveryDocument()
    {
        // The whole document as the hub reads it: a field lost or changed shows.
        const Topics::Prefixes p{QStringLiteral("vt"), QStringLiteral("ha")};
        QJsonParseError error{};
        const QJsonObject expected = QJsonDocument::fromJson(R"({
                "name": "Fan", "unique_id": "vantrelo_board_2e1_2",
                "command_topic": "vt/board.1/output/2/set", "state_topic": "vt/board.1/output/2",
                "payload_on": "ON", "payload_off": "OFF", "qos": 1,
                "availability": [{"topic": "vt/bridge/state"}, {"topic": "vt/board.1/availability"}],
                "availability_mode": "all",
                "device": {"identifiers": ["vantrelo_board_2e1"], "name": "board.1",
                           "model": "Vantrelo output controller", "sw_version": "1.2.3"}})",
                                                             &error)
                                         .object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(Topics::discoveryDocument(p, "board.1", "Fan", 2, "1.2.3"), expected);
    }
};

QTEST_GUILESS_MAIN(TestTopics)
#include "tst_topics.moc"
