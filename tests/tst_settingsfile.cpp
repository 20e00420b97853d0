// The settings file format, the path, and the conversion of the boxes' numbers.

#include "TestSupport.h"

#include "settings/NumberText.h"
#include "settings/SettingsFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
QByteArray defaultsFile()
{
    return QByteArray("1,\"9600\",0,\"\"\r\n\"MyOut1\",\"MyOut2\",\"MyOut3\",\"MyOut4\"\r\n");
}
} // namespace

class TestSettingsFile : public QObject
{
    Q_OBJECT
private slots:
    void defaultsAreFiftyTwoBytes();
    void roundTrip_data();
    void roundTrip();
    void reading_data();
    void reading();
    void path_data();
    void path();
    void writeReplacesWholeAndKeepsOldOnFailure();
    void undecodableBytesDoNotStopTheRead();
    void conversion_data();
    void conversion();
};

void TestSettingsFile::defaultsAreFiftyTwoBytes()
{
    const QByteArray bytes = SettingsFile::format(SettingsRecord::defaults());
    QCOMPARE(bytes, defaultsFile());
    QCOMPARE(bytes.size(), 52);
}

void TestSettingsFile::roundTrip_data()
{
    QTest::addColumn<int>("field"); // which field gets the text: 0 DeviceId, 1 OutName 2
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("line");     // the line that holds it, as written
    QTest::addColumn<QString>("readBack");
    QTest::newRow("comma in a name") << 1 << "a,b" << QByteArray("\"MyOut1\",\"a,b\",\"MyOut3\",\"MyOut4\"")
                                     << "a,b";
    QTest::newRow("quote in a name cuts it") << 1 << "ab\"cd"
                                             << QByteArray("\"MyOut1\",\"ab\"cd\",\"MyOut3\",\"MyOut4\"")
                                             << "ab";
    QTest::newRow("empty id") << 0 << "" << QByteArray("1,\"9600\",0,\"\"") << "";
    QTest::newRow("id with blanks") << 0 << " 7 " << QByteArray("1,\"9600\",0,\" 7 \"") << " 7 ";
    QTest::newRow("umlaut name") << 1 << "Pumpe \u00fc" << QByteArray() << "Pumpe \u00fc";
}

void TestSettingsFile::roundTrip()
{
    QFETCH(int, field);
    QFETCH(QString, text);
    QFETCH(QByteArray, line);
    QFETCH(QString, readBack);
    SettingsRecord r = SettingsRecord::defaults();
    (field == 0 ? r.DeviceId : r.outName(2)) = text;
    const QByteArray bytes = SettingsFile::format(r);
    if (!line.isEmpty())
        QVERIFY2(bytes.contains(QByteArray(line + "\r\n")), bytes.constData());
    const auto back = SettingsFile::parse(bytes);
    QVERIFY(back);
    QCOMPARE(field == 0 ? back->DeviceId : back->outName(2), readBack);
}

void TestSettingsFile::reading_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<int>("sample");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("name1");
    const QByteArray names = "\"A\",\"B\",\"C\",\"D\"\r\n";
    const auto withNames = [&](const char *line1) -> QByteArray { return QByteArray(line1) + names; };
    QTest::newRow("defaults") << defaultsFile() << true << 1 << "9600" << 0 << "" << "MyOut1";
    QTest::newRow("negative STime") << withNames("3,\"19200\",-5,\"7\"\r\n") << true << 3 << "19200"
                                    << -5 << "7" << "A";
    QTest::newRow("unquoted by hand") << withNames("1,9600,0,\r\n") << true << 1 << "9600" << 0 << ""
                                      << "A";
    QTest::newRow("blanks before items") << withNames("  2, \"9600\",  0, \"x\"\r\n") << true << 2
                                         << "9600" << 0 << "x" << "A";
    QTest::newRow("text after closing quote dropped") << withNames("1,\"96\"00,0,\"\"\r\n") << true
                                                      << 1 << "96" << 0 << "" << "A";
    QTest::newRow("extra lines ignored") << QByteArray(defaultsFile() + "junk\r\nmore\r\n") << true << 1
                                         << "9600" << 0 << "" << "MyOut1";
    QTest::newRow("fifth item on line 2 ignored") << QByteArray("1,\"9600\",0,\"\"\r\n\"A\",\"B\",\"C\",\"D\",\"E\"\r\n")
                                                  << true << 1 << "9600" << 0 << "" << "A";
    QTest::newRow("no final line end") << QByteArray("1,\"9600\",0,\"\"\r\n\"A\",\"B\",\"C\",\"D\"")
                                       << true << 1 << "9600" << 0 << "" << "A";
    QTest::newRow("LF line ends") << QByteArray("1,\"9600\",0,\"\"\n\"A\",\"B\",\"C\",\"D\"\n") << true
                                  << 1 << "9600" << 0 << "" << "A";
    QTest::newRow("line 1 only") << QByteArray("5,\"9600\",0,\"\"\r\n") << false << 0 << "" << 0 << ""
                                 << "";
    QTest::newRow("empty file") << QByteArray() << false << 0 << "" << 0 << "" << "";
    QTest::newRow("three names") << QByteArray("1,\"9600\",0,\"\"\r\n\"A\",\"B\",\"C\"\r\n") << false
                                 << 0 << "" << 0 << "" << "";
    QTest::newRow("five items on line 1") << withNames("1,\"9600\",0,\"\",\"x\"\r\n") << false << 0
                                          << "" << 0 << "" << "";
    QTest::newRow("port not a number") << withNames("x,\"9600\",0,\"\"\r\n") << false << 0 << "" << 0
                                       << "" << "";
    QTest::newRow("port out of range") << withNames("40000,\"9600\",0,\"\"\r\n") << false << 0 << ""
                                       << 0 << "" << "";
    QTest::newRow("port with fraction") << withNames("1.5,\"9600\",0,\"\"\r\n") << false << 0 << ""
                                        << 0 << "" << "";
    QTest::newRow("quoted port") << withNames("\"4\",\"9600\",0,\"\"\r\n") << true << 4 << "9600" << 0
                                 << "" << "A";
    QTest::newRow("lowest port") << withNames("-32768,\"9600\",32767,\"\"\r\n") << true << -32768
                                 << "9600" << 32767 << "" << "A";
}

void TestSettingsFile::reading()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);
    const auto r = SettingsFile::parse(bytes);
    QCOMPARE(r.has_value(), ok);
    if (!ok)
        return;
    QTEST(int(r->CommPortNumber), "port");
    QTEST(r->BaudText, "baud");
    QTEST(int(r->SampleTime), "sample");
    QTEST(r->DeviceId, "id");
    QTEST(r->outName(1), "name1");
    QVERIFY(r->outName(0).isEmpty() && r->outName(5).isEmpty());
}

void TestSettingsFile::path_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "/opt/vantrelo" << "vantrelo" << "/opt/vantrelo/vantrelo.ini";
    QTest::newRow("renamed copy") << "/home/op/boards" << "relay2" << "/home/op/boards/relay2.ini";
    QTest::newRow("root folder") << "/" << "relay2" << "//relay2.ini";
    QTest::newRow("nothing trimmed") << "/a b " << " x" << "/a b / x.ini";
}

void TestSettingsFile::path()
{
    QFETCH(QString, dir);
    QFETCH(QString, base);
    QTEST(SettingsFile::path(dir, base), "path");
}

void TestSettingsFile::writeReplacesWholeAndKeepsOldOnFailure()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("v.ini"));
    QCOMPARE(SettingsFile::write(file, SettingsRecord::defaults()), QString());
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), defaultsFile());
    f.close();

    // A folder that cannot be written: the write fails with a reason, the old file stays.
    SettingsRecord other = SettingsRecord::defaults();
    other.CommPortNumber = 9;
    QString reason;
    {
        TestSupport::ReadOnlyFolder readOnly(dir.path());
        if (!readOnly.effective())
            QSKIP("cannot make a folder read-only here");
        reason = SettingsFile::write(file, other);
    }
    QVERIFY(!reason.isEmpty());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), defaultsFile());
}

void TestSettingsFile::undecodableBytesDoNotStopTheRead()
{
    const QByteArray bytes("1,\"9600\",0,\"\xff\xfe\"\r\n\"\x80\",\"B\",\"C\",\"D\"\r\n");
    const auto r = SettingsFile::parse(bytes);
    QVERIFY(r);
    QCOMPARE(r->CommPortNumber, qint16(1));
    QVERIFY(!r->DeviceId.isEmpty());
    QCOMPARE(r->outName(2), QStringLiteral("B"));
}

void TestSettingsFile::conversion_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("1") << "1" << true << 1;
    QTest::newRow("01") << "01" << true << 1;
    QTest::newRow("2.5 to even") << "2.5" << true << 2;
    QTest::newRow("3.5 to even") << "3.5" << true << 4;
    QTest::newRow("-2.5") << "-2.5" << true << -2;
    QTest::newRow("-3.5") << "-3.5" << true << -4;
    QTest::newRow("2.51 up") << "2.51" << true << 3;
    QTest::newRow("2.49999 down") << "2.49999" << true << 2;
    QTest::newRow("2.500000001 up") << "2.500000001" << true << 3;
    QTest::newRow("0.5") << "0.5" << true << 0;
    QTest::newRow(".7") << ".7" << true << 1;
    QTest::newRow("5.") << "5." << true << 5;
    QTest::newRow("blanks around") << "  12 " << true << 12;
    QTest::newRow("plus") << "+3" << true << 3;
    QTest::newRow("max") << "32767" << true << 32767;
    QTest::newRow("min") << "-32768" << true << -32768;
    QTest::newRow("32767.4") << "32767.4" << true << 32767;
    QTest::newRow("32767.5 overflows") << "32767.5" << false << 0;
    QTest::newRow("70000") << "70000" << false << 0;
    QTest::newRow("-32769") << "-32769" << false << 0;
    QTest::newRow("abc") << "abc" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("blank") << "   " << false << 0;
    QTest::newRow("sign only") << "-" << false << 0;
    QTest::newRow("point only") << "." << false << 0;
    QTest::newRow("exponent") << "1e2" << false << 0;
    QTest::newRow("decimal comma") << "2,5" << false << 0;
    QTest::newRow("hex") << "0x10" << false << 0;
    QTest::newRow("inner blank") << "1 2" << false << 0;
    QTest::newRow("arabic digits") << "\u0661" << false << 0;
    QTest::newRow("huge") << "99999999999999999999" << false << 0;
}

void TestSettingsFile::conversion()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    const auto v = convertToInt16(text);
    QCOMPARE(v.has_value(), ok);
    if (ok)
        QTEST(int(*v), "value");
}

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
