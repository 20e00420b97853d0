// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The programs' command lines: --version, --help and what they do not take, answered before any
// window is made. A shown window paints, and Qt's painting log says so.

#include "TestSupport.h"

#include <QTemporaryDir>

class TestCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void answers_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status"); // -1: still running after a second, as it should be
        QTest::addColumn<QString>("output");
        const auto row = [](const char *tag, const char *program, const QStringList &arguments,
                            int status, const char *output) {
            QTest::newRow(tag) << QString(program) << arguments << status << QString(output);
        };
        const char *app = VANTRELO_APP, *sim = VANTRELO_SIM, *service = VANTRELOD;
        row("version", app, {"--version"}, 0, "vantrelo 0.1.0\n");
        row("help", app, {"--help"}, 0, "Usage: vantrelo [options]\n");
        row("help, no display", app, {"-h"}, 0, "Usage: vantrelo [options]\n");
        row("unknown option", app, {"--bogus"}, 2, "vantrelo: Unknown option 'bogus'.");
        row("an argument", app, {"x"}, 2, "vantrelo: unexpected argument 'x'");
        row("none: the window", app, {}, -1, "");
        // X11's -geometry on every platform; one dash, one word.
        row("geometry", app, {"-geometry", "+700-30"}, -1, "");
        row("geometry, not one", app, {"-geometry", "700,300"}, 2, "'700,300' is not a geometry");
        row("one dash, one word", app, {"-bogus"}, 2, "vantrelo: Unknown option 'bogus'.");
        row("sim version", sim, {"-v"}, 0, "vantrelo-sim 0.1.0\n");
        row("board version", VANTRELO_BOARD, {"--version"}, 0, "vantrelo-board 0.1.0\n");
        row("sim unknown", sim, {"--nope"}, 2, "vantrelo-sim: Unknown option 'nope'.");
        for (const QStringList &bad :
             {QStringList{"--delay", "abc"}, QStringList{"--delay", "-5"},
              QStringList{"--toggle-every", "abc"}, QStringList{"--id", "1\r"},
              QStringList{"--interlock", "1,2,"}})
            row(qPrintable("sim " + bad.join(u' ')), sim, QStringList{"--link", "COM1"} + bad, 2,
                "vantrelo-sim: ");
        row("service version", service, {"--version"}, 0, "vantrelod 0.1.0\n");
        row("service, no name", service, {}, 2, "no board name");
        row("service, empty name", service, {""}, 2, "no board name '': a name is not empty");
        row("service, a / in the name", service, {"a/b"}, 2, "holds no /");
        row("service, two names", service, {"a", "b"}, 2, "not a b");
        row("service unknown", service, {"--nope", "a"}, 2, "Unknown option 'nope'");
        // The bridge checks every option before it connects anywhere.
        const char *mqtt = VANTRELO_MQTT;
        row("mqtt, a URL for the host", mqtt, {"--host", "mqtts://b:8883"}, 2, "alone, such as");
        // As mosquitto's clients: -h is the host, help is --help alone.
        row("mqtt -h, the host", mqtt, {"-h", "mqtts://b:8883"}, 2, "alone, such as");
        row("mqtt --help", mqtt, {"--help"}, 0, "Usage: vantrelo-mqtt [options]\n");
        row("mqtt -?", mqtt, {"-?"}, 2, "Unknown option '?'");
        row("mqtt, a / in the node", mqtt, {"--node-id", "a/b"}, 2, "no node id \"a/b\"");
        row("mqtt, a CA that is not PEM", mqtt, {"--cafile", mqtt}, 2,
            "no certificate or crl found");
        row("mqtt, a certificate without its key", mqtt, {"--cafile", mqtt, "--cert", mqtt}, 2,
            "--cert and --key go together");
        row("mqtt, a TLS version", mqtt, {"--tls-use-os-certs", "--tls-version", "tlsv1.0"}, 2,
            "no TLS version");
        for (const char *port : {"70000", " 1883", "+1883", "0"})
            row(qPrintable(QString("mqtt, port \"%1\"").arg(port)), mqtt, {"--port", port}, 2,
                "ports are 1 to 65535");
        row("mqtt, a prefix with an empty level", mqtt, {"--prefix", "/a"}, 2, "empty level");
        row("mqtt, a discovery prefix so", mqtt, {"--discovery-prefix", "/homeassistant"}, 2,
            "empty level");
        row("mqtt, --forget nothing", mqtt, {"--forget", ""}, 2, "--forget names one board");
        row("mqtt, --forget twice", mqtt, {"--forget", "a", "--forget", "b"}, 2,
            "--forget names one board");
    }
    void answers()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QTemporaryDir dir; // a copy of its own: no settings file, no COM link, no device
        const QString copy = dir.filePath(QFileInfo(program).fileName());
        QVERIFY(QFile::copy(program, copy));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (QByteArray(QTest::currentDataTag()).endsWith("no display")) { // as over ssh
            env.insert("QT_QPA_PLATFORM", "xcb");
            env.remove("DISPLAY");
        }
        env.insert("QT_LOGGING_RULES", "qt.widgets.painting=true");
        const auto [exitStatus, out, err] = TestSupport::run(copy, arguments, env, {}, 1000);
        QCOMPARE(exitStatus, status); // -1: still running after 1 s
        QFETCH(QString, output);
        QVERIFY2(status == 0 ? out.startsWith(output) : err.contains(output),
                 qPrintable(out + err));
        if (program == VANTRELO_APP) // a window was shown
            QCOMPARE(err.contains("Painting and flushing"), status == -1);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
