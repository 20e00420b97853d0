// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The bridge's topics, commands, discovery documents and what it refuses as a prefix, a node or
// a client id, without a broker.

#include "mqtt/Topics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
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
        QCOMPARE(
            QStringList({Topics::bridgeState(p), Topics::availability(p, "x/y"),
                         Topics::status(p, "x/y"), Topics::outputState(p, "x/y", 3),
                         Topics::outputCommand(p, "x/y", 3), Topics::commandFilters(p).join(u' '),
                         Topics::hubStatus(p), Topics::discoveryConfig(p, "x/y")}),
            QStringList({"plant/a/pi-4/bridge/state", "plant/a/pi-4/x_2fy/availability",
                         "plant/a/pi-4/x_2fy/status", "plant/a/pi-4/x_2fy/output/3",
                         "plant/a/pi-4/x_2fy/output/3/set",
                         "plant/a/pi-4/+/output/+/+ plant/a/pi-4/+/output/+/pulse_length/set",
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
        const auto rows = [](int kind, std::initializer_list<std::pair<QString, bool>> texts) {
            for (const auto &[text, refused] : texts)
                QTest::newRow(qPrintable(QString("%1 \"%2\"").arg(kind).arg(text.left(20))))
                    << kind << text << refused;
        };
        rows(0, {{"plant/a/vantrelo", false},
                 {"a+b", true},
                 {"a/#", true},
                 {"$SYS", true},
                 {"vantrelo/", true},
                 {"a//b", true},
                 {"/a", true},
                 {"", true},
                 {"a\tb", true}});
        rows(1, {{"pi-4", false}, {"pi/4", true}, {"pi+", true}});
        rows(2, {{"vantrelo-mqtt-op@pi", false},
                 {QString(65535, u'x'), false},
                 {QString(70000, u'y'), true},
                 {"a\tb", true},
                 {"", true}});
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
        row("pulse PRESS", pulse.arg(2), "PRESS", 2, Topics::Command::PulseStored);
        const QString length = QString("plant/a/vantrelo/pi/x_5fy/output/%1/pulse_length");
        row("pulse length set", length.arg(4) + "/set", "86400", 4,
            Topics::Command::SetPulseLength);
        row("pulse length kept", length.arg(1), "0.1", 1, Topics::Command::StoredPulseLength);
        for (const char *bad : {"0.09", "86400.001", "-1", "1e2", "1.2345", ".5", "", "2\n"})
            row(QString("pulse length \"%1\"").arg(bad), length.arg(1) + "/set", bad);
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
        const QHash<int, quint32> ms = {{Topics::Command::Pulse, 86400000u},
                                        {Topics::Command::SetPulseLength, 86400000u},
                                        {Topics::Command::StoredPulseLength, 100u}};
        QCOMPARE(command.milliseconds, ms.value(int(command.kind), 0u));
    }

    // The documents against the keys Home Assistant documents for each platform (it ignores any
    // other, so a misspelled key would only fail in the field), its required keys, and every
    // topic they name: one the bridge publishes, or one whose payloads the bridge takes.
    void discoveryDocuments()
    {
        const auto keys = [](const char *text) {
            const QStringList list = QString::fromLatin1(text).split(u' ');
            return QSet<QString>(list.begin(), list.end());
        };
        const QSet<QString> entity = keys(
            "platform name unique_id availability availability_mode availability_template "
            "availability_topic payload_available payload_not_available device default_entity_id "
            "object_id enabled_by_default encoding entity_category entity_picture icon "
            "json_attributes_template json_attributes_topic qos");
        const QHash<QString, QSet<QString>> platforms = {
            {"switch", keys("command_template command_topic device_class optimistic payload_off "
                            "payload_on retain state_off state_on state_topic value_template")},
            {"button", keys("command_template command_topic device_class payload_press retain")},
            {"number", keys("command_template command_topic device_class max min mode optimistic "
                            "payload_reset retain state_topic step unit_of_measurement "
                            "value_template")},
            {"binary_sensor", keys("device_class expire_after force_update off_delay payload_off "
                                   "payload_on state_topic value_template")},
            {"sensor", keys("device_class expire_after force_update last_reset_value_template "
                            "options suggested_display_precision state_class state_topic "
                            "unit_of_measurement value_template")}};
        const QHash<QString, QStringList> required = {{"switch", {"command_topic", "state_topic"}},
                                                      {"button", {"command_topic"}},
                                                      {"number", {"command_topic"}},
                                                      {"binary_sensor", {"state_topic"}},
                                                      {"sensor", {"state_topic"}}};
        const QSet<QString> deviceKeys =
            keys("configuration_url connections hw_version identifiers manufacturer model "
                 "model_id name serial_number suggested_area sw_version via_device");
        const QSet<QString> documentKeys =
            keys("device origin components availability availability_mode availability_template "
                 "availability_topic payload_available payload_not_available qos encoding "
                 "state_topic command_topic");
        const QSet<QString> originKeys = keys("name sw_version support_url");
        const QSet<QString> availabilityKeys =
            keys("topic payload_available payload_not_available value_template");

        const Topics::Prefixes p{"vt", "ha", "pi"};
        const QString copy = "board.1";
        QSet<QString> published = {Topics::bridgeState(p), Topics::availability(p, copy),
                                   Topics::status(p, copy)};
        for (int n = 1; n <= Topics::outputCount; ++n)
            published << Topics::outputState(p, copy, n) << Topics::pulseLength(p, copy, n);
        const auto keysOf = [](const QJsonObject &o) {
            const QStringList list = o.keys();
            return QSet<QString>(list.begin(), list.end());
        };
        const auto within = [](const QSet<QString> &found, const QSet<QString> &allowed) {
            return QStringList((found - allowed).values()).join(u',');
        };
        const auto checkAvailability = [&](const QJsonValue &list) {
            for (const QJsonValue item : list.toArray()) {
                QCOMPARE(within(keysOf(item.toObject()), availabilityKeys), QString());
                QVERIFY(published.contains(item.toObject()["topic"].toString()));
            }
        };
        const QJsonObject bridge = Topics::bridgeDiscoveryDocument(p, "1.2.3");
        const QJsonObject board =
            Topics::discoveryDocument(p, copy, {"Pump", "", QString(), "a,b"}, "1.2.3");
        QCOMPARE(board["device"]["via_device"].toString(),
                 bridge["device"]["identifiers"][0].toString());
        QSet<QString> platformsSeen;
        for (const QJsonObject &doc : {bridge, board}) {
            QCOMPARE(within(keysOf(doc), documentKeys), QString());
            QCOMPARE(within(keysOf(doc["device"].toObject()), deviceKeys), QString());
            QCOMPARE(within(keysOf(doc["origin"].toObject()), originKeys), QString());
            checkAvailability(doc["availability"]);
            const QJsonObject components = doc["components"].toObject();
            for (auto it = components.begin(); it != components.end(); ++it) {
                const QJsonObject c = it.value().toObject();
                const QString platform = c["platform"].toString();
                platformsSeen << platform;
                QVERIFY2(platforms.contains(platform), qPrintable(it.key()));
                QCOMPARE(within(keysOf(c), entity + platforms[platform]), QString());
                for (const QString &key : required[platform] + QStringList{"unique_id", "name"})
                    QVERIFY2(c.contains(key), qPrintable(it.key() + ": " + key));
                checkAvailability(c["availability"]);
                if (c.contains("state_topic"))
                    QVERIFY2(published.contains(c["state_topic"].toString()), qPrintable(it.key()));
                // What Home Assistant sends on the command topic, the bridge takes.
                QList<QByteArray> payloads;
                if (platform == "switch")
                    payloads = {c["payload_on"].toString().toUtf8(),
                                c["payload_off"].toString().toUtf8()};
                if (platform == "button")
                    payloads = {c["payload_press"].toString().toUtf8()};
                if (platform == "number")
                    for (const char *key : {"min", "max"})
                        payloads << QByteArray::number(c[key].toDouble());
                for (const QByteArray &payload : payloads) {
                    const auto parsed =
                        Topics::parseCommand(p, c["command_topic"].toString(), payload);
                    QVERIFY2(std::holds_alternative<Topics::Command>(parsed),
                             qPrintable(it.key() + ": " + payload));
                }
            }
        }
        QCOMPARE(platformsSeen, QSet<QString>(platforms.keyBegin(), platforms.keyEnd()));
        const QJsonObject names = board["components"].toObject();
        QCOMPARE(QStringList({names["output1"]["name"].toString(),
                              names["output2_pulse"]["name"].toString(),
                              names["output4_pulse_length"]["name"].toString()}),
                 QStringList({"Pump", "Output 2 pulse", "a,b pulse length"}));
        QCOMPARE(Topics::pulseLengthText(1500), QByteArray("1.5"));
        QCOMPARE(Topics::pulseLengthText(86400000), QByteArray("86400"));
    }
};

QTEST_GUILESS_MAIN(TestTopics)
#include "tst_topics.moc"
