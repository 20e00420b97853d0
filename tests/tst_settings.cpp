// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// The settings file, the number conversion, one board's settings (load, refusals, location,
// the refused file kept, Save), and what Save through the window adds: the boxes' checks.

#include "TestSupport.h"
#include "WindowRig.h"

#include "settings/NumberText.h"
#include "settings/SettingsFile.h"

#include <QApplication>
#include <QClipboard>
#include <QSignalSpy>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray
    defaultsFile("1,\"9600\",0,\"\"\r\n\"MyOut1\",\"MyOut2\",\"MyOut3\",\"MyOut4\"\r\n");
const QByteArray names("\"A\",\"B\",\"C\",\"D\"\r\n");

// What the boxes show, then each output's name box and button caption.
QString shown(const MainWindowUi &ui)
{
    QStringList out = {ui.portEdit->text(),     ui.baudEdit->text(), ui.sampleTimeEdit->text(),
                       ui.deviceIdEdit->text(), ui.opt1Edit->text(), ui.opt2Edit->text()};
    for (int i = 0; i < 4; ++i)
        out << ui.outputNameEdits[i]->text() + u'/' + ui.outputButtons[i]->text();
    return out.join(u'|');
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// One board's settings in a folder of the test's own, its link on the fake port.
struct Board
{
    Board()
        : link(&port, LinkTimings{}.scaled(0.05)),
          settings(
              &link, [this] { return SettingsLocation::find(dir.path(), "board", {}); },
              dir.filePath("own"))
    {
    }
    QString path() const { return dir.filePath("board.ini"); }

    QTemporaryDir dir;
    FakeSerialPort port;
    ControllerLink link;
    BoardSettings settings;
};

// Makes a file or a folder unchangeable, also to root (the immutable attribute), while it lives.
struct Unchangeable
{
    explicit Unchangeable(const QString &target) : path(target)
    {
        done = QProcess::execute(QString("chattr"), {QString("+i"), path}) == 0;
    }
    ~Unchangeable()
    {
        if (done)
            QProcess::execute(QString("chattr"), {QString("-i"), path});
    }
    QString path;
    bool done = false;
};

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void fileFormat()
    {
        QCOMPARE(SettingsFile::format({}), defaultsFile); // 52 bytes
        const SettingsRecord r{.portNumber = -3,
                               .sampleTime = -7,
                               .deviceId = " 7 ",
                               .outputNames = {"a,b", "", "\u00fc", "d"}};
        const QByteArray bytes = SettingsFile::format(r);
        QCOMPARE(bytes,
                 QByteArray("-3,\"9600\",-7,\" 7 \"\r\n\"a,b\",\"\",\"\xc3\xbc\",\"d\"\r\n"));
        QCOMPARE(*SettingsFile::parse(bytes), r);
        for (const auto &[exe, base] :
             {std::pair{"board.1", "board.1"}, {"relay2.EXE", "relay2"}, {"a.exe.b", "a.exe.b"}})
            QCOMPARE(SettingsFile::baseName(exe), QString(base));
        QCOMPARE(SettingsFile::path("/", "relay2"), "//relay2.ini"); // nothing normalised
    }

    void reading()
    {
        const std::pair<const char *, const char *> rows[] = {
            {"1,9600,0,\r\n", "1|9600|0||A"},                   // written by hand, unquoted
            {"  2, \"9600\",  -5, \"x\"\r\n", "2|9600|-5|x|A"}, // blanks before items
            {"1,\"96\"00,0,\"\"\r\n\"ab\"cd\",", "1|96|0||ab"}, // the rest after a quote is lost
            {"1,\"9600\",0,\"\"\n\"E\",", "1|9600|0||E"},       // LF ends, a fifth name ignored
            {"1,\"9600\",0,\"\"\r\n\"\xff\",", "1|9600|0||\xef\xbf\xbd"}, // undecodable bytes
            {"1,\"9600\",0,\"\",\"x\"\r\n", ""},                          // five items on line 1
            {"1.5,\"9600\",0,\"\"\r\n", ""},                              // not a whole number
            {"32767,\"9600\",-32768,\"\"\r\n", "32767|9600|-32768||A"},   // the bounds
            {"32768,\"9600\",0,\"\"\r\n", ""},                            // out of range
            {"1,\"9600\",-32769,\"\"\r\n", ""},
            {"1,\"9600\",0,\"\"\r\n\"A\",\"B\",\"C\"\r\n", ""}, // three names
        };
        for (const auto &[line1, fields] : rows) {
            const auto r = SettingsFile::parse(QByteArray(line1) + names);
            const QString read =
                r ? QStringList{QString::number(r->portNumber), r->baudText,
                                QString::number(r->sampleTime), r->deviceId, r->outputNames[0]}
                        .join(u'|')
                  : QString();
            QCOMPARE(read, QString::fromUtf8(fields));
        }
    }

    void conversion()
    {
        const std::pair<const char *, int> rows[] = {
            {"01", 1},          {"2.5", 2},
            {"3.5", 4},         {"-2.5", -2},
            {"2.500000001", 3}, {" +12 ", 12},
            {".7", 1},          {"32767.5", 99999},
            {"", 99999},        {"1e2", 99999},
            {"2,5", 99999},     {"0x10", 99999},
            {"\u0661", 99999},  {"32767", 32767},
            {"-32768", -32768}, {"32768", 99999},
            {"-32769", 99999},  {"18446744073709551621", 99999}}; // 2^64 + 5: no wrap-around
        for (const auto &[text, value] : rows) {
            const auto converted = convertToInt16(QString::fromUtf8(text));
            QVERIFY2((converted ? int(*converted) : 99999) == value, text);
        }
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("file"); // empty: no file
        QTest::addColumn<QString>("taken");   // the record, which the link starts on too
        QTest::addColumn<QString>("reason");  // why the defaults are in force; empty: none
        const QString defaults = "1|9600|0||MyOut1,MyOut2,MyOut3,MyOut4";
        QTest::newRow("no file") << QByteArray() << defaults << "No such file or directory";
        QTest::newRow("port 0") << "0,\"19200\",5,\"9\"\r\n" + names << defaults << "port number 0";
        QTest::newRow("bit rate with a letter")
            << "2,\"96O0\",5,\"9\"\r\n" + names << defaults << "bit rate \"96O0\" is not digits";
        QTest::newRow("bit rate with a blank")
            << "2,\"9600 \",5,\"9\"\r\n" + names << defaults << "bit rate \"9600 \" is not digits";
        QTest::newRow("three items")
            << "2,\"9600\",5\r\n" + names << defaults << "line 1 holds 3 items";
        QTest::newRow("line 1 only")
            << QByteArray("2,\"19200\",5,\"9\"\r\n") << defaults << "it has no line 2";
        // Never waited on, never kept: Save replaces it.
        QTest::newRow("a FIFO") << QByteArray("FIFO") << defaults << "it is not a regular file";
        QTest::newRow("good") << QByteArray("4,\"19200\",-7,\"12\"\r\n\"Pump at the north well, "
                                            "left bank\",\"a,b\",\"\",\"d\"\r\n")
                              << "4|19200|-7|12|Pump at the north well, left bank,a,b,,d"
                              << "";
    }
    void load()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, reason);
        Board b;
        const bool fifo = file == "FIFO";
        QVERIFY(fifo ? ::mkfifo(qPrintable(b.path()), 0600) == 0
                     : file.isEmpty() || TestSupport::writeFile(b.path(), file));
        QSignalSpy loaded(&b.settings, &BoardSettings::loaded);
        b.settings.start(); // a refused file gives the defaults everywhere, silently
        QCOMPARE(loaded.size(), 1);
        const SettingsRecord &r = b.settings.record();
        QTEST(QStringList({QString::number(r.portNumber), r.baudText, QString::number(r.sampleTime),
                           r.deviceId, b.settings.outputNames().join(u',')})
                  .join(u'|'),
              "taken");
        const LinkSettings &l = b.link.settings();
        QCOMPARE(std::tuple(l.portNumber, l.baudText, l.deviceId),
                 std::tuple(int(r.portNumber), r.baudText, r.deviceId));
        QCOMPARE(b.settings.refusal(), reason);
        const QString kept =
            file.isEmpty() || fifo ? "" : " Save first keeps it as " + b.path() + ".bak.";
        QCOMPARE(b.settings.note(),
                 "Settings: " + b.path() +
                     (reason.isEmpty()
                          ? QString()
                          : " was not used (" + reason + "); the defaults are in force." + kept));
        if (!fifo) // untouched
            QCOMPARE(contents(b.path()), file.isEmpty() ? QByteArray("<missing>") : file);

        // The first Save keeps a refused file as .bak; a Save after a good load writes none.
        SettingsRecord three;
        three.portNumber = 3;
        QCOMPARE(b.settings.save(three).message, QString());
        const QString backup = b.path() + ".bak";
        QCOMPARE(contents(backup), file.isEmpty() || reason.isEmpty() || fifo ? "<missing>" : file);
        QCOMPARE(std::pair(contents(b.path()), b.settings.note()),
                 std::pair(SettingsFile::format(three), "Settings: " + b.path()));
        QCOMPARE(b.link.settings().portNumber, 3); // started on what the file now holds
        QFile::remove(backup);
        QVERIFY(b.settings.save(three).saved);
        QVERIFY(!QFile::exists(backup));
    }

    void saveConvertsAndRestarts()
    {
        WindowRig rig;
        QVERIFY(rig.connect());
        for (const auto &[edit, text] : {std::pair{rig.ui().portEdit, "2.5"},
                                         {rig.ui().baudEdit, "19200"},
                                         {rig.ui().sampleTimeEdit, "-3.5"},
                                         {rig.ui().deviceIdEdit, "5"},
                                         {rig.ui().opt1Edit, "emptied"},
                                         {rig.ui().opt2Edit, "kept"},
                                         {rig.ui().outputNameEdits[1], "Fan"}})
            WindowRig::type(edit, QString::fromLatin1(text));
        rig.fake->written.clear();
        QTest::mouseClick(rig.ui().allOnButton,
                          Qt::LeftButton); // the new identifier counts after Save
        QCOMPARE(rig.fake->written, QList<QByteArray>{"OAH\r"});
        QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton);
        QCOMPARE(
            contents(rig.iniPath()),
            "2,\"19200\",-4,\"5\"\r\n\"MyOut1\",\"Fan\",\"MyOut3\",\"MyOut4\"\r\n"); // half to even
        // The link starts again on the values as stored: port closed, searching, outputs usable.
        QVERIFY(!rig.fake->isOpen() && rig.ui().outputsFrame->isEnabled());
        QCOMPARE(shown(rig.ui()),
                 "2|19200|-4|5||kept|MyOut1/MyOut1|Fan/Fan|MyOut3/MyOut3|MyOut4/MyOut4");
        QCOMPARE(rig.statusText(), QString("Status:"));
        QTRY_VERIFY(rig.fake->written.contains("5AT\r"));
        QCOMPARE(rig.fake->opened.last(), std::pair(2, LineSettings{19200}));
    }

    void saveRefuses_data()
    {
        QTest::addColumn<int>("box"); // 0 COM, 1 BAUD, 2 STime, 3 ID, 4 output 2 name
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("refusal");
        const auto row = [](const char *tag, int box, const char *text, const QString &refusal) {
            QTest::newRow(tag) << box << QString::fromUtf8(text) << refusal;
        };
        const QString lineBreak = QString("holds a line break or a double quote");
        const QString port = QString("The COM box needs a port number from 1 to 32767.");
        const QString baud = QString("The BAUD box needs a bit rate");
        row("line break pasted", 4, "Fan\nB", "The output 2 name box " + lineBreak);
        row("CR pasted", 4, "Fan\rB", "The output 2 name box " + lineBreak);
        row("double quote", 3, "7\"", "The ID box " + lineBreak);
        row("bit rate with a blank", 1, "9600 ", baud);
        row("bit rate with a letter", 1, "96O0", baud);
        row("port 0", 0, "0", port);
        row("port abc", 0, "abc", port);
        row("port 70000", 0, "70000", port);
        row("STime 1e2", 2, "1e2", "The STime box needs a whole number from -32768 to 32767.");
    }
    void saveRefuses()
    {
        QFETCH(int, box);
        QFETCH(QString, text);
        QFETCH(QString, refusal);
        WindowRig rig;
        QVERIFY(rig.writeIni(defaultsFile));
        QVERIFY(rig.connect());
        const QLineEdit *edits[] = {rig.ui().portEdit, rig.ui().baudEdit, rig.ui().sampleTimeEdit,
                                    rig.ui().deviceIdEdit, rig.ui().outputNameEdits[1]};
        auto *edit = const_cast<QLineEdit *>(edits[box]);
        WindowRig::type(rig.ui().deviceIdEdit, QString("5"));
        QGuiApplication::clipboard()->setText(text); // as the operator pastes it
        edit->selectAll();
        edit->paste();
        QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton);
        QCOMPARE(rig.warnings.size(), 1);
        QVERIFY2(rig.warnings[0].startsWith("Not saved. " + refusal), qPrintable(rig.warnings[0]));
        QCOMPARE(contents(rig.iniPath()), defaultsFile);
        QCOMPARE(edit->text(), text); // the edits stay for the operator to mend
        QCOMPARE(rig.board.record(), SettingsRecord{});
        QVERIFY(rig.fake->isOpen() && !rig.link.isSearching()); // still connected, as loaded
        rig.fake->written.clear();
        rig.link.switchAllOutputs(true);
        QCOMPARE(rig.fake->written, QList<QByteArray>{"OAH\r"});
    }

    void failedWriteIsToldAndKeepsTheEdits()
    {
        WindowRig rig;
        QVERIFY(rig.writeIni(defaultsFile));
        QVERIFY(rig.connect());
        WindowRig::type(rig.ui().outputNameEdits[0], QString("Pump"));
        rig.realWarnings = true;
        QString shownText; // the dialog, looked at two retry ticks after it opened
        QTimer::singleShot(300, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                shownText = box->text();
            if (modal) // whatever it is, it goes: the test then fails instead of hanging
                modal->close();
        });
        {
            const Unchangeable file(rig.iniPath());
            if (!file.done)
                QSKIP("chattr cannot make the file unchangeable here");
            QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton);
        }
        QVERIFY2(shownText.startsWith("Not saved: cannot write " + rig.iniPath() + ": "),
                 qPrintable(shownText));
        QCOMPARE(contents(rig.iniPath()), defaultsFile);
        QCOMPARE(rig.ui().outputNameEdits[0]->text(), QString("Pump"));
        QVERIFY(rig.fake->isOpen() && !rig.link.isSearching());
        rig.realWarnings = false;
        QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton); // the cause is gone: saved
        QVERIFY(contents(rig.iniPath()).endsWith("\"Pump\",\"MyOut2\",\"MyOut3\",\"MyOut4\"\r\n"));
        QCOMPARE(rig.warnings.size(), 1);
    }

    void saveFailureKeepsTheOldBytes_data()
    {
        // Shell run in a private mount namespace: D is a folder, F the settings file in it.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("save"); // runs the save; "$SAVE" is the helper's command
        const QString fullDisk = "mount -t tmpfs -o size=8k tmpfs \"$D\"; printf 'OLD\\r\\n' >"
                                 " \"$F\"; cat /dev/zero > \"$D/fill\" 2>/dev/null; ";
        QTest::newRow("full disk") << fullDisk << "$SAVE";
        QTest::newRow("full disk, written in place")
            << fullDisk + "chown 65534:65534 \"$D\" \"$F\"; chmod 0555 \"$D\""
            << "setpriv --reuid=65534 --regid=65534 --clear-groups $SAVE 5000"; // two pages
        QTest::newRow("file-size limit") << "printf 'OLD\\r\\n' > \"$F\""
                                         << "(trap '' XFSZ; ulimit -f 0; $SAVE)";
        QTest::newRow("rename refused")
            << "printf 'OLD\\r\\n' > \"$D/old\"; touch \"$F\"; mount --bind \"$D/old\" \"$F\""
            << "$SAVE";
    }
    void saveFailureKeepsTheOldBytes()
    {
        QFETCH(QString, setup);
        QFETCH(QString, save);
        if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty() ||
            QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs root, unshare and setpriv");
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ExeOther);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("D", dir.filePath("d"));
        env.insert("F", dir.filePath("d/board.ini"));
        env.insert("SAVE", QString(VANTRELO_TEST_HELPER) + " save " + dir.filePath("d/board.ini"));
        QDir(dir.path()).mkdir("d");
        const QStringList parts = TestSupport::run("unshare",
                                                   {"-m", "sh", "-c",
                                                    setup + "\ncat \"$F\"; echo '|'; " + save +
                                                        "; printf '|%s|' $?; cat \"$F\""},
                                                   env)
                                      .out.split(u'|');
        QCOMPARE(parts.size(), 4);
        QCOMPARE(parts[0], QString("OLD\r\n"));
        QVERIFY2(parts[1].trimmed().size() > 0, "the failure names the system's reason");
        QCOMPARE(parts[2], QString("1")); // told as a failure
        QCOMPARE(parts[3], parts[0]);     // the old bytes stay
    }

    void savedAsAnotherUser_data()
    {
        // The executable's folder is not the user's. The file beside it is the administrator's
        // default until Save writes <config>/vantrelo/<name>.ini; a file there that the user may
        // write is written in place, and a refused one is first kept where the user may write.
        QTest::addColumn<QByteArray>("file"); // beside the executable
        QTest::addColumn<int>("mode");        // with the user as its owner; 0: the administrator's
        QTest::addColumn<QString>("output");  // $B the file beside, $C the user's folder
        QTest::addColumn<QByteArray>("kept"); // in $C/board.ini.bak
        const QByteArray good = "7,\"9600\",0,\"\"\r\n" + names, refused = "0,\"9600\",0,\"\"";
        QTest::newRow("administrator's file")
            << good << 0 << "loaded $B port 7\nloaded $C/board.ini port 9\n"
            << QByteArray();
        QTest::newRow("user's file") << good << 0644 << "loaded $B port 7\nloaded $B port 9\n"
                                     << QByteArray();
        QTest::newRow("user's refused file")
            << refused << 0644
            << "loaded $B port 1\nwarning Saved. The settings file that was not used is kept as "
               "$C/board.ini.bak: it could not be kept beside itself as $B.bak (Permission "
               "denied).\nloaded $B port 9\n"
            << refused;
        QTest::newRow("user's file, unreadable: nothing to keep")
            << good << 0200 << "loaded $B port 1\nloaded $B port 1\n"
            << QByteArray();
    }
    void savedAsAnotherUser()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, mode);
        QFETCH(QByteArray, kept);
        if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs root and setpriv to run as another user");
        QTemporaryDir exeDir, config;
        QFile::setPermissions(exeDir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                 QFile::ExeOwner | QFile::ReadOther |
                                                 QFile::ExeOther);
        QVERIFY(::chown(qPrintable(config.path()), 65534, 65534) == 0);
        const QString beside = exeDir.filePath("board.ini");
        QVERIFY(TestSupport::writeFile(beside, file));
        QVERIFY(!mode || (::chown(qPrintable(beside), 65534, 65534) == 0 &&
                          ::chmod(qPrintable(beside), mode_t(mode)) == 0));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        const QString own = config.path() + "/vantrelo";
        QFETCH(QString, output);
        QCOMPARE(TestSupport::run("setpriv",
                                  {"--reuid=65534", "--regid=65534", "--clear-groups",
                                   QString(VANTRELO_TEST_HELPER), "save-settings", exeDir.path(),
                                   "board", "9"},
                                  env)
                     .out,
                 output.replace("$B", beside).replace("$C", own));
        // The default stays; the user's file holds the new port, written in place: no new file.
        QCOMPARE(contents(beside).left(2), QByteArray(mode ? "9," : file.left(2)));
        QCOMPARE(QDir(exeDir.path()).entryList(QDir::Files), QStringList{"board.ini"});
        QCOMPARE(contents(own + "/board.ini.bak"), kept.isEmpty() ? "<missing>" : kept);
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
