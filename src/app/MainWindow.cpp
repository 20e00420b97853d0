// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "MainWindow.h"

#include "serial/PortAdvice.h"
#include "serial/PortMap.h"
#include "settings/NumberText.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>

#include <cstdio>
#include <cstdlib>

namespace {

ColourWord statusColour(ControllerLink::Status status)
{
    switch (status) {
    case ControllerLink::Status::Idle:
        return Colours::ButtonFace;
    case ControllerLink::Status::Searching:
        return Colours::StatusSearching;
    case ControllerLink::Status::Failed:
        return Colours::StatusFailure;
    case ControllerLink::Status::Reply:
        return Colours::StatusReply;
    case ControllerLink::Status::Connected:
        return Colours::StatusConnected;
    }
    return Colours::ButtonFace;
}

} // namespace

MainWindow::MainWindow(ControllerLink *link, BoardSettings *settings, Options options,
                       QWidget *parent)
    : QWidget(parent), m_link(link), m_settings(settings), m_options(std::move(options))
{
    m_ui.setupUi(this);

    connect(m_settings, &BoardSettings::loaded, this, &MainWindow::applySettings);
    connect(m_link, &ControllerLink::statusChanged, this, &MainWindow::showStatus);
    connect(m_link, &ControllerLink::outputReported, this, &MainWindow::showOutput);
    connect(m_link, &ControllerLink::connected, this, &MainWindow::showConnected);
    connect(m_link, &ControllerLink::fatalEnd, this,
            [this] { m_options.endProgram(fatalExitCode); });

    for (int i = 0; i < MainWindowUi::outputCount; ++i)
        connect(m_ui.outputButtons[i], &QPushButton::clicked, m_link,
                [this, i] { m_link->toggleOutput(i + 1); });
    connect(m_ui.allOnButton, &QPushButton::clicked, m_link,
            [this] { m_link->switchAllOutputs(true); });
    connect(m_ui.allOffButton, &QPushButton::clicked, m_link,
            [this] { m_link->switchAllOutputs(false); });
    connect(m_ui.saveButton, &QPushButton::clicked, this, &MainWindow::saveSettings);
    connect(m_ui.helpButton, &QPushButton::clicked, this, &MainWindow::showHelp);
    connect(m_ui.closeHelpButton, &QPushButton::clicked, this, &MainWindow::hideHelp);
    connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this,
            &MainWindow::showHelp);
    m_escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    m_escape->setEnabled(false); // only while the help panel is shown
    connect(m_escape, &QShortcut::activated, this, &MainWindow::hideHelp);
    m_ui.portEdit->installEventFilter(this);    // lists the ports present
    m_ui.statusLabel->installEventFilter(this); // explains the port
}

void MainWindow::load()
{
    setWindowTitle(u"Vantrelo: " + m_options.exeName);
    m_settings->start();
}

void MainWindow::applySettings()
{
    const SettingsRecord &record = m_settings->record();
    m_ui.portEdit->setText(QString::number(record.portNumber));
    m_ui.baudEdit->setText(record.baudText);
    m_ui.sampleTimeEdit->setText(QString::number(record.sampleTime));
    m_ui.deviceIdEdit->setText(record.deviceId);
    m_ui.opt1Edit->clear();
    for (int i = 0; i < SettingsRecord::outputCount; ++i) {
        m_ui.outputButtons[i]->setText(record.outputNames[i]);
        m_ui.outputNameEdits[i]->setText(record.outputNames[i]);
        // Named by its caption; an output without a name is still named for a screen reader.
        m_ui.outputButtons[i]->setAccessibleName(record.outputNames[i].trimmed().isEmpty()
                                                     ? QStringLiteral("Output %1").arg(i + 1)
                                                     : QString());
    }
}

// The record the boxes describe, or why Save must refuse it: nothing is saved that the file
// cannot hold or that the next load would replace with the defaults.
std::optional<SettingsRecord> MainWindow::recordFromBoxes(QString *refusal) const
{
    const auto refuse = [refusal](const QString &box, const QString &rule) {
        *refusal = u"The " + box + u" box " + rule;
        return std::nullopt;
    };
    QList<std::pair<QString, const QLineEdit *>> boxes = {
        {QStringLiteral("COM"), m_ui.portEdit},
        {QStringLiteral("BAUD"), m_ui.baudEdit},
        {QStringLiteral("STime"), m_ui.sampleTimeEdit},
        {QStringLiteral("ID"), m_ui.deviceIdEdit}};
    for (int i = 0; i < SettingsRecord::outputCount; ++i)
        boxes.append({QStringLiteral("output %1 name").arg(i + 1), m_ui.outputNameEdits[i]});
    // The file has no escapes: a line break splits the file, a double quote cuts the text.
    for (const auto &[box, edit] : boxes) {
        if (edit->text().contains(u'\r') || edit->text().contains(u'\n') ||
            edit->text().contains(u'"'))
            return refuse(box, QStringLiteral("holds a line break or a double quote, which the "
                                              "settings file cannot keep."));
    }
    SettingsRecord record = m_settings->record();
    const auto port = convertToInt16(m_ui.portEdit->text());
    if (!port || !PortMap::isPortNumber(*port))
        return refuse(QStringLiteral("COM"),
                      QStringLiteral("needs a port number from 1 to 32767."));
    const auto sampleTime = convertToInt16(m_ui.sampleTimeEdit->text());
    if (!sampleTime)
        return refuse(QStringLiteral("STime"),
                      QStringLiteral("needs a whole number from -32768 to 32767."));
    record.portNumber = *port;
    record.baudText = m_ui.baudEdit->text();
    record.sampleTime = *sampleTime;
    record.deviceId = m_ui.deviceIdEdit->text();
    for (int i = 0; i < SettingsRecord::outputCount; ++i)
        record.outputNames[i] = m_ui.outputNameEdits[i]->text();
    if (!BoardSettings::portRefusal(record).isEmpty())
        return refuse(QStringLiteral("BAUD"),
                      QStringLiteral("needs a bit rate in digits only, such as 9600."));
    return record;
}

// A refused or failed save changes nothing: the file, the record and the link stay as they
// are, the boxes keep the operator's edits, and a warning says why.
void MainWindow::saveSettings()
{
    QString refusal;
    const auto record = recordFromBoxes(&refusal);
    if (!record) {
        m_options.warn(this, u"Not saved. " + refusal);
        return;
    }
    if (const auto result = m_settings->save(*record); !result.message.isEmpty())
        m_options.warn(this, result.message);
}

void MainWindow::showStatus(ControllerLink::Status status, const QString &text)
{
    m_ui.statusLabel->setBackColour(statusColour(status));
    m_ui.statusLabel->setText(text);
}

void MainWindow::showOutput(int output, bool on)
{
    m_ui.outputButtons[output - 1]->setBackColour(on ? Colours::OutputOn : Colours::OutputOff);
    m_ui.outputButtons[output - 1]->setShownState(on);
}

// While the help panel is shown, the keyboard stays on it: what it covers cannot be seen, so it
// cannot be reached either.
void MainWindow::showHelp()
{
    m_ui.helpPanel->show();
    m_ui.closeHelpButton->setFocus(Qt::OtherFocusReason);
    m_escape->setEnabled(true);
}

void MainWindow::hideHelp()
{
    m_escape->setEnabled(false);
    m_ui.helpPanel->hide();
    m_ui.helpButton->setFocus(Qt::OtherFocusReason);
}

bool MainWindow::focusNextPrevChild(bool next)
{
    if (m_ui.helpPanel->isHidden())
        return QWidget::focusNextPrevChild(next);
    QWidget *const panel[] = {m_ui.helpTextEdit, m_ui.closeHelpButton};
    (focusWidget() == panel[0] ? panel[1] : panel[0])
        ->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

// Enter presses the focused button, as Space does; held down, it presses it once.
void MainWindow::keyPressEvent(QKeyEvent *event)
{
    auto *button = qobject_cast<QAbstractButton *>(focusWidget());
    if (button && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        if (!event->isAutoRepeat())
            button->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::showConnected()
{
    m_ui.deviceLabel->setText(u"Vantrelo: " + windowName());
    m_ui.outputsFrame->setEnabled(true);
}

QString MainWindow::portToolTip() const
{
    const QString where = m_link->portDescription();
    const PortError &failure = m_link->portFailure();
    if (!failure)
        return plainToolTip(where + u"\n\n" + m_settings->note());
    // The system's explanation usually names the port already.
    QString detail = failure.detail;
    if (!detail.startsWith(where))
        detail = where + u'\n' + detail;
    return plainToolTip(portAdvice(failure.number, detail, m_link->presentPorts()) + u"\n\n" +
                        m_settings->note());
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Tooltips are composed when they show: listing devices costs more than the rest of a
    // connection attempt.
    if (event->type() == QEvent::ToolTip) {
        if (watched == m_ui.portEdit)
            m_ui.portEdit->setToolTip(plainToolTip(presentPortsText(m_link->presentPorts())));
        else if (watched == m_ui.statusLabel)
            m_ui.statusLabel->setToolTip(portToolTip());
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The link keeps running while the question is open; the port is looked at afterwards.
    if (m_options.askExit(this) != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    const bool failed = m_link->hasFailed();
    m_link->stop(); // closes the port; nothing more is sent
    event->accept();
    // Closed while a failed command counts down to the end: the program still ends as failed.
    if (failed)
        m_options.endProgram(fatalExitCode);
}

QMessageBox::StandardButton MainWindow::askExitQuestion(QWidget *parent)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Exit Dialog"),
                    QStringLiteral("Do you want to close/exit App ?"),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, parent);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Cancel);
    box.setTextFormat(Qt::PlainText);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void MainWindow::showWarning(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Vantrelo"), text, QMessageBox::Ok,
                    parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::endProcess(int exitCode)
{
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
