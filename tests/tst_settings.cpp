// The settings file, the number conversion, and loading and saving through the window.

#include "TestSupport.h"
#include "WindowRig.h"

#include "settings/NumberText.h"
#include "settings/SettingsFile.h"

namespace {

const QByteArray defaultsFile("1,\"9600\",0,\"\"\r\n\"MyOut1\",\"MyOut2\",\"MyOut3\",\"MyOut4\"\r\n");
const QByteArray names("\"A\",\"B\",\"C\",\"D\"\r\n");

// What the boxes and captions show, in one list.
QStringList shown(const MainWindowUi &ui)
{
    QStringList out = {ui.portEdit->text(), ui.baudEdit->text(), ui.sampleTimeEdit->text(),
                       ui.deviceIdEdit->text(), ui.opt1Edit->text()};
    for (int i = 0; i < 4; ++i)
        out << ui.outputNameEdits[i]->text() << ui.outputButtons[i]->text();
    return out;
}

const QStringList defaultsShown = {"1",      "9600",   "0",      "",       "",
                                   "MyOut1", "MyOut1", "MyOut2", "MyOut2", "MyOut3",
                                   "MyOut3", "MyOut4", "MyOut4"};

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void format();
    void reading_data();
    void reading();
    void path();
    void conversion_data();
    void conversion();
    void loadFallsBackToDefaults_data();
    void loadFallsBackToDefaults();
    void loadApplies();
    void saveConvertsAndRestarts_data();
    void saveConvertsAndRestarts();
    void badNumberChangesNothing();
    void unwritableFolderKeepsOldFile();
};

void TestSettings::format()
{
    QCOMPARE(SettingsFile::format({}), defaultsFile); // 52 bytes
    SettingsRecord r;
    r.portNumber = -3;
    r.sampleTime = -7;
    r.deviceId = QStringLiteral(" 7 ");
    r.outputNames = {QStringLiteral("a,b"), QString(), QStringLiteral("\u00fc"), QStringLiteral("d")};
    const QByteArray bytes = SettingsFile::format(r);
    QCOMPARE(bytes, QByteArray("-3,\"9600\",-7,\" 7 \"\r\n\"a,b\",\"\",\"\xc3\xbc\",\"d\"\r\n"));
    QCOMPARE(*SettingsFile::parse(bytes), r);
}

void TestSettings::reading_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("fields"); // port, baud, stime, id, name 1; empty: a failure
    QTest::newRow("unquoted by hand") << "1,9600,0,\r\n" + names << QStringList{"1", "9600", "0", "", "A"};
    QTest::newRow("blanks before items") << "  2, \"9600\",  -5, \"x\"\r\n" + names
                                         << QStringList{"2", "9600", "-5", "x", "A"};
    QTest::newRow("rest after a quote dropped") << QByteArray("1,\"96\"00,0,\"\"\r\n\"ab\"cd\",\"B\",\"C\",\"D\"\r\n")
                                                << QStringList{"1", "96", "0", "", "ab"};
    QTest::newRow("more lines and items ignored") << QByteArray("1,\"9600\",0,\"\"\n\"A\",\"B\",\"C\",\"D\",\"E\"\nx\n")
                                                  << QStringList{"1", "9600", "0", "", "A"};
    QTest::newRow("undecodable bytes") << QByteArray("1,\"9600\",0,\"\"\r\n\"\xff\",\"B\",\"C\",\"D\"\r\n")
                                       << QStringList{"1", "9600", "0", "", QString(QChar(0xFFFD))};
    QTest::newRow("line 1 only") << QByteArray("5,\"9600\",0,\"\"\r\n") << QStringList();
    QTest::newRow("three names") << QByteArray("1,\"9600\",0,\"\"\r\n\"A\",\"B\",\"C\"\r\n") << QStringList();
    QTest::newRow("five items on line 1") << "1,\"9600\",0,\"\",\"x\"\r\n" + names << QStringList();
    QTest::newRow("port not a whole number") << "1.5,\"9600\",0,\"\"\r\n" + names << QStringList();
    QTest::newRow("port out of range") << "40000,\"9600\",0,\"\"\r\n" + names << QStringList();
}

void TestSettings::reading()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, fields);
    const auto r = SettingsFile::parse(bytes);
    QCOMPARE(r.has_value(), !fields.isEmpty());
    if (r)
        QCOMPARE((QStringList{QString::number(r->portNumber), r->baudText, QString::number(r->sampleTime),
                              r->deviceId, r->outputNames[0]}),
                 fields);
}

void TestSettings::path()
{
    QCOMPARE(SettingsFile::path("/home/op/boards", "relay2"), QStringLiteral("/home/op/boards/relay2.ini"));
    QCOMPARE(SettingsFile::path("/", "relay2"), QStringLiteral("//relay2.ini")); // nothing normalised
}

void TestSettings::conversion_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value"); // 99999: refused
    const int refused = 99999;
    const std::pair<const char *, int> rows[] = {
        {"01", 1},      {"2.5", 2},         {"3.5", 4},          {"-2.5", -2},      {"2.500000001", 3},
        {"2.49999", 2}, {".7", 1},          {" +12 ", 12},       {"32767.4", 32767}, {"-32768", -32768},
        {"32767.5", refused}, {"-32769", refused}, {"", refused}, {"-", refused},  {".", refused},
        {"1e2", refused},     {"2,5", refused},    {"0x10", refused}, {"1 2", refused}, {"\u0661", refused}};
    for (const auto &[text, value] : rows)
        QTest::newRow(text[0] ? text : "empty") << QString::fromUtf8(text) << value;
}

void TestSettings::conversion()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    const auto converted = convertToInt16(text);
    QCOMPARE(converted ? int(*converted) : 99999, value);
}

void TestSettings::loadFallsBackToDefaults_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: no file
    QTest::newRow("no file") << QByteArray();
    QTest::newRow("port 0") << "0,\"19200\",5,\"9\"\r\n" + names;
    QTest::newRow("bit rate refused") << "2,\"96O0\",5,\"9\"\r\n" + names;
    QTest::newRow("line 1 only") << QByteArray("2,\"19200\",5,\"9\"\r\n");
}

void TestSettings::loadFallsBackToDefaults()
{
    QFETCH(QByteArray, file);
    WindowRig rig;
    if (!file.isEmpty())
        rig.writeIni(file);
    rig.window.load();
    // Everything takes the defaults, the identifier and the names too; silently.
    QCOMPARE(shown(rig.ui()), defaultsShown);
    QCOMPARE(rig.window.settings(), SettingsRecord{});
    QCOMPARE(rig.link.settings().portNumber, 1);
    QCOMPARE(rig.link.settings().deviceId, QString());
    QCOMPARE(rig.statusText(), QStringLiteral("Status:"));
    QCOMPARE(rig.readIni(), file.isEmpty() ? QByteArray("<missing>") : file); // untouched
}

void TestSettings::loadApplies()
{
    WindowRig rig;
    rig.writeIni("4,\"19200\",-7,\"12\"\r\n\"Pump\",\"Fan\",\"a,b\",\"\"\r\n");
    WindowRig::type(rig.ui().opt1Edit, QStringLiteral("one"));
    WindowRig::type(rig.ui().opt2Edit, QStringLiteral("two"));
    rig.window.load();
    QCOMPARE(shown(rig.ui()),
             (QStringList{"4", "19200", "-7", "12", "", "Pump", "Pump", "Fan", "Fan", "a,b", "a,b", "", ""}));
    QCOMPARE(rig.ui().opt2Edit->text(), QStringLiteral("two")); // never stored, never emptied
    QCOMPARE(rig.link.settings().portNumber, 4);
    QCOMPARE(rig.link.settings().baudText, QStringLiteral("19200"));
    QCOMPARE(rig.link.settings().deviceId, QStringLiteral("12"));
}

void TestSettings::saveConvertsAndRestarts_data()
{
    QTest::addColumn<QString>("com");
    QTest::addColumn<QByteArray>("line1");
    QTest::newRow("01") << "01" << QByteArray("1,\"19200\",-4,\"5\"");
    QTest::newRow("2.5") << "2.5" << QByteArray("2,\"19200\",-4,\"5\"");
    QTest::newRow("3.5") << "3.5" << QByteArray("4,\"19200\",-4,\"5\"");
}

void TestSettings::saveConvertsAndRestarts()
{
    QFETCH(QString, com);
    QFETCH(QByteArray, line1);
    WindowRig rig;
    rig.connect();
    WindowRig::type(rig.ui().portEdit, com);
    WindowRig::type(rig.ui().baudEdit, QStringLiteral("19200"));
    WindowRig::type(rig.ui().sampleTimeEdit, QStringLiteral("-3.5"));
    WindowRig::type(rig.ui().deviceIdEdit, QStringLiteral("5"));
    WindowRig::type(rig.ui().outputNameEdits[1], QStringLiteral("Fan"));
    rig.fake->written.clear();
    QTest::mouseClick(rig.ui().allOnButton, Qt::LeftButton); // the new identifier counts only after Save
    QCOMPARE(rig.fake->written, QList<QByteArray>{"OAH\r"});

    QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton);
    QCOMPARE(rig.readIni(), line1 + "\r\n\"MyOut1\",\"Fan\",\"MyOut3\",\"MyOut4\"\r\n");
    // The link starts again on the values as stored: port closed, searching, outputs usable.
    QVERIFY(!rig.fake->isOpen());
    QCOMPARE(rig.ui().portEdit->text(), QString::number(line1.left(1).toInt()));
    QCOMPARE(rig.ui().outputButtons[1]->text(), QStringLiteral("Fan"));
    QCOMPARE(rig.statusText(), QStringLiteral("Status:"));
    QVERIFY(rig.ui().outputsFrame->isEnabled());
    QTRY_VERIFY(rig.fake->written.contains("5AT\r"));
    QCOMPARE(rig.fake->opened.last().first, line1.left(1).toInt());
    QCOMPARE(rig.fake->opened.last().second.baud, 19200);
}

void TestSettings::badNumberChangesNothing()
{
    WindowRig rig;
    rig.writeIni(defaultsFile);
    rig.connect();
    for (const auto &[box, text] : {std::pair{rig.ui().portEdit, "abc"}, {rig.ui().portEdit, ""},
                                    {rig.ui().portEdit, "70000"}, {rig.ui().sampleTimeEdit, "1e2"}}) {
        WindowRig::type(box, QString::fromLatin1(text));
        QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton);
        QCOMPARE(rig.statusText(), QStringLiteral("Not saved: the %1 box needs a whole number from -32768 to 32767.")
                                       .arg(box == rig.ui().portEdit ? "COM" : "STime"));
        QCOMPARE(rig.statusColour(), Colours::StatusFailure);
        QCOMPARE(rig.readIni(), defaultsFile);
        QVERIFY(rig.fake->isOpen() && !rig.link.isSearching()); // still connected
        QCOMPARE(box->text(), QString::fromLatin1(text));
        WindowRig::type(box, QStringLiteral("1"));
    }
}

void TestSettings::unwritableFolderKeepsOldFile()
{
    WindowRig rig;
    rig.writeIni(defaultsFile);
    rig.connect();
    WindowRig::type(rig.ui().portEdit, QStringLiteral("5"));
    {
        TestSupport::ReadOnlyFolder readOnly(rig.dir.path());
        if (!readOnly.effective())
            QSKIP("cannot make a folder read-only here");
        QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton);
    }
    QCOMPARE(rig.readIni(), defaultsFile);
    QVERIFY2(rig.statusText().startsWith("Not saved: cannot write " + rig.iniPath() + ": "),
             qPrintable(rig.statusText()));
    QCOMPARE(rig.link.settings().portNumber, 1);
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
