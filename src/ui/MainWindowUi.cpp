#include "MainWindowUi.h"

#include "Fonts.h"
#include "Geometry.h"
#include "HelpText.h"

#include <QIcon>
#include <QPalette>

using Geometry::twips;

namespace {

void setTextBoxColours(QWidget *box)
{
    QPalette pal = box->palette();
    const QPalette app;
    pal.setColor(QPalette::Base, Colours::toColor(Colours::WindowBackground, app));
    pal.setColor(QPalette::Text, Colours::toColor(Colours::WindowText, app));
    box->setPalette(pal);
}

QLineEdit *textBox(QWidget *parent, const QString &text, const QRect &geometry)
{
    auto *box = new QLineEdit(text, parent);
    box->setGeometry(geometry);
    box->setAlignment(Qt::AlignCenter);
    box->setFont(Fonts::standard());
    box->setTextMargins(0, 0, 0, 0);
    setTextBoxColours(box);
    return box;
}

ColourButton *button(QWidget *parent, const QString &caption, ColourWord back,
                     const QRect &geometry, const QFont &font)
{
    auto *b = new ColourButton(caption, back, parent);
    b->setGeometry(geometry);
    b->setFont(font);
    b->setAutoDefault(false);
    return b;
}

// Stacks siblings given topmost first.
void stack(std::initializer_list<QWidget *> topmostFirst)
{
    for (auto it = std::rbegin(topmostFirst); it != std::rend(topmostFirst); ++it)
        (*it)->raise();
}

} // namespace

void MainWindowUi::setupUi(QWidget *window)
{
    window->setFixedSize(Geometry::px(Geometry::clientWidth), Geometry::px(Geometry::clientHeight));
    window->setWindowIcon(QIcon(QStringLiteral(":/vantrelo/vantrelo.png")));
    window->setFont(Fonts::standard());
    QPalette windowPalette = window->palette();
    windowPalette.setColor(QPalette::Window, Qt::black);
    window->setPalette(windowPalette);
    window->setAutoFillBackground(true);

    // The status line and the device line.
    lblStatus = new ColourLabel(QStringLiteral("---"), Colours::ButtonFace, Colours::ButtonText, window);
    lblStatus->setGeometry(twips(120, 840, 7575, 285));
    lblStatus->setFont(Fonts::status());
    lblStatus->setAlignment(Qt::AlignCenter);
    lblStatus->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    lblDevCode = new ColourLabel(QStringLiteral("???"), 0x000000, 0x00FFFF, window);
    lblDevCode->setGeometry(twips(720, 3960, 6975, 285));
    lblDevCode->setFont(Fonts::largeRegular());
    lblDevCode->setAlignment(Qt::AlignCenter);
    lblDevCode->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    // The outputs frame.
    frmOuts = new ColourFrame(QStringLiteral("Outputs:"), 0x000000, 0xE0E0E0, window);
    frmOuts->setGeometry(twips(120, 1200, 7575, 2640));
    frmOuts->setFont(Fonts::largeBold());
    for (int n = 1; n <= 4; ++n) {
        const int left = 105 + 1890 * (n - 1);
        cmdOut[n] = button(frmOuts, u"Out" + QString::number(n), Colours::OutputOff,
                           twips(left, 315, 1695, 645), Fonts::largeBold());
        txtOutName[n] = textBox(frmOuts, QStringLiteral("Text2"), twips(left, 1050, 1695, 285));
    }
    cmdAll1 = button(frmOuts, QStringLiteral("All Outputs=ON"), 0x008000,
                     twips(105, 1680, 3585, 750), Fonts::largeBold());
    cmdAll0 = button(frmOuts, QStringLiteral("All Outputs=OFF"), 0x0000C0,
                     twips(3840, 1680, 3585, 750), Fonts::largeBold());
    stack({txtOutName[4], txtOutName[3], txtOutName[2], txtOutName[1], cmdOut[4], cmdAll1,
           cmdAll0, cmdOut[3], cmdOut[2], cmdOut[1]});
    frmOuts->setEnabled(false);

    cmdHelp = button(window, QStringLiteral("Help"), Colours::ButtonFace,
                     twips(120, 3960, 540, 285), Fonts::standard());

    // The settings strip.
    Frame1 = new ColourFrame(settingsCaption(), Colours::ButtonFace, Colours::ButtonText, window);
    Frame1->setGeometry(twips(120, 120, 6045, 645));
    txtOpt3 = textBox(Frame1, QString(), twips(3840, 240, 615, 285));
    txtOpt2 = textBox(Frame1, QString(), twips(3120, 240, 615, 285));
    txtOpt1 = textBox(Frame1, QString(), twips(1680, 240, 615, 285));
    txtSTime = textBox(Frame1, QStringLiteral("0"), twips(2400, 240, 615, 285));
    txtBaud = textBox(Frame1, QStringLiteral("9600"), twips(720, 240, 855, 285));
    txtCom = textBox(Frame1, QStringLiteral("1"), twips(120, 240, 495, 285));
    stack({txtOpt3, txtOpt2, txtOpt1, txtSTime, txtBaud, txtCom});

    cmdExit = new QPushButton(QStringLiteral("Save"), window);
    cmdExit->setGeometry(twips(6360, 240, 1335, 540));
    cmdExit->setFont(Fonts::largeBold());
    cmdExit->setAutoDefault(false);

    // The help panel, hidden until "Help".
    frmHelp = new ColourFrame(QStringLiteral("Help:"), Colours::Highlight, 0xFFFFFF, window);
    frmHelp->setGeometry(twips(120, 120, 7575, 4215));
    cmdCloseHelp = button(frmHelp, QStringLiteral("Close"), Colours::InactiveTitle,
                          twips(6090, 2520, 1380, 465), Fonts::largeRegular());
    Text1 = new QPlainTextEdit(frmHelp);
    Text1->setGeometry(twips(120, 240, 7380, 2115));
    Text1->setFont(Fonts::standard());
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setPlainText(QString(helpText()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    Text1->setTabChangesFocus(true);
    setTextBoxColours(Text1);
    stack({cmdCloseHelp, Text1});
    frmHelp->hide();

    // The program's hidden buttons. Their frame is never shown and they never take focus;
    // the program runs their handlers by direct calls.
    frmNevidi = new ColourFrame(QStringLiteral("frmNevidise:"), Colours::ButtonFace,
                                Colours::ButtonText, window);
    frmNevidi->setGeometry(twips(600, 1080, 5775, 1455));
    cmdIspis = button(frmNevidi, QStringLiteral("?"), 0x0080FF, twips(2100, 210, 540, 435),
                      Fonts::largeBold());
    cmdInicijalizacija = button(frmNevidi, QStringLiteral("INIT"), Colours::ButtonFace,
                                twips(1155, 210, 750, 360), Fonts::largeBold());
    stack({cmdIspis, cmdInicijalizacija});
    cmdIspis->setFocusPolicy(Qt::NoFocus);
    cmdInicijalizacija->setFocusPolicy(Qt::NoFocus);
    frmNevidi->hide();

    stack({frmNevidi, frmHelp, cmdExit, Frame1, cmdHelp, frmOuts, lblDevCode, lblStatus});

    const std::initializer_list<std::pair<QWidget *, const char *>> names = {
        {frmNevidi, "frmNevidi"}, {cmdIspis, "cmdIspis"}, {cmdInicijalizacija, "cmdInicijalizacija"},
        {frmHelp, "frmHelp"},     {cmdCloseHelp, "cmdCloseHelp"}, {Text1, "Text1"},
        {cmdExit, "cmdExit"},     {Frame1, "Frame1"},     {txtOpt3, "txtOpt3"},
        {txtOpt2, "txtOpt2"},     {txtOpt1, "txtOpt1"},   {txtSTime, "txtSTime"},
        {txtBaud, "txtBaud"},     {txtCom, "txtCom"},     {cmdHelp, "cmdHelp"},
        {frmOuts, "frmOuts"},     {cmdAll1, "cmdAll1"},   {cmdAll0, "cmdAll0"},
        {lblDevCode, "lblDevCode"}, {lblStatus, "lblStatus"}};
    for (const auto &[widget, name] : names)
        widget->setObjectName(QLatin1StringView(name));
    for (int n = 1; n <= 4; ++n) {
        cmdOut[n]->setObjectName(u"cmdOut" + QString::number(n));
        txtOutName[n]->setObjectName(u"txtOutName" + QString::number(n));
    }

    // Tab order by the design's tab indices; labels and frames take no focus.
    const QList<QWidget *> tabOrder = {cmdOut[1], cmdOut[2], cmdOut[3], cmdOut[4], cmdAll0,
                                       cmdAll1,   cmdHelp,   Text1,     cmdCloseHelp, txtCom,
                                       txtBaud,   txtSTime,  txtOpt1,   txtOpt2,   txtOutName[1],
                                       txtOutName[2], txtOutName[3], txtOutName[4], cmdExit,
                                       txtOpt3};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
}
