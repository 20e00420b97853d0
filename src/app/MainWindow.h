// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "link/ControllerLink.h"
#include "settings/SettingsLocation.h"
#include "settings/SettingsRecord.h"
#include "ui/MainWindowUi.h"

#include <QMessageBox>
#include <QWidget>

#include <functional>

// The operator window. It joins the settings file, the boxes and the link (load, apply, save),
// maps the link's signals to colours and texts, and clicks to link calls.
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
        QString exeDir;                         // where the settings file lives
        QString exeName;                        // names the settings file and the caption
        ExitQuestion askExit = askExitQuestion; // the seam for the modal question
        ProgramEnd endProgram = endProcess;     // never returns in the program itself
        Warning warn = showWarning;             // a modal message the operator must acknowledge
        // Where the settings go when the executable's folder is not the user's to write.
        QString configDir = SettingsLocation::userConfigDir();
    };

    // The link (and its port) must outlive the window.
    MainWindow(ControllerLink *link, Options options, QWidget *parent = nullptr);

    // Sets the caption and starts the link with the settings file's values.
    void load();
    void startLink();
    void saveSettings();

    // The window's name, shown on the device line when the controller answers.
    static QString windowName() { return QStringLiteral("Quorvane"); }

    const MainWindowUi &ui() const { return m_ui; }
    const SettingsRecord &settings() const { return m_settings; }
    // Where Save writes, and what the last load read.
    const QString &settingsPath() const { return m_settingsPath; }
    const QString &loadedPath() const { return m_loadedPath; }

    static QMessageBox::StandardButton askExitQuestion(QWidget *parent);
    static void showWarning(QWidget *parent, const QString &text);
    [[noreturn]] static void endProcess(int exitCode);

signals:
    // The names on the output buttons, after every load.
    void outputNamesChanged(const QStringList &names);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void loadSettings();
    void applySettings();
    std::optional<SettingsRecord> recordFromBoxes(QString *refusal) const;
    void showStatus(ControllerLink::Status status, const QString &text);
    void showOutput(int output, bool on);
    void showConnected();
    QString portToolTip() const;
    QString settingsNote() const;

    MainWindowUi m_ui;
    ControllerLink *m_link;
    Options m_options;
    SettingsRecord m_settings;
    QString m_settingsPath;
    QString m_loadedPath;
    QString m_loadRefusal; // why the last load fell back to the defaults; empty when it did not
    bool m_keepRefusedFile = false; // the next Save first keeps the refused file as .bak
};
