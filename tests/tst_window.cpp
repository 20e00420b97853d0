// The main window against the design's tables: controls, geometry, colours, fonts, stacking,
// tab order and initial states; the help panel; the exit question; painted pixels.

#include "WindowRig.h"

#include "ui/Fonts.h"
#include "ui/HelpText.h"

#include <QApplication>
#include <QMessageBox>
#include <QStyleFactory>

namespace {

QWidget *control(const WindowRig &rig, const QString &name)
{
    return rig.window->findChild<QWidget *>(name);
}

QRect twips(int l, int t, int w, int h)
{
    return QRect(l / 15, t / 15, w / 15, h / 15);
}

QRgb pixelAt(const QImage &image, const QWidget *w, QPoint offset = QPoint(6, 6))
{
    const QPoint p = w->mapTo(w->window(), offset);
    return image.pixel(p * image.devicePixelRatio()) & 0xFFFFFF;
}

QRgb rgbOf(ColourWord word)
{
    return qRgb(int(word & 0xFF), int((word >> 8) & 0xFF), int((word >> 16) & 0xFF)) & 0xFFFFFF;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void controls_data();
    void controls();
    void colourWords_data();
    void colourWords();
    void settingsCaptionAndHelpText();
    void stackingOrder();
    void tabOrderAndFocus();
    void initialState();
    void captionOfRenamedCopy();
    void helpPanelCoversAndCloses();
    void paintedColours();
    void captionsShowAmpersandLiterally();
    void plainTextOnly();
    void exitAnswers_data();
    void exitAnswers();
    void realExitQuestion();
};

void TestWindow::initTestCase()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
}

void TestWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("fontPixels"); // 11: 8.25 pt, 13: 9.75 pt
    QTest::addColumn<bool>("bold");
    QTest::addColumn<QString>("text");
    const QString w = QStringLiteral("window");
    auto row = [](const char *name, const QString &parent, QRect g, int px, bool bold, const char *text) {
        QTest::newRow(name) << QString::fromLatin1(name) << parent << g << px << bold
                            << QString::fromLatin1(text);
    };
    row("frmNevidi", w, twips(600, 1080, 5775, 1455), 11, false, "frmNevidise:");
    row("frmHelp", w, twips(120, 120, 7575, 4215), 11, false, "Help:");
    row("cmdExit", w, twips(6360, 240, 1335, 540), 13, true, "Save");
    row("Frame1", w, twips(120, 120, 6045, 645), 11, false, "");
    row("cmdHelp", w, twips(120, 3960, 540, 285), 11, false, "Help");
    row("frmOuts", w, twips(120, 1200, 7575, 2640), 13, true, "Outputs:");
    row("lblDevCode", w, twips(720, 3960, 6975, 285), 13, false, "???");
    row("lblStatus", w, twips(120, 840, 7575, 285), 11, false, "---");
    row("cmdIspis", "frmNevidi", twips(2100, 210, 540, 435), 13, true, "?");
    row("cmdInicijalizacija", "frmNevidi", twips(1155, 210, 750, 360), 13, true, "INIT");
    row("cmdCloseHelp", "frmHelp", twips(6090, 2520, 1380, 465), 13, false, "Close");
    row("Text1", "frmHelp", twips(120, 240, 7380, 2115), 11, false, "");
    row("txtOpt3", "Frame1", twips(3840, 240, 615, 285), 11, false, "");
    row("txtOpt2", "Frame1", twips(3120, 240, 615, 285), 11, false, "");
    row("txtOpt1", "Frame1", twips(1680, 240, 615, 285), 11, false, "");
    row("txtSTime", "Frame1", twips(2400, 240, 615, 285), 11, false, "0");
    row("txtBaud", "Frame1", twips(720, 240, 855, 285), 11, false, "9600");
    row("txtCom", "Frame1", twips(120, 240, 495, 285), 11, false, "1");
    const int lefts[] = {105, 1995, 3885, 5775};
    for (int n = 1; n <= 4; ++n) {
        const QByteArray out = "cmdOut" + QByteArray::number(n);
        const QByteArray name = "txtOutName" + QByteArray::number(n);
        row(name.constData(), "frmOuts", twips(lefts[n - 1], 1050, 1695, 285), 11, false, "Text2");
        row(out.constData(), "frmOuts", twips(lefts[n - 1], 315, 1695, 645), 13, true,
            ("Out" + QByteArray::number(n)).constData());
    }
    row("cmdAll1", "frmOuts", twips(105, 1680, 3585, 750), 13, true, "All Outputs=ON");
    row("cmdAll0", "frmOuts", twips(3840, 1680, 3585, 750), 13, true, "All Outputs=OFF");
}

void TestWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(int, fontPixels);
    QFETCH(bool, bold);
    QFETCH(QString, text);
    WindowRig rig;
    QWidget *c = control(rig, name);
    QVERIFY2(c, qPrintable(name));
    QWidget *expectedParent = parent == u"window" ? rig.window.get() : control(rig, parent);
    QCOMPARE(c->parentWidget(), expectedParent);
    QCOMPARE(c->geometry(), geometry);
    QCOMPARE(c->font().pixelSize(), fontPixels);
    QCOMPARE(c->font().bold(), bold);
    QCOMPARE(c->font().family(), QStringLiteral("Liberation Sans"));
    if (auto *b = qobject_cast<ColourButton *>(c))
        QCOMPARE(b->text(), text);
    else if (auto *p = qobject_cast<QPushButton *>(c))
        QCOMPARE(p->text(), text);
    else if (auto *e = qobject_cast<QLineEdit *>(c)) {
        QCOMPARE(e->text(), text);
        QCOMPARE(e->alignment(), Qt::AlignCenter);
    } else if (auto *l = qobject_cast<QLabel *>(c)) {
        QCOMPARE(l->text(), text);
        QCOMPARE(l->alignment(), Qt::AlignCenter);
    } else if (auto *f = qobject_cast<ColourFrame *>(c); f && name != u"Frame1")
        QCOMPARE(f->caption(), text);
}

void TestWindow::colourWords_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<uint>("back");
    QTest::addColumn<uint>("fore"); // 0xFFFFFFFF: not kept by this kind of control
    const uint none = 0xFFFFFFFF;
    QTest::newRow("frmHelp") << "frmHelp" << 0x8000000Du << 0xFFFFFFu;
    QTest::newRow("frmOuts") << "frmOuts" << 0x000000u << 0xE0E0E0u;
    QTest::newRow("Frame1") << "Frame1" << 0x8000000Fu << 0x80000012u;
    QTest::newRow("frmNevidi") << "frmNevidi" << 0x8000000Fu << 0x80000012u;
    QTest::newRow("lblDevCode") << "lblDevCode" << 0x000000u << 0x00FFFFu;
    QTest::newRow("lblStatus") << "lblStatus" << 0x8000000Fu << 0x80000012u;
    QTest::newRow("cmdHelp") << "cmdHelp" << 0x8000000Fu << none;
    QTest::newRow("cmdIspis") << "cmdIspis" << 0x0080FFu << none;
    QTest::newRow("cmdInicijalizacija") << "cmdInicijalizacija" << 0x8000000Fu << none;
    QTest::newRow("cmdCloseHelp") << "cmdCloseHelp" << 0x80000003u << none;
    QTest::newRow("cmdAll1") << "cmdAll1" << 0x008000u << none;
    QTest::newRow("cmdAll0") << "cmdAll0" << 0x0000C0u << none;
    for (int n = 1; n <= 4; ++n)
        QTest::newRow(qPrintable(QStringLiteral("cmdOut%1").arg(n)))
            << QStringLiteral("cmdOut%1").arg(n) << 0x8000000Fu << none;
}

void TestWindow::colourWords()
{
    QFETCH(QString, name);
    QFETCH(uint, back);
    QFETCH(uint, fore);
    WindowRig rig;
    QWidget *c = control(rig, name);
    QVERIFY(c);
    if (auto *b = qobject_cast<ColourButton *>(c)) {
        QCOMPARE(b->backColour(), back);
    } else if (auto *l = qobject_cast<ColourLabel *>(c)) {
        QCOMPARE(l->backColour(), back);
        QCOMPARE(l->foreColour(), fore);
    } else if (auto *f = qobject_cast<ColourFrame *>(c)) {
        QCOMPARE(f->backColour(), back);
        QCOMPARE(f->foreColour(), fore);
    } else {
        QFAIL("not a colour-word control");
    }
}

void TestWindow::settingsCaptionAndHelpText()
{
    WindowRig rig;
    const QString caption = rig.ui().Frame1->caption();
    QCOMPARE(caption.size(), 66);
    QCOMPARE(caption, QString(" COM:" + QString(4, ' ') + "BAUD:" + QString(10, ' ') + "ID:" +
                              QString(11, ' ') + "STime:" + QString(5, ' ') + "Opt1:" +
                              QString(7, ' ') + "Opt2:"));

    const QStringList lines = helpText().split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 10); // nine lines, each ended by CR LF
    QVERIFY(lines.last().isEmpty());
    QCOMPARE(lines[0], QStringLiteral("- Set COM port (1-16 after connecting USB hardware see COM port number in Device Manager)"));
    QCOMPARE(lines[1], QStringLiteral("- Set Baud rate (9600) "));
    QCOMPARE(lines[2], QStringLiteral("- Set ID (device identifier): without or 1,2,3..."));
    QCOMPARE(lines[3], QStringLiteral("- Set Sample Time (STime=0 not in use)"));
    QCOMPARE(lines[4], QStringLiteral("- Opt1 - Opt3 are not used"));
    QCOMPARE(lines[5], QStringLiteral("Add user labels for output buttons"));
    QCOMPARE(lines[6], QStringLiteral("More devices can be connected to different ports and copy the exe version  under a different name "));
    QCOMPARE(lines[7], QStringLiteral("and use the various COM ports."));
    QVERIFY(lines[8].startsWith(QStringLiteral("More on: ")));
    QCOMPARE(rig.ui().Text1->toPlainText(), QString(helpText()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TestWindow::stackingOrder()
{
    WindowRig rig;
    auto topmostFirst = [](QWidget *container) {
        QStringList names;
        for (QObject *o : container->children()) {
            if (auto *w = qobject_cast<QWidget *>(o); w && !w->isWindow() && !w->objectName().isEmpty())
                names.prepend(w->objectName());
        }
        return names;
    };
    QCOMPARE(topmostFirst(rig.window.get()),
             (QStringList{"frmNevidi", "frmHelp", "cmdExit", "Frame1", "cmdHelp", "frmOuts",
                          "lblDevCode", "lblStatus"}));
    QCOMPARE(topmostFirst(rig.ui().frmOuts),
             (QStringList{"txtOutName4", "txtOutName3", "txtOutName2", "txtOutName1", "cmdOut4",
                          "cmdAll1", "cmdAll0", "cmdOut3", "cmdOut2", "cmdOut1"}));
    QCOMPARE(topmostFirst(rig.ui().Frame1),
             (QStringList{"txtOpt3", "txtOpt2", "txtOpt1", "txtSTime", "txtBaud", "txtCom"}));
    QCOMPARE(topmostFirst(rig.ui().frmHelp), (QStringList{"cmdCloseHelp", "Text1"}));
    QCOMPARE(topmostFirst(rig.ui().frmNevidi), (QStringList{"cmdIspis", "cmdInicijalizacija"}));
}

void TestWindow::tabOrderAndFocus()
{
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));

    // The chain in the design's tab index order.
    const QStringList expected = {"cmdOut1", "cmdOut2", "cmdOut3", "cmdOut4", "cmdAll0", "cmdAll1",
                                  "cmdHelp", "Text1", "cmdCloseHelp", "txtCom", "txtBaud",
                                  "txtSTime", "txtOpt1", "txtOpt2", "txtOutName1", "txtOutName2",
                                  "txtOutName3", "txtOutName4", "cmdExit", "txtOpt3"};
    QStringList chain;
    QWidget *w = rig.ui().cmdOut[1];
    for (int i = 0; i < 200 && chain.size() < expected.size(); ++i, w = w->nextInFocusChain()) {
        if (expected.contains(w->objectName()) && !chain.contains(w->objectName()))
            chain << w->objectName();
    }
    QCOMPARE(chain, expected);

    // Tab visits only what is visible and enabled: before the handshake not the outputs,
    // never the hidden buttons or the help panel while it is hidden.
    auto visited = [&] {
        QStringList seen;
        rig.ui().txtCom->setFocus();
        for (int i = 0; i < 30; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            if (QWidget *f = QApplication::focusWidget())
                seen << f->objectName();
        }
        return seen;
    };
    QStringList seen = visited();
    for (const char *never : {"cmdOut1", "cmdAll0", "txtOutName1", "cmdIspis", "cmdInicijalizacija",
                              "Text1", "cmdCloseHelp"})
        QVERIFY2(!seen.contains(QLatin1StringView(never)), never);
    QVERIFY(seen.contains(QStringLiteral("cmdExit")) && seen.contains(QStringLiteral("cmdHelp")));

    // With the help panel shown, Tab still reaches the covered controls, and the panel's own.
    rig.window->cmdHelp_Click();
    seen = visited();
    QVERIFY(seen.contains(QStringLiteral("txtBaud")) && seen.contains(QStringLiteral("cmdExit")));
    QVERIFY(seen.contains(QStringLiteral("Text1")) && seen.contains(QStringLiteral("cmdCloseHelp")));
}

void TestWindow::initialState()
{
    WindowRig rig;
    const MainWindowUi &ui = rig.ui();
    QCOMPARE(rig.window->size(), QSize(519, 297));
    QCOMPARE(rig.window->minimumSize(), rig.window->maximumSize());
    QVERIFY(ui.frmHelp->isHidden());
    QVERIFY(ui.frmNevidi->isHidden());
    QVERIFY(!ui.frmOuts->isEnabled());
    for (int n = 1; n <= 4; ++n) {
        QVERIFY(!ui.cmdOut[n]->isEnabled());
        QVERIFY(!ui.txtOutName[n]->isEnabled());
    }
    QVERIFY(!ui.cmdAll1->isEnabled() && !ui.cmdAll0->isEnabled());
    QCOMPARE(ui.cmdIspis->focusPolicy(), Qt::NoFocus);
    QCOMPARE(ui.cmdInicijalizacija->focusPolicy(), Qt::NoFocus);
    QVERIFY(!rig.window->timer1().isActive());
    QVERIFY(!rig.window->timerCom().isActive());
    QVERIFY(!rig.fake->PortOpen());
    QCOMPARE(rig.window->timer1().interval(), 200);
    QCOMPARE(rig.window->timerCom().interval(), 500);
    QVERIFY(!rig.window->windowIcon().isNull());
    QCOMPARE(rig.window->windowIcon().availableSizes().value(0), QSize(32, 32));

    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    QVERIFY(!ui.frmNevidi->isVisible() && !ui.cmdIspis->isVisible());
}

void TestWindow::captionOfRenamedCopy()
{
    WindowRig rig(fastTimings(), nullptr, {}, QStringLiteral("relay2"));
    rig.window->Form_Load();
    QCOMPARE(rig.window->windowTitle(), QStringLiteral("Vantrelo: relay2"));
    QCOMPARE(rig.window->settingsPath(), rig.dir.filePath(QStringLiteral("relay2.ini")));
}

void TestWindow::helpPanelCoversAndCloses()
{
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    const MainWindowUi &ui = rig.ui();

    QTest::mouseClick(ui.cmdHelp, Qt::LeftButton);
    QVERIFY(ui.frmHelp->isVisible());
    // The mouse reaches only the panel: every covered control's centre now hits the panel.
    for (QWidget *covered : std::initializer_list<QWidget *>{ui.txtCom, ui.cmdExit, ui.lblStatus,
                                                            ui.frmOuts, ui.cmdHelp, ui.lblDevCode}) {
        const QPoint centre = covered->mapTo(rig.window.get(), covered->rect().center());
        QWidget *hit = rig.window->childAt(centre);
        QVERIFY2(hit == ui.frmHelp || ui.frmHelp->isAncestorOf(hit), qPrintable(covered->objectName()));
        QVERIFY(covered->isVisible());
    }
    rig.window->cmdHelp_Click(); // again: no change
    QVERIFY(ui.frmHelp->isVisible());

    ui.Text1->setPlainText(QStringLiteral("typed"));
    QTest::mouseClick(ui.cmdCloseHelp, Qt::LeftButton);
    QVERIFY(ui.frmHelp->isHidden());
    rig.window->cmdCloseHelp_Click(); // again: no change
    QVERIFY(ui.frmHelp->isHidden());
    QCOMPARE(rig.status.size(), 0); // nothing else changed
}

void TestWindow::paintedColours()
{
    WindowRig rig;
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    const MainWindowUi &ui = rig.ui();

    QImage shot = rig.window->grab().toImage();
    QCOMPARE(pixelAt(shot, ui.cmdAll1), rgbOf(0x008000)); // disabled, still its colour
    QCOMPARE(pixelAt(shot, ui.cmdAll0), rgbOf(0x0000C0));
    QCOMPARE(pixelAt(shot, ui.frmOuts, QPoint(200, 100)), rgbOf(0x000000)); // frame gap
    QCOMPARE(shot.pixel(QPoint(2, 2) * shot.devicePixelRatio()) & 0xFFFFFF, 0u); // window gap
    QCOMPARE(pixelAt(shot, ui.cmdOut[2]), QApplication::palette().color(QPalette::Button).rgb() & 0xFFFFFF);

    ui.cmdOut[2]->setBackColour(0x00C000);
    ui.lblStatus->setBackColour(0xC0FFFF);
    shot = rig.window->grab().toImage();
    QCOMPARE(pixelAt(shot, ui.cmdOut[2]), rgbOf(0x00C000));
    QCOMPARE(pixelAt(shot, ui.lblStatus, QPoint(4, 4)), rgbOf(0xC0FFFF));
    QCOMPARE(pixelAt(shot, ui.lblDevCode, QPoint(4, 4)), rgbOf(0x000000));

    rig.window->cmdHelp_Click();
    shot = rig.window->grab().toImage();
    QCOMPARE(pixelAt(shot, ui.frmHelp, QPoint(3, 30)), QApplication::palette().color(QPalette::Highlight).rgb() & 0xFFFFFF);
}

void TestWindow::captionsShowAmpersandLiterally()
{
    WindowRig rig;
    rig.writeIni("1,\"9600\",0,\"\"\r\n\"A&B\",\"&x\",\"MyOut3\",\"MyOut4\"\r\n");
    rig.window->Form_Load();
    QCOMPARE(rig.ui().cmdOut[1]->text(), QStringLiteral("A&B"));
    QVERIFY(QKeySequence::mnemonic(rig.ui().cmdOut[2]->QPushButton::text()).isEmpty());
}

void TestWindow::plainTextOnly()
{
    WindowRig rig;
    QCOMPARE(rig.ui().lblStatus->textFormat(), Qt::PlainText);
    QCOMPARE(rig.ui().lblDevCode->textFormat(), Qt::PlainText);
}

void TestWindow::exitAnswers_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<bool>("closes");
    QTest::newRow("yes, port open") << int(QMessageBox::Yes) << true << true;
    QTest::newRow("yes, port closed") << int(QMessageBox::Yes) << false << true;
    QTest::newRow("no") << int(QMessageBox::No) << true << false;
    QTest::newRow("cancel") << int(QMessageBox::Cancel) << true << false;
}

void TestWindow::exitAnswers()
{
    QFETCH(int, answer);
    QFETCH(bool, portOpen);
    QFETCH(bool, closes);
    WindowRig rig;
    rig.window->show();
    rig.window->Form_Load();
    if (portOpen)
        QTRY_VERIFY(rig.fake->PortOpen());
    else
        rig.fake->failOpenWith = CommErrors::InvalidPortNumber;
    rig.answer = QMessageBox::StandardButton(answer);
    const QStringList callsBefore = rig.fake->calls;

    QCOMPARE(rig.window->close(), closes);
    QCOMPARE(rig.asked, 1);
    QCOMPARE(rig.window->isVisible(), !closes);
    if (closes) {
        QCOMPARE(rig.fake->PortOpen(), false);
        // The port is closed only when it was open.
        QCOMPARE(rig.fake->calls.mid(callsBefore.size()).contains(QStringLiteral("close")), portOpen);
        QVERIFY(rig.ends.isEmpty());
    } else {
        QCOMPARE(rig.fake->PortOpen(), portOpen);
        QVERIFY(rig.window->timer1().isActive());
        QCOMPARE(rig.fake->calls, callsBefore);
        // Asking again asks again.
        QVERIFY(!rig.window->close());
        QCOMPARE(rig.asked, 2);
    }
}

void TestWindow::realExitQuestion()
{
    WindowRig rig;
    int seen = 0;
    auto inspectAndDismiss = [&](int key) {
        QTimer::singleShot(0, [&, key] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            ++seen;
            QCOMPARE(box->windowTitle(), QStringLiteral("Exit Dialog"));
            QCOMPARE(box->text(), QStringLiteral("Do you want to close/exit App ?"));
            QCOMPARE(box->icon(), QMessageBox::Question);
            QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            QCOMPARE(box->defaultButton(), box->button(QMessageBox::Yes));
            QTest::keyClick(box, Qt::Key(key));
        });
    };
    inspectAndDismiss(Qt::Key_Escape);
    QCOMPARE(VantreloWindow::askExitQuestion(rig.window.get()), QMessageBox::Cancel);
    inspectAndDismiss(Qt::Key_Return); // the default button
    QCOMPARE(VantreloWindow::askExitQuestion(rig.window.get()), QMessageBox::Yes);
    QCOMPARE(seen, 2);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
