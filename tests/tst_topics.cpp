// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The bridge's topics, commands, discovery documents and what it refuses as a prefix, a node or
// a client id, without a broker.

#include "mqtt/Topics.h"

#include <QJsonDocument>
#include <QTest>

class TestTopics : public QObject
{
    Q_OBJECT
private slots:
    // A name's topic level, and its device id with the node "pi-4": the labels there are the
    // copies' bus-name labels.
    void levels_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("deviceId");
        const auto row = [](const char *tag, const QString &name, const char *level,
                            const char *device) {
            QTest::newRow(tag) << name << QString::fromUtf8(level)
                               << "vantrelo_pi_2d4_" + QString::fromUtf8(device);
        };
        row("plain", "pump", "pump", "pump");
        row("dot and digit", "2nd.board", "2nd.board", "_32nd_2eboard");
        row("wildcards and slash", "a+b#c/d", "a_2bb_23c_2fd", "a_2bb_23c_2fd");
        // Two names never share a level: the escape character is escaped too.
        row("x+1", "x+1", "x_2b1", "x_2b1");
        row("x_2b1", "x_2b1", "x_5f2b1", "x_5f2b1");
        row("controls", "a\tb\u007f\u0085", "a_09b_7f_c2_85", "a_09b_7f_c2_85");
        row("non-characters", QString("k\ufdd0\uffff\U0001fffe"), "k_ef_b7_90_ef_bf_bf_f0_9f_bf_be",
            "k_ef_b7_90_ef_bf_bf_f0_9f_bf_be");
        row("umlaut and space stay", QString("K\u00fchl raum"), "K\u00fchl raum",
            "K_c3_bchl_20raum");
    }
    void levels()
    {
        QFETCH(QString, name);
        QTEST(Topics::level(name), "level");
        QTEST(Topics::deviceId({"vt", "ha", "pi-4"}, name), "deviceId");
    }

    void topicsCarryTheNode()
    {
        const Topics::Prefixes p{"plant/a", "ha", "pi-4"};
        QCOMPARE(QStringList({Topics::bridgeState(p), Topics::availability(p, "x/y"),
                              Topics::status(p, "x/y"), Topics::outputState(p, "x/y", 3),
                              Topics::outputCommand(p, "x/y", 3), Topics::commandFilter(p),
                              Topics::hubStatus(p), Topics::discoveryConfig(p, "x/y")}),
                 QStringList({"plant/a/pi-4/bridge/state", "plant/a/pi-4/x_2fy/availability",
                              "plant/a/pi-4/x_2fy/status", "plant/a/pi-4/x_2fy/output/3",
                              "plant/a/pi-4/x_2fy/output/3/set", "plant/a/pi-4/+/output/+/+",
                              "ha/status", "ha/device/vantrelo_pi_2d4_x_2fy/config"}));
        QCOMPARE(Topics::retainedTopics(p, "x/y").mid(0, 4),
                 QStringList({"ha/device/vantrelo_pi_2d4_x_2fy/config",
                              "plant/a/pi-4/x_2fy/availability", "plant/a/pi-4/x_2fy/status",
                              "plant/a/pi-4/x_2fy/output/1"}));
    }

    void refusals_data()
    {
        QTest::addColumn<int>("kind"); // 0 prefix, 1 node, 2 client id
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("refused");
        QTest::newRow("prefix with levels") << 0 << "plant/a/vantrelo" << false;
        QTest::newRow("prefix +") << 0 << "a+b" << true;
        QTest::newRow("prefix #") << 0 << "a/#" << true;
        QTest::newRow("prefix $") << 0 << "$SYS" << true;
        QTest::newRow("prefix trailing /") << 0 << "vantrelo/" << true;
        QTest::newRow("prefix empty level") << 0 << "a//b" << true;
        QTest::newRow("prefix leading /") << 0 << "/a" << true;
        QTest::newRow("prefix empty") << 0 << "" << true;
        QTest::newRow("prefix tab") << 0 << "a\tb" << true;
        QTest::newRow("node") << 1 << "pi-4" << false;
        QTest::newRow("node /") << 1 << "pi/4" << true;
        QTest::newRow("node +") << 1 << "pi+" << true;
        QTest::newRow("client id") << 2 << "vantrelo-mqtt-op@pi" << false;
        QTest::newRow("client id, 65535 bytes") << 2 << QString(65535, u'x') << false;
        QTest::newRow("client id, 70000") << 2 << QString(70000, u'x') << true;
        QTest::newRow("client id, tab") << 2 << "a\tb" << true;
        QTest::newRow("client id, empty") << 2 << "" << true;
    }
    void refusals()
    {
        QFETCH(int, kind);
        QFETCH(QString, text);
        const QString refusal = kind == 0   ? Topics::prefixRefusal(text)
                                : kind == 1 ? Topics::nodeRefusal(text)
                                            : Topics::clientIdRefusal(text);
        QTEST(!refusal.isEmpty(), "refused");
    }

    void commands_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("output"); // 0: refused
        QTest::addColumn<int>("kind");
        const auto row = [](const QString &tag, const QString &topic, const QByteArray &payload,
                            int output = 0, Topics::Command::Kind kind = Topics::Command::On) {
            QTest::newRow(qPrintable(tag)) << topic << payload << output << int(kind);
        };
        const QString set = QString("plant/a/vantrelo/pi/x_5fy/output/%1/set");
        const QString pulse = QString("plant/a/vantrelo/pi/x_5fy/output/%1/pulse");
        row("ON", set.arg(1), "ON", 1, Topics::Command::On);
        row("OFF", set.arg(4), "OFF", 4, Topics::Command::Off);
        row("TOGGLE", set.arg(2), "TOGGLE", 2, Topics::Command::Toggle);
        row("pulse a day", pulse.arg(3), "86400000", 3, Topics::Command::Pulse);
        for (const char *bad : {"0", "012", "86400001", "5s", "-5", "+5", " 5", "", "1e3", "700\n"})
            row(QString("pulse \"%1\"").arg(bad), pulse.arg(3), bad);
        row("pulse, output 5", pulse.arg(5), "500");
        for (const char *bad : {"on", "TRUE", "", "ON\n"})
            row(QString("payload \"%1\"").arg(bad), set.arg(1), bad);
        row("257 bytes", set.arg(1), QByteArray(257, 'O'));
        row("binary", set.arg(1), QByteArray("O\0N", 3));
        for (const char *n : {"0", "5", "01", "10", "+1"})
            row(QString("output %1").arg(n), set.arg(n), "ON");
        row("state topic", "plant/a/vantrelo/pi/x_5fy/output/1", "ON");
        row("another node", "plant/a/vantrelo/nas/x_5fy/output/1/set", "ON");
        row("no node", "plant/a/vantrelo/x_5fy/output/1/set", "ON");
        row("extra level", "plant/a/vantrelo/pi/x_5fy/x/output/1/set", "ON");
    }
    void commands()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(int, output);
        const Topics::Prefixes p{"plant/a/vantrelo", "ha", "pi"};
        const auto parsed = Topics::parseCommand(p, topic, payload);
        if (output == 0) {
            QVERIFY(std::holds_alternative<Topics::Refusal>(parsed));
            QVERIFY(!std::get<Topics::Refusal>(parsed).kind.isEmpty());
            return;
        }
        if (const auto *refusal = std::get_if<Topics::Refusal>(&parsed))
            QFAIL(qPrintable(refusal->kind));
        const auto &command = std::get<Topics::Command>(parsed);
        QCOMPARE(command.copyLevel, QString("x_5fy"));
        QCOMPARE(command.output, output);
        QTEST(int(command.kind), "kind");
        QCOMPARE(command.milliseconds, command.kind == Topics::Command::Pulse ? 86400000u : 0u);
    }

    void discoveryDocument()
    {
        // The whole document as the hub reads it: a field lost or changed shows.
        const Topics::Prefixes p{"vt", "ha", "pi"};
        const auto component = [](int n, const char *name) {
            return QString("\"output%1\": {\"platform\": \"switch\", \"name\": \"%2\", "
                           "\"unique_id\": \"vantrelo_pi_board_2e1_%1\", "
                           "\"command_topic\": \"vt/pi/board.1/output/%1/set\", "
                           "\"state_topic\": \"vt/pi/board.1/output/%1\", \"payload_on\": \"ON\", "
                           "\"payload_off\": \"OFF\", \"qos\": 1}")
                .arg(n)
                .arg(name);
        };
        QJsonParseError error{};
        // "\/" in place of "/": moc takes "//" in a raw string for a comment.
        QJsonObject expected = QJsonDocument::fromJson(R"({
                "device": {"identifiers": ["vantrelo_pi_board_2e1"], "name": "board.1",
                           "model": "Vantrelo output controller", "sw_version": "1.2.3"},
                "origin": {"name": "vantrelo-mqtt", "sw_version": "1.2.3",
                           "support_url": "https:\/\/vantrelo.example\/"},
                "availability": [{"topic": "vt/pi/bridge/state"},
                                 {"topic": "vt/pi/board.1/availability"}],
                "availability_mode": "all", "qos": 1})",
                                                       &error)
                                   .object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QString components = QStringList{component(1, "Pump"), component(2, "Output 2"),
                                               component(3, "Output 3"), component(4, "a,b")}
                                       .join(u',');
        expected.insert("components",
                        QJsonDocument::fromJson("{" + components.toUtf8() + "}", &error).object());
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(Topics::discoveryDocument(p, "board.1", {"Pump", "", QString(), "a,b"}, "1.2.3"),
                 expected);
    }
};

QTEST_GUILESS_MAIN(TestTopics)
#include "tst_topics.moc"
