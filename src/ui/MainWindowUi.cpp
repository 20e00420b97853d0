// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

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
    statusLabel =
        new ColourLabel(QStringLiteral("---"), Colours::ButtonFace, Colours::ButtonText, window);
    statusLabel->setGeometry(twips(120, 840, 7575, 285));
    statusLabel->setFont(Fonts::status());
    statusLabel->setAlignment(Qt::AlignCenter);
    statusLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    deviceLabel = new ColourLabel(QStringLiteral("???"), 0x000000, 0x00FFFF, window);
    deviceLabel->setGeometry(twips(720, 3960, 6975, 285));
    deviceLabel->setFont(Fonts::largeRegular());
    deviceLabel->setAlignment(Qt::AlignCenter);
    deviceLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    // The outputs frame: four slots 1890 twips apart, and the two all-outputs buttons.
    outputsFrame = new ColourFrame(QStringLiteral("Outputs:"), 0x000000, 0xE0E0E0, window);
    outputsFrame->setGeometry(twips(120, 1200, 7575, 2640));
    outputsFrame->setFont(Fonts::largeBold());
    for (int i = 0; i < outputCount; ++i) {
        const int left = 105 + 1890 * i;
        outputButtons[i] = button(outputsFrame, u"Out" + QString::number(i + 1), Colours::OutputOff,
                                  twips(left, 315, 1695, 645), Fonts::largeBold());
        outputNameEdits[i] =
            textBox(outputsFrame, QStringLiteral("Text2"), twips(left, 1050, 1695, 285));
    }
    allOnButton = button(outputsFrame, QStringLiteral("All Outputs=ON"), 0x008000,
                         twips(105, 1680, 3585, 750), Fonts::largeBold());
    allOffButton = button(outputsFrame, QStringLiteral("All Outputs=OFF"), 0x0000C0,
                          twips(3840, 1680, 3585, 750), Fonts::largeBold());
    stack({outputNameEdits[3], outputNameEdits[2], outputNameEdits[1], outputNameEdits[0],
           outputButtons[3], allOnButton, allOffButton, outputButtons[2], outputButtons[1],
           outputButtons[0]});
    outputsFrame->setEnabled(false);

    helpButton = button(window, QStringLiteral("Help"), Colours::ButtonFace,
                        twips(120, 3960, 540, 285), Fonts::standard());

    // The settings strip.
    settingsFrame =
        new ColourFrame(settingsCaption(), Colours::ButtonFace, Colours::ButtonText, window);
    settingsFrame->setGeometry(twips(120, 120, 6045, 645));
    opt2Edit = textBox(settingsFrame, QString(), twips(3840, 240, 615, 285));
    opt1Edit = textBox(settingsFrame, QString(), twips(3120, 240, 615, 285));
    deviceIdEdit = textBox(settingsFrame, QString(), twips(1680, 240, 615, 285));
    sampleTimeEdit = textBox(settingsFrame, QStringLiteral("0"), twips(2400, 240, 615, 285));
    baudEdit = textBox(settingsFrame, QStringLiteral("9600"), twips(720, 240, 855, 285));
    portEdit = textBox(settingsFrame, QStringLiteral("1"), twips(120, 240, 495, 285));
    stack({opt2Edit, opt1Edit, deviceIdEdit, sampleTimeEdit, baudEdit, portEdit});

    saveButton = new QPushButton(QStringLiteral("Save"), window);
    saveButton->setGeometry(twips(6360, 240, 1335, 540));
    saveButton->setFont(Fonts::largeBold());
    saveButton->setAutoDefault(false);

    // The help panel, hidden until "Help".
    helpPanel = new ColourFrame(QStringLiteral("Help:"), Colours::Highlight, 0xFFFFFF, window);
    helpPanel->setGeometry(twips(120, 120, 7575, 4215));
    closeHelpButton = button(helpPanel, QStringLiteral("Close"), Colours::InactiveTitle,
                             twips(6090, 2520, 1380, 465), Fonts::largeRegular());
    helpTextEdit = new QPlainTextEdit(helpPanel);
    helpTextEdit->setGeometry(twips(120, 240, 7380, 2115));
    helpTextEdit->setFont(Fonts::standard());
    helpTextEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    helpTextEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    helpTextEdit->setPlainText(
        QString(helpText()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    helpTextEdit->setTabChangesFocus(true);
    setTextBoxColours(helpTextEdit);
    stack({closeHelpButton, helpTextEdit});
    helpPanel->hide();

    stack(
        {helpPanel, saveButton, settingsFrame, helpButton, outputsFrame, deviceLabel, statusLabel});

    // Names for a screen reader: the boxes' captions are painted on their frame.
    const std::pair<QWidget *, const char *> names[] = {
        {portEdit, "COM port"},      {baudEdit, "Baud rate"},
        {deviceIdEdit, "Device ID"}, {sampleTimeEdit, "Sample time (STime)"},
        {opt1Edit, "Opt1"},          {opt2Edit, "Opt2"},
        {helpTextEdit, "Help text"}, {statusLabel, "Status"},
        {deviceLabel, "Device"}};
    for (const auto &[widget, name] : names)
        widget->setAccessibleName(QString::fromLatin1(name));
    for (int i = 0; i < outputCount; ++i) {
        outputNameEdits[i]->setAccessibleName(QStringLiteral("Name of output %1").arg(i + 1));
        outputButtons[i]->setAccessibleDescription(
            QStringLiteral("Output %1: checked while the board reports it on").arg(i + 1));
    }
    statusLabel->setAccessibleDescription(
        QStringLiteral("The connection to the controller: searching, connected, or what failed"));

    // The tab order as designed; labels and frames take no focus.
    const QList<QWidget *> tabOrder = {
        outputButtons[0],   outputButtons[1],   outputButtons[2],   outputButtons[3],
        allOffButton,       allOnButton,        helpButton,         helpTextEdit,
        closeHelpButton,    portEdit,           baudEdit,           sampleTimeEdit,
        deviceIdEdit,       opt1Edit,           outputNameEdits[0], outputNameEdits[1],
        outputNameEdits[2], outputNameEdits[3], saveButton,         opt2Edit};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
}
