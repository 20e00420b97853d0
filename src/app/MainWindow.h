// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "board/BoardSettings.h"
#include "link/ControllerLink.h"
#include "ui/MainWindowUi.h"

#include <QMessageBox>
#include <QShortcut>
#include <QWidget>

#include <functional>

// The operator window. It shows the board's settings in the boxes and saves what the boxes hold
// once it passes their checks, maps the link's signals to colours and texts, and clicks to link
// calls.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    using ExitQuestion = std::function<QMessageBox::StandardButton(QWidget *parent)>;
    using ProgramEnd = std::function<void(int exitCode)>;
    using Warning = std::function<void(QWidget *parent, const QString &text)>;

    static constexpr int fatalExitCode = 3;

    struct Options
    {
        QString exeName;                        // names the caption
        ExitQuestion askExit = askExitQuestion; // the seam for the modal question
        ProgramEnd endProgram = endProcess;     // never returns in the program itself
        Warning warn = showWarning;             // a modal message the operator must acknowledge
    };

    // The link (and its port) and the settings must outlive the window.
    MainWindow(ControllerLink *link, BoardSettings *settings, Options options,
               QWidget *parent = nullptr);

    // Sets the caption and starts the link with the settings file's values.
    void load();
    void saveSettings();

    // The window's name, shown on the device line when the controller answers.
    static QString windowName() { return QStringLiteral("Quorvane"); }

    const MainWindowUi &ui() const { return m_ui; }

    static QMessageBox::StandardButton askExitQuestion(QWidget *parent);
    static void showWarning(QWidget *parent, const QString &text);
    [[noreturn]] static void endProcess(int exitCode);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void showHelp();
    void hideHelp();
    void applySettings();
    std::optional<SettingsRecord> recordFromBoxes(QString *refusal) const;
    void showStatus(ControllerLink::Status status, const QString &text);
    void showOutput(int output, bool on);
    void showConnected();
    QString portToolTip() const;

    MainWindowUi m_ui;
    ControllerLink *m_link;
    BoardSettings *m_settings;
    Options m_options;
    QShortcut *m_escape;
};
