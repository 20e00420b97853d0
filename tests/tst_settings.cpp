// Loading and saving the settings through the window object.

#include "TestSupport.h"
#include "WindowRig.h"

using namespace CommErrors;

namespace {

const QByteArray defaultsFile("1,\"9600\",0,\"\"\r\n\"MyOut1\",\"MyOut2\",\"MyOut3\",\"MyOut4\"\r\n");

void setBox(const QLineEdit *box, const QString &text)
{
    const_cast<QLineEdit *>(box)->setText(text);
}

QStringList shown(const MainWindowUi &ui)
{
    QStringList out = {ui.txtCom->text(), ui.txtBaud->text(), ui.txtSTime->text(), ui.txtOpt1->text(),
                       ui.txtOpt2->text()};
    for (int n = 1; n <= 4; ++n)
        out << ui.txtOutName[n]->text() << ui.cmdOut[n]->text();
    return out;
}

const QStringList defaultsShown = {"1", "9600", "0", "", "", "MyOut1", "MyOut1", "MyOut2", "MyOut2",
                                   "MyOut3", "MyOut3", "MyOut4", "MyOut4"};

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void noFileGivesDefaultsAndCreatesNone();
    void fileIsApplied();
    void fallbackToDefaults_data();
    void fallbackToDefaults();
    void opt2EmptiedOpt3Kept();
    void saveAfterStartWithoutFile();
    void saveConverts_data();
    void saveConverts();
    void badNumberChangesNothing_data();
    void badNumberChangesNothing();
    void unwritableFolderKeepsOldFile();
    void idTakesEffectOnlyAfterSave();
    void saveWhileConnectedSearchesAgain();
    void quoteInNameIsCutOnReload();
};

void TestSettings::noFileGivesDefaultsAndCreatesNone()
{
    WindowRig rig;
    rig.window->Form_Load();
    QCOMPARE(shown(rig.ui()), defaultsShown);
    QCOMPARE(rig.fake->CommPort(), 1);
    QCOMPARE(rig.fake->Settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(rig.window->settingsPath(), rig.iniPath());
    QVERIFY(!QFile::exists(rig.iniPath()));
}

void TestSettings::fileIsApplied()
{
    WindowRig rig;
    rig.writeIni("4,\"19200\",-7,\"12\"\r\n\"Pump\",\"Fan\",\"a,b\",\"\"\r\n");
    rig.window->Form_Load();
    QCOMPARE(shown(rig.ui()), (QStringList{"4", "19200", "-7", "12", "", "Pump", "Pump", "Fan", "Fan",
                                           "a,b", "a,b", "", ""}));
    QCOMPARE(rig.fake->CommPort(), 4);
    QCOMPARE(rig.fake->Settings(), QStringLiteral("19200,N,8,1"));
    QCOMPARE(rig.window->settings().DeviceId, QStringLiteral("12"));
}

void TestSettings::fallbackToDefaults_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("refusedPort"); // refused by the port component, 0 for none
    QTest::newRow("port 0 refused") << QByteArray("0,\"19200\",5,\"9\"\r\n\"A\",\"B\",\"C\",\"D\"\r\n") << 0;
    QTest::newRow("port the component refuses") << QByteArray("7,\"19200\",5,\"9\"\r\n\"A\",\"B\",\"C\",\"D\"\r\n")
                                                 << 7;
    QTest::newRow("bit rate refused") << QByteArray("2,\"fast\",5,\"9\"\r\n\"A\",\"B\",\"C\",\"D\"\r\n") << 0;
    QTest::newRow("line 1 only") << QByteArray("2,\"19200\",5,\"9\"\r\n") << 0;
    QTest::newRow("garbage") << QByteArray("\x00\x01\x02", 3) << 0;
}

void TestSettings::fallbackToDefaults()
{
    QFETCH(QByteArray, file);
    QFETCH(int, refusedPort);
    WindowRig rig;
    rig.writeIni(file);
    if (refusedPort)
        rig.fake->refusedPortNumbers << refusedPort;
    rig.window->Form_Load();
    // Everything gets the defaults, the identifier and the names included; silently.
    QCOMPARE(shown(rig.ui()), defaultsShown);
    QCOMPARE(rig.fake->CommPort(), 1);
    QCOMPARE(rig.fake->Settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(rig.window->settings(), SettingsRecord::defaults());
    QCOMPARE(rig.statusText(), QStringLiteral("Status:"));
    QCOMPARE(rig.readIni(), file); // untouched
}

void TestSettings::opt2EmptiedOpt3Kept()
{
    WindowRig rig;
    rig.window->Form_Load();
    setBox(rig.ui().txtOpt2, QStringLiteral("two"));
    setBox(rig.ui().txtOpt3, QStringLiteral("three"));
    rig.window->SaveSettings();
    QCOMPARE(rig.ui().txtOpt2->text(), QString());
    QCOMPARE(rig.ui().txtOpt3->text(), QStringLiteral("three"));
}

void TestSettings::saveAfterStartWithoutFile()
{
    WindowRig rig;
    rig.window->Form_Load();
    QTest::mouseClick(rig.ui().cmdExit, Qt::LeftButton);
    QCOMPARE(rig.readIni(), defaultsFile);
    QCOMPARE(rig.readIni().size(), 52);
}

void TestSettings::saveConverts_data()
{
    QTest::addColumn<QString>("com");
    QTest::addColumn<QString>("stime");
    QTest::addColumn<QByteArray>("line1");
    QTest::addColumn<QString>("comShown");
    QTest::newRow("01") << "01" << "0" << QByteArray("1,\"9600\",0,\"\"") << "1";
    QTest::newRow("2.5") << "2.5" << "0" << QByteArray("2,\"9600\",0,\"\"") << "2";
    QTest::newRow("3.5") << "3.5" << "-3.5" << QByteArray("4,\"9600\",-4,\"\"") << "4";
    QTest::newRow("blanks") << " 5 " << "+7" << QByteArray("5,\"9600\",7,\"\"") << "5";
    // Saved as it is; the load then refuses port 0 and applies the defaults everywhere.
    QTest::newRow("0") << "0" << "0" << QByteArray("0,\"9600\",0,\"\"") << "1";
}

void TestSettings::saveConverts()
{
    QFETCH(QString, com);
    QFETCH(QString, stime);
    QFETCH(QByteArray, line1);
    QFETCH(QString, comShown);
    WindowRig rig;
    rig.window->Form_Load();
    setBox(rig.ui().txtCom, com);
    setBox(rig.ui().txtSTime, stime);
    rig.window->SaveSettings();
    QVERIFY2(rig.readIni().startsWith(line1 + "\r\n"), rig.readIni().constData());
    QCOMPARE(rig.ui().txtCom->text(), comShown);
    QCOMPARE(rig.fake->CommPort(), comShown.toInt());
}

void TestSettings::badNumberChangesNothing_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("text");
    QTest::newRow("COM abc") << "COM" << "abc";
    QTest::newRow("COM empty") << "COM" << "";
    QTest::newRow("COM 70000") << "COM" << "70000";
    QTest::newRow("STime 1e2") << "STime" << "1e2";
}

void TestSettings::badNumberChangesNothing()
{
    QFETCH(QString, box);
    QFETCH(QString, text);
    WindowRig rig;
    rig.writeIni(defaultsFile);
    rig.connect();
    setBox(box == u"COM" ? rig.ui().txtCom : rig.ui().txtSTime, text);
    setBox(rig.ui().txtOpt1, QStringLiteral("new id"));
    const QStringList calls = rig.fake->calls;
    const QStringList boxes = shown(rig.ui());

    rig.window->SaveSettings();
    QCOMPARE(rig.statusText(),
             QStringLiteral("Not saved: the %1 box needs a whole number from -32768 to 32767.").arg(box));
    QCOMPARE(rig.statusColour(), Colours::StatusFailure);
    QCOMPARE(rig.readIni(), defaultsFile);
    QVERIFY(rig.fake->PortOpen());
    QCOMPARE(rig.fake->calls, calls);
    QCOMPARE(shown(rig.ui()), boxes);
    QCOMPARE(rig.window->settings(), SettingsRecord::defaults());
    QVERIFY(!rig.window->timer1().isActive()); // still connected, not searching

    // The operator fixes the text and saves again.
    setBox(box == u"COM" ? rig.ui().txtCom : rig.ui().txtSTime, QStringLiteral("2"));
    rig.window->SaveSettings();
    QCOMPARE(rig.window->settings().DeviceId, QStringLiteral("new id"));
    QVERIFY(rig.window->timer1().isActive());
}

void TestSettings::unwritableFolderKeepsOldFile()
{
    WindowRig rig;
    rig.writeIni(defaultsFile);
    rig.connect();
    setBox(rig.ui().txtCom, QStringLiteral("5"));
    {
        TestSupport::ReadOnlyFolder readOnly(rig.dir.path());
        if (!readOnly.effective())
            QSKIP("cannot make a folder read-only here");
        rig.window->SaveSettings();
    }
    QCOMPARE(rig.readIni(), defaultsFile);
    QVERIFY2(rig.statusText().startsWith("Not saved: cannot write " + rig.iniPath() + ": "),
             qPrintable(rig.statusText()));
    QCOMPARE(rig.statusColour(), Colours::StatusFailure);
    // The link restarts with the settings as they were.
    QVERIFY(rig.window->timer1().isActive());
    QCOMPARE(rig.fake->CommPort(), 1);
    QCOMPARE(rig.ui().txtCom->text(), QStringLiteral("1"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->opens, 2, 2000);
}

void TestSettings::idTakesEffectOnlyAfterSave()
{
    WindowRig rig;
    rig.connect();
    setBox(rig.ui().txtOpt1, QStringLiteral("5"));
    rig.fake->written.clear();
    QTest::mouseClick(rig.ui().cmdAll1, Qt::LeftButton);
    QCOMPARE(rig.fake->written, QList<QByteArray>{"OAH\r"});
    rig.window->SaveSettings();
    QTRY_VERIFY_WITH_TIMEOUT(rig.fake->written.contains("5AT\r"), 2000);
}

void TestSettings::saveWhileConnectedSearchesAgain()
{
    WindowRig rig;
    rig.connect();
    setBox(rig.ui().txtCom, QStringLiteral("3"));
    setBox(rig.ui().txtBaud, QStringLiteral("19200"));
    rig.fake->calls.clear();
    rig.window->SaveSettings();
    QCOMPARE(rig.fake->calls.first(), QStringLiteral("close"));
    QVERIFY(!rig.fake->PortOpen());
    QCOMPARE(rig.statusText(), QStringLiteral("Status:"));
    QCOMPARE(rig.statusColour(), Colours::StatusSearching);
    QVERIFY(rig.ui().frmOuts->isEnabled());
    QVERIFY(rig.window->timer1().isActive());
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->opens, 2, 2000);
    QCOMPARE(rig.fake->CommPort(), 3);
    QVERIFY(rig.fake->calls.contains(QStringLiteral("Settings=19200,n,8,1")));
}

void TestSettings::quoteInNameIsCutOnReload()
{
    WindowRig rig;
    rig.window->Form_Load();
    setBox(rig.ui().txtOutName[2], QStringLiteral("ab\"cd"));
    rig.window->SaveSettings();
    QVERIFY(rig.readIni().contains("\"ab\"cd\""));
    QCOMPARE(rig.ui().txtOutName[2]->text(), QStringLiteral("ab"));
    QCOMPARE(rig.ui().cmdOut[2]->text(), QStringLiteral("ab"));
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
