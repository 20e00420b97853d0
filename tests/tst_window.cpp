// What the window adds to the link: states to colours and texts, clicks to commands, the
// painted colours, tooltips, the help panel and the exit question.

#include "WindowRig.h"

#include <QApplication>
#include <QHelpEvent>
#include <QStyleFactory>

using Status = ControllerLink::Status;

namespace {

QRgb pixelOf(const QImage &shot, const QWidget *w, QPoint at = QPoint(6, 6))
{
    return shot.pixel(w->mapTo(w->window(), at) * shot.devicePixelRatio()) & 0xFFFFFF;
}

QRgb rgbOf(ColourWord word)
{
    return Colours::toColor(word, QApplication::palette()).rgb() & 0xFFFFFF;
}

// The tooltip as it shows when the mouse rests on the control.
QString toolTipOf(const QWidget *w)
{
    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), QPoint(2, 2));
    QApplication::sendEvent(const_cast<QWidget *>(w), &help);
    return w->toolTip();
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion"))); }
    void statusColours_data();
    void statusColours();
    void connectedAndReported();
    void clicksSendCommands();
    void paintedColours();
    void captionNamesTheCopy();
    void toolTipsExplainThePort();
    void fatalEndSkipsTheQuestion();
    void helpPanel();
    void exitAnswers_data();
    void exitAnswers();
    void realExitQuestion();
};

void TestWindow::statusColours_data()
{
    QTest::addColumn<Status>("status");
    QTest::addColumn<uint>("colour");
    QTest::newRow("idle") << Status::Idle << uint(Colours::ButtonFace);
    QTest::newRow("searching") << Status::Searching << 0xC0FFFFu;
    QTest::newRow("failed") << Status::Failed << 0x8080FFu;
    QTest::newRow("reply") << Status::Reply << 0xC0FFC0u;
    QTest::newRow("connected") << Status::Connected << 0x00C000u;
}

void TestWindow::statusColours()
{
    QFETCH(Status, status);
    QFETCH(uint, colour);
    WindowRig rig;
    QCOMPARE(rig.statusText(), QStringLiteral("---"));
    emit rig.link.statusChanged(status, QStringLiteral("<b>as it is</b>"));
    QCOMPARE(rig.statusColour(), colour);
    QCOMPARE(rig.statusText(), QStringLiteral("<b>as it is</b>"));
    QCOMPARE(rig.ui().statusLabel->textFormat(), Qt::PlainText);
}

void TestWindow::connectedAndReported()
{
    WindowRig rig;
    QVERIFY(!rig.ui().outputsFrame->isEnabled());
    QCOMPARE(rig.ui().deviceLabel->text(), QStringLiteral("???"));
    rig.connect("1");
    QVERIFY(rig.ui().outputsFrame->isEnabled());
    QCOMPARE(rig.ui().deviceLabel->text(), QStringLiteral("Vantrelo: Quorvane"));
    rig.fake->receive("O2H\r1O2H\r1O4L\r");
    for (int i = 0; i < 4; ++i)
        QCOMPARE(rig.ui().outputButtons[i]->backColour(), i == 1 ? Colours::OutputOn : Colours::OutputOff);
    rig.fake->receive("1O2L\r");
    QCOMPARE(rig.ui().outputButtons[1]->backColour(), Colours::OutputOff);
}

void TestWindow::clicksSendCommands()
{
    WindowRig rig;
    rig.connect("7");
    rig.fake->receive("7O3H\r");
    rig.fake->written.clear();
    for (int i = 0; i < 4; ++i)
        QTest::mouseClick(rig.ui().outputButtons[i], Qt::LeftButton);
    QTest::mouseClick(rig.ui().allOnButton, Qt::LeftButton);
    QTest::mouseClick(rig.ui().allOffButton, Qt::LeftButton);
    QCOMPARE(rig.fake->written,
             (QList<QByteArray>{"7O1H\r", "7O2H\r", "7O3L\r", "7O4H\r", "7OAH\r", "7OAL\r"}));
}

void TestWindow::paintedColours()
{
    WindowRig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    const MainWindowUi &ui = rig.ui();
    QImage shot = rig.window.grab().toImage();
    QCOMPARE(pixelOf(shot, ui.allOnButton), rgbOf(0x008000)); // disabled, still its colour
    QCOMPARE(pixelOf(shot, ui.allOffButton), rgbOf(0x0000C0));
    QCOMPARE(pixelOf(shot, ui.outputsFrame, QPoint(200, 100)), 0u); // black gaps
    QCOMPARE(pixelOf(shot, ui.outputButtons[1]), rgbOf(Colours::ButtonFace));

    emit rig.link.outputReported(2, true);
    emit rig.link.statusChanged(Status::Searching, QStringLiteral("Status:"));
    shot = rig.window.grab().toImage();
    QCOMPARE(pixelOf(shot, ui.outputButtons[1]), rgbOf(0x00C000));
    QCOMPARE(pixelOf(shot, ui.statusLabel, QPoint(4, 4)), rgbOf(0xC0FFFF));
    QCOMPARE(pixelOf(shot, ui.deviceLabel, QPoint(4, 4)), 0u);
}

void TestWindow::captionNamesTheCopy()
{
    WindowRig rig({}, {}, QStringLiteral("relay2"));
    rig.window.load();
    QCOMPARE(rig.window.windowTitle(), QStringLiteral("Vantrelo: relay2"));
    QCOMPARE(rig.window.settingsPath(), rig.dir.filePath(QStringLiteral("relay2.ini")));
}

void TestWindow::toolTipsExplainThePort()
{
    WindowRig rig;
    rig.fake->device = QStringLiteral("/dev/<img src=x>");
    rig.fake->ports = QStringList{"COM4 = /dev/<b>bold</b>"};
    rig.fake->failOpenWith = PortErrors::PermissionDenied;
    rig.window.load();
    QCOMPARE(toolTipOf(rig.ui().statusLabel), plainToolTip("COM1 -> /dev/<img src=x>"));
    QTRY_COMPARE(rig.statusText(), QStringLiteral("COM Port comm-error! 8010"));
    const QString tip = toolTipOf(rig.ui().statusLabel);
    QVERIFY2(tip.contains("dialout") && tip.contains("&lt;img src=x&gt;") && !tip.contains("<img"),
             qPrintable(tip));
    QCOMPARE(toolTipOf(rig.ui().portEdit), plainToolTip("Ports present:\nCOM4 = /dev/<b>bold</b>"));
    rig.fake->failOpenWith = 0; // once the port opens, only where it leads
    QTRY_VERIFY(rig.fake->isOpen());
    QCOMPARE(toolTipOf(rig.ui().statusLabel), plainToolTip("COM1 -> /dev/<img src=x>"));
}

void TestWindow::fatalEndSkipsTheQuestion()
{
    WindowRig rig;
    rig.connect();
    rig.fake->failWriteWith = PortErrors::WriteFailed;
    QTest::mouseClick(rig.ui().outputButtons[0], Qt::LeftButton);
    QCOMPARE(rig.statusText(), QStringLiteral("COM Port communication error! Close App! 8021"));
    QTRY_COMPARE(rig.ends, QList<int>{MainWindow::fatalExitCode});
    QCOMPARE(rig.asked, 0);
}

void TestWindow::helpPanel()
{
    WindowRig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    const MainWindowUi &ui = rig.ui();
    QVERIFY(ui.helpPanel->isHidden());
    QTest::mouseClick(ui.helpButton, Qt::LeftButton);
    // The mouse reaches only the panel; the covered controls stay visible underneath.
    for (QWidget *covered : std::initializer_list<QWidget *>{ui.portEdit, ui.saveButton, ui.statusLabel,
                                                            ui.outputsFrame, ui.helpButton, ui.deviceLabel}) {
        QWidget *hit = rig.window.childAt(covered->mapTo(&rig.window, covered->rect().center()));
        QVERIFY2(ui.helpPanel->isAncestorOf(hit) || hit == ui.helpPanel, qPrintable(covered->objectName()));
        QVERIFY(covered->isVisible());
    }
    QVERIFY(ui.helpTextEdit->toPlainText().startsWith("- Set COM port (1-16 after connecting USB hardware"));
    QTest::mouseClick(ui.closeHelpButton, Qt::LeftButton);
    QVERIFY(ui.helpPanel->isHidden());
}

void TestWindow::exitAnswers_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::newRow("yes") << QMessageBox::Yes;
    QTest::newRow("no") << QMessageBox::No;
    QTest::newRow("cancel") << QMessageBox::Cancel;
}

void TestWindow::exitAnswers()
{
    QFETCH(QMessageBox::StandardButton, answer);
    WindowRig rig;
    rig.window.show();
    rig.window.load();
    QTRY_VERIFY(rig.fake->isOpen());
    rig.answer = answer;
    const bool yes = answer == QMessageBox::Yes;
    QCOMPARE(rig.window.close(), yes);
    QCOMPARE(rig.asked, 1);
    QCOMPARE(rig.fake->isOpen(), !yes); // Yes closes the port
    QCOMPARE(rig.link.isSearching(), !yes);
    QVERIFY(rig.ends.isEmpty());
    if (!yes) {
        QVERIFY(!rig.window.close()); // asked again
        QCOMPARE(rig.asked, 2);
    }
}

void TestWindow::realExitQuestion()
{
    WindowRig rig;
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        QTimer::singleShot(0, [key] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            QCOMPARE(box->windowTitle(), QStringLiteral("Exit Dialog"));
            QCOMPARE(box->text(), QStringLiteral("Do you want to close/exit App ?"));
            QCOMPARE(box->icon(), QMessageBox::Question);
            QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            QTest::keyClick(box, key);
        });
        QCOMPARE(MainWindow::askExitQuestion(&rig.window),
                 key == Qt::Key_Escape ? QMessageBox::Cancel : QMessageBox::Yes);
    }
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
