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
        const QString app = QStringLiteral(VANTRELO_APP), sim = QStringLiteral(VANTRELO_SIM);
        QTest::newRow("version") << app << QStringList{"--version"} << 0 << "vantrelo 0.1.0\n";
        QTest::newRow("help") << app << QStringList{"--help"} << 0 << "Usage: vantrelo [options]\n";
        QTest::newRow("help, no display")
            << app << QStringList{"-h"} << 0 << "Usage: vantrelo [options]\n";
        QTest::newRow("unknown option")
            << app << QStringList{"--bogus"} << 2 << "vantrelo: Unknown option 'bogus'.";
        QTest::newRow("an argument")
            << app << QStringList{"x"} << 2 << "vantrelo: unexpected argument 'x'";
        QTest::newRow("none: the window") << app << QStringList{} << -1 << "";
        QTest::newRow("sim version") << sim << QStringList{"-v"} << 0 << "vantrelo-sim 0.1.0\n";
        QTest::newRow("board version") << QStringLiteral(VANTRELO_BOARD) << QStringList{"--version"}
                                       << 0 << "vantrelo-board 0.1.0\n";
        QTest::newRow("sim unknown")
            << sim << QStringList{"--nope"} << 2 << "vantrelo-sim: Unknown option 'nope'.";
        const QString service = QStringLiteral(VANTRELOD);
        QTest::newRow("service version")
            << service << QStringList{"--version"} << 0 << "vantrelod 0.1.0\n";
        QTest::newRow("service, no name") << service << QStringList{} << 2 << "no board name";
        QTest::newRow("service, empty name")
            << service << QStringList{""} << 2 << "no board name '': a name is not empty";
        QTest::newRow("service, a / in the name")
            << service << QStringList{"a/b"} << 2 << "holds no /";
        QTest::newRow("service, two names") << service << QStringList{"a", "b"} << 2 << "not a b";
        QTest::newRow("service unknown")
            << service << QStringList{"--nope", "a"} << 2 << "Unknown option 'nope'";
        // The bridge checks every option before it connects anywhere.
        const QString mqtt = QStringLiteral(VANTRELO_MQTT);
        QTest::newRow("mqtt, a tab in the client id")
            << mqtt << QStringList{"--client-id", "a\tb"} << 2 << "no client id";
        QTest::newRow("mqtt, a URL for the host")
            << mqtt << QStringList{"--host", "mqtts://broker:8883"} << 2 << "alone, such as";
        QTest::newRow("mqtt, a wildcard in the prefix")
            << mqtt << QStringList{"--prefix", "a/#"} << 2 << "no prefix \"a/#\"";
        QTest::newRow("mqtt, a / in the node")
            << mqtt << QStringList{"--node-id", "a/b"} << 2 << "no node id \"a/b\"";
        QTest::newRow("mqtt, a CA that is not PEM")
            << mqtt << QStringList{"--cafile", mqtt} << 2 << "no certificate or crl found";
        QTest::newRow("mqtt, a certificate without its key")
            << mqtt << QStringList{"--cafile", mqtt, "--cert", mqtt} << 2
            << "--cert and --key go together";
        QTest::newRow("mqtt, a TLS version")
            << mqtt << QStringList{"--tls-use-os-certs", "--tls-version", "tlsv1.0"} << 2
            << "no TLS version";
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
        QCOMPARE(err.contains("Painting and flushing"), status == -1); // a window was shown
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
