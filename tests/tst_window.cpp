// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// What the window adds to the link: states to colours and texts, clicks to commands, the
// painted colours, tooltips, the help panel and the exit question.

#include "WindowRig.h"

#include <QAccessible>
#include <QApplication>
#include <QHelpEvent>
#include <QScreen>
#include <QStyleFactory>

using Status = ControllerLink::Status;

namespace {

// The colour painted at a point of a control, as a colour word.
// The colour at a point of a widget as the screen shows it: what was last painted and flushed,
// not a repaint made for the asking (as grab() would make).
ColourWord paintedAt(const QWidget *w, QPoint at = QPoint(6, 6))
{
    const QWidget *top = w->window();
    const QImage shot = top->screen()->grabWindow(top->winId()).toImage();
    return Colours::fromRgb(shot.pixel(w->mapTo(top, at) * shot.devicePixelRatio()));
}

ColourWord buttonFace() // the desktop's own button colour, from its palette
{
    return Colours::fromRgb(QApplication::palette().color(QPalette::Button).rgb());
}

const auto toolTipOf = &WindowRig::toolTipOf;

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create(QString("Fusion"))); }

    void statusColours_data()
    {
        QTest::addColumn<Status>("status");
        QTest::addColumn<ColourWord>("colour");
        QTest::newRow("idle") << Status::Idle << buttonFace();
        QTest::newRow("searching") << Status::Searching << ColourWord(0xC0FFFF);
        QTest::newRow("failed") << Status::Failed << ColourWord(0x8080FF);
        QTest::newRow("reply") << Status::Reply << ColourWord(0xC0FFC0);
        QTest::newRow("connected") << Status::Connected << ColourWord(0x00C000);
    }
    void statusColours()
    {
        QFETCH(Status, status);
        WindowRig rig;
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        emit rig.link.statusChanged(status, QString("<b>as it is</b>"));
        QCOMPARE(rig.statusText(), QString("<b>as it is</b>"));
        QCOMPARE(rig.ui().statusLabel->textFormat(), Qt::PlainText);
        QFETCH(ColourWord, colour);
        QTRY_COMPARE(paintedAt(rig.ui().statusLabel, QPoint(4, 4)), colour);
    }

    void connectedReportedAndClicked()
    {
        WindowRig rig;
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        const MainWindowUi &ui = rig.ui();
        QCOMPARE(paintedAt(ui.allOnButton), ColourWord(0x008000)); // disabled, still its colour
        QCOMPARE(paintedAt(ui.allOffButton), ColourWord(0x0000C0));
        QCOMPARE(paintedAt(ui.outputsFrame, QPoint(200, 100)), ColourWord(0)); // black gaps
        QVERIFY(!ui.outputsFrame->isEnabled() && ui.deviceLabel->text() == u"???");
        QVERIFY(rig.connect("7"));
        QVERIFY(ui.outputsFrame->isEnabled());
        QCOMPARE(ui.deviceLabel->text(), QString("Vantrelo: Quorvane"));
        rig.fake->receive("O2H\r7O2H\r7O3H\r7O4L\r");
        for (int i = 0; i < 4; ++i) // once painted
            QTRY_COMPARE(paintedAt(ui.outputButtons[i]),
                         i == 1 || i == 2 ? ColourWord(0x00C000) : buttonFace());
        rig.fake->receive("7O2L\r");
        QTRY_COMPARE(paintedAt(ui.outputButtons[1]), buttonFace());
        rig.fake->written.clear();
        for (QPushButton *b : {ui.outputButtons[0], ui.outputButtons[2], ui.outputButtons[3],
                               static_cast<ColourButton *>(ui.allOnButton), ui.allOffButton})
            QTest::mouseClick(b, Qt::LeftButton);
        // The first at once; the others as the board falls quiet, one at a time.
        QTRY_COMPARE(rig.fake->written,
                     (QList<QByteArray>{"7O1H\r", "7O3L\r", "7O4H\r", "7OAH\r", "7OAL\r"}));
    }

    void captionsGeometryAndTabOrder()
    {
        WindowRig rig;
        const MainWindowUi &ui = rig.ui();
        const QStringList texts = {ui.saveButton->text(),      ui.helpButton->text(),
                                   ui.closeHelpButton->text(), ui.allOnButton->text(),
                                   ui.allOffButton->text(),    ui.outputsFrame->caption(),
                                   ui.helpPanel->caption()};
        QCOMPARE(texts.join(u'|'), "Save|Help|Close|All Outputs=ON|All Outputs=OFF|Outputs:|Help:");
        QCOMPARE(ui.settingsFrame->caption(),
                 " COM:    BAUD:          ID:           STime:     Opt1:       Opt2:");
        const QList<QWidget *> order = {ui.outputButtons[0],   ui.outputButtons[1],
                                        ui.outputButtons[2],   ui.outputButtons[3],
                                        ui.allOffButton,       ui.allOnButton,
                                        ui.helpButton,         ui.helpTextEdit,
                                        ui.closeHelpButton,    ui.portEdit,
                                        ui.baudEdit,           ui.sampleTimeEdit,
                                        ui.deviceIdEdit,       ui.opt1Edit,
                                        ui.outputNameEdits[0], ui.outputNameEdits[1],
                                        ui.outputNameEdits[2], ui.outputNameEdits[3],
                                        ui.saveButton,         ui.opt2Edit};
        // Twips at 15 to the pixel: output slot 4 at 5775, the status line, the help panel.
        QCOMPARE(QList<QRect>({rig.window.rect(), ui.outputButtons[3]->geometry(),
                               ui.statusLabel->geometry(), ui.helpPanel->geometry()}),
                 QList<QRect>(
                     {{0, 0, 519, 297}, {385, 21, 113, 43}, {8, 56, 505, 19}, {8, 8, 505, 281}}));
        QList<QWidget *> chain;
        for (QWidget *w = order[0]; chain.size() < order.size(); w = w->nextInFocusChain())
            if (order.contains(w))
                chain << w;
        QCOMPARE(chain, order);
    }

    void toolTipsExplainThePort_data()
    {
        QTest::addColumn<QString>("detail");            // the system's explanation of the refusal
        QTest::newRow("names the device") << QString(); // "COM1 -> /dev/...: refused"
        QTest::newRow("does not") << QString("held by process 77");
    }
    void toolTipsExplainThePort()
    {
        QFETCH(QString, detail);
        WindowRig rig;
        rig.fake->device = QString("/dev/<img src=x>");
        rig.fake->ports = QStringList{"COM4 = /dev/<b>bold</b>"};
        rig.fake->failOpenWith = PortErrors::PermissionDenied;
        rig.fake->failOpenDetail = detail;
        QVERIFY(rig.writeIni("1,\"9600\",0,\"\"\r\n\"A\",\"B\",\"C\",\"D\"\r\n"));
        rig.window.load();
        const auto where = [&](int port) {
            return plainToolTip(QString("COM%1 -> /dev/<img src=x>\n\nSettings: ").arg(port) +
                                rig.iniPath());
        };
        QCOMPARE(toolTipOf(rig.ui().statusLabel), where(1));
        QTRY_COMPARE(rig.statusText(), QString("COM Port comm-error! 8010"));
        const QString tip = toolTipOf(rig.ui().statusLabel);
        QVERIFY2(tip.contains("dialout") && !tip.contains("<img") &&
                     tip.count("COM1 -&gt; /dev/&lt;img src=x&gt;") == 1 &&
                     (detail.isEmpty() || tip.contains("&gt;<br/>" + detail)),
                 qPrintable(tip));
        QCOMPARE(toolTipOf(rig.ui().portEdit),
                 plainToolTip("Ports present:\nCOM4 = /dev/<b>bold</b>"));
        rig.fake->failOpenWith = 0; // a good Save: the old port's failure is not shown
        WindowRig::type(rig.ui().portEdit, QString("3"));
        QTest::mouseClick(rig.ui().saveButton, Qt::LeftButton);
        QCOMPARE(toolTipOf(rig.ui().statusLabel), where(3));
    }

    void helpPanel()
    {
        WindowRig rig;
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        const MainWindowUi &ui = rig.ui();
        QTest::mouseClick(ui.helpButton, Qt::LeftButton);
        // The mouse reaches only the panel; the covered controls stay visible underneath.
        for (QWidget *covered :
             std::initializer_list<QWidget *>{ui.portEdit, ui.saveButton, ui.statusLabel,
                                              ui.outputsFrame, ui.helpButton, ui.deviceLabel}) {
            QWidget *hit =
                rig.window.childAt(covered->mapTo(&rig.window, covered->rect().center()));
            QVERIFY(ui.helpPanel->isAncestorOf(hit) && covered->isVisible());
        }
        QVERIFY(ui.helpTextEdit->toPlainText().startsWith(
            "- Set COM port (1-16 after connecting USB hardware"));
        QTest::mouseClick(ui.closeHelpButton, Qt::LeftButton);
        QVERIFY(ui.helpPanel->isHidden());
    }

    // The keyboard: Enter presses the focused button once, however long it is held; F1 opens
    // the help panel, and while it is shown no Tab and no Space reaches what it covers; Escape
    // closes it and gives the focus back to Help.
    void keyboard()
    {
        WindowRig rig;
        rig.window.show();
        rig.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&rig.window) && rig.connect());
        const MainWindowUi &ui = rig.ui();
        const auto key = [](Qt::Key k) { QTest::keyClick(QApplication::focusWidget(), k); };
        rig.fake->written.clear();
        ui.outputButtons[1]->setFocus();
        key(Qt::Key_Return);
        QTest::simulateEvent(ui.outputButtons[1], true, Qt::Key_Return, {}, {}, true); // held
        ui.allOffButton->setFocus();
        QTest::keyClick(ui.allOffButton, Qt::Key_Enter, Qt::KeypadModifier);
        QTRY_COMPARE(rig.fake->written, (QList<QByteArray>{"O2H\r", "OAL\r"}));
        for (int tabs = 0; tabs < 8; ++tabs) {
            key(Qt::Key_F1);
            QVERIFY(ui.helpPanel->isVisible());
            for (int i = 0; i < tabs; ++i)
                key(i % 3 ? Qt::Key_Tab : Qt::Key_Backtab);
            QVERIFY(ui.helpPanel->isAncestorOf(QApplication::focusWidget()));
            key(Qt::Key_Space);
        }
        key(Qt::Key_F1);
        key(Qt::Key_Escape);
        QVERIFY(ui.helpPanel->isHidden() && ui.helpButton->hasFocus());
        QTest::qWait(50);
        QCOMPARE(rig.fake->written.size(), 2);
    }

    // A screen reader: every control that takes the focus has a name, the status line says what
    // it is, and an output's button is checked while the board reports it on.
    void screenReader()
    {
        WindowRig rig;
        QVERIFY(rig.writeIni("1,\"9600\",0,\"\"\r\n\"Pump\",\"\",\"c\",\"d\"\r\n"));
        rig.window.show();
        QVERIFY(rig.connect());
        for (QWidget *w : rig.window.findChildren<QWidget *>())
            if (w->focusPolicy() & Qt::TabFocus)
                QVERIFY2(
                    !QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).isEmpty(),
                    w->metaObject()->className());
        QVERIFY(!QAccessible::queryAccessibleInterface(rig.ui().statusLabel)
                     ->text(QAccessible::Description)
                     .isEmpty());
        QAccessibleInterface *two =
            QAccessible::queryAccessibleInterface(rig.ui().outputButtons[1]);
        QCOMPARE(two->text(QAccessible::Name), QString("Output 2")); // unnamed
        for (const char *report : {"O2H\r", "O2L\r", "O2H\r"}) {
            rig.fake->receive(report);
            QTRY_COMPARE(two->state().checked, report[2] == 'H');
            QVERIFY(two->state().checkable);
        }
        rig.fake->written.clear();
        QAccessible::queryAccessibleInterface(rig.ui().outputButtons[0])
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(rig.fake->written, QList<QByteArray>{"O1H\r"}); // a click, as before
    }

    // Under a dark desktop palette (KDE's Breeze Dark), every text on a fixed colour reads, 4.5:1
    // or better: the status line in each status, an output on, and the all-outputs buttons.
    void darkDesktop()
    {
        const QPalette designed = QApplication::palette();
        const QColor text("#fcfcfc"), button("#31363b"), window("#2a2e32");
        const QPalette dark(text, button, button.lighter(), button.darker(), button, text, text,
                            QColor("#1b1e20"), window);
        QApplication::setPalette(dark);
        WindowRig rig;
        rig.window.show();
        QVERIFY(rig.connect());
        rig.fake->receive("O2H\r");
        // The colour furthest from the background among the pixels inside the edges: the text's.
        const auto readable = [](QWidget *w, ColourWord back) {
            const QImage image = w->grab(w->rect().adjusted(5, 4, -5, -4)).toImage();
            const QColor background = Colours::toColor(back, QApplication::palette());
            double best = 1;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    best = std::max(best, Colours::contrast(image.pixelColor(x, y), background));
            return best >= 4.5 ? QString() : QString::number(best, 'f', 2);
        };
        for (const Status status :
             {Status::Searching, Status::Failed, Status::Reply, Status::Connected}) {
            emit rig.link.statusChanged(status, QString("COM:1 Baud:9600 COM data: 1O2H"));
            QCOMPARE(readable(rig.ui().statusLabel, rig.ui().statusLabel->backColour()), QString());
        }
        QTRY_COMPARE(rig.ui().outputButtons[1]->backColour(), Colours::OutputOn);
        for (ColourButton *b :
             {rig.ui().outputButtons[1], rig.ui().allOnButton, rig.ui().allOffButton})
            QCOMPARE(readable(b, b->backColour()), QString());
        QApplication::setPalette(designed);
    }

    // The raised edge on whole device pixels at every scale: light top and left, the shadow on
    // the outermost pixels of the bottom and right; and the focus mark, black and white.
    void buttonEdges_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("1x") << 1.0;
        QTest::newRow("1.5x") << 1.5;
        QTest::newRow("2x") << 2.0;
    }
    void buttonEdges()
    {
        QFETCH(qreal, scale);
        WindowRig rig;
        rig.window.show();
        rig.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&rig.window) && rig.connect());
        ColourButton *button = rig.ui().outputButtons[0];
        button->setBackColour(Colours::OutputOn);
        button->setFocus();
        QImage image((QSizeF(button->size()) * scale).toSize(), QImage::Format_RGB32);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::magenta);
        button->render(&image);
        const QPalette pal = button->palette();
        const int w = image.width(), h = image.height(), u = qRound(scale);
        const auto role = [&](QPalette::ColorRole r) { return pal.color(r).rgb(); };
        QCOMPARE(image.pixel(w / 2, 0), role(QPalette::Light));
        QCOMPARE(image.pixel(0, h / 2), role(QPalette::Light));
        QCOMPARE(image.pixel(w / 2, h - 1), role(QPalette::Shadow));
        QCOMPARE(image.pixel(w - 1, h / 2), role(QPalette::Shadow));
        QCOMPARE(image.pixel(w / 2, h - 1 - u), role(QPalette::Dark));
        QCOMPARE(image.pixel(3 * u, h / 2), QColor(Qt::black).rgb());
        QCOMPARE(image.pixel(4 * u, h / 2), QColor(Qt::white).rgb());
    }

    void exitAnswers_data()
    {
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<bool>("failed"); // a command failed: the program counts down to its end
        QTest::newRow("yes") << QMessageBox::Yes << false;
        QTest::newRow("no") << QMessageBox::No << false;
        QTest::newRow("cancel") << QMessageBox::Cancel << false;
        QTest::newRow("yes after a failure") << QMessageBox::Yes << true;
        QTest::newRow("no after a failure") << QMessageBox::No << true;
    }
    void exitAnswers()
    {
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(bool, failed);
        WindowRig rig;
        rig.window.show();
        QVERIFY(rig.connect());
        if (failed) {
            rig.fake->failWriteWith = PortErrors::WriteFailed;
            QTest::mouseClick(rig.ui().outputButtons[0], Qt::LeftButton);
        }
        rig.answer = answer;
        const bool yes = answer == QMessageBox::Yes;
        QCOMPARE(rig.window.close(), yes);
        QCOMPARE(rig.window.close(), yes); // asked again
        QCOMPARE(rig.asked, yes ? 1 : 2);
        QCOMPARE(rig.fake->isOpen(), !yes); // Yes closes the port; the others leave all running
        QCOMPARE(rig.link.isConnected() || rig.link.isSearching(), !yes);
        // Yes during the count-down still ends the program with the failure's status.
        QCOMPARE(rig.ends, yes && failed ? QList<int>{MainWindow::fatalExitCode} : QList<int>{});
        QTest::qWait(250); // the count-down at this scale: 150 ms
        QCOMPARE(rig.ends, failed ? QList<int>{MainWindow::fatalExitCode} : QList<int>{});
    }

    void realExitQuestion()
    {
        WindowRig rig;
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
            bool asked = false; // checked after the box is gone, which it always is
            QTimer::singleShot(0, [key, &asked] {
                QWidget *modal = QApplication::activeModalWidget();
                auto *box = qobject_cast<QMessageBox *>(modal);
                asked = box && box->icon() == QMessageBox::Question &&
                        box->windowTitle() + u'|' + box->text() ==
                            QString("Exit Dialog|Do you want to close/exit App ?") &&
                        box->standardButtons() ==
                            (QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
                if (box)
                    QTest::keyClick(box, key);
                else if (modal)
                    modal->close();
            });
            QCOMPARE(MainWindow::askExitQuestion(&rig.window),
                     key == Qt::Key_Escape ? QMessageBox::Cancel : QMessageBox::Yes);
            QVERIFY(asked);
        }
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
