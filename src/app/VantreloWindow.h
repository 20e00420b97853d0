#pragma once

#include "link/LineAssembler.h"
#include "link/Waits.h"
#include "serial/SerialComm.h"
#include "settings/SettingsRecord.h"
#include "ui/MainWindowUi.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <functional>

// The timings of the link; tests run them at a smaller scale.
struct LinkTimings
{
    std::chrono::milliseconds retry{2000};        // Timer1: one connection attempt per tick
    std::chrono::milliseconds replyTimeout{5000}; // TimerCom
    std::chrono::milliseconds queryWait{200};     // before the state query frame
    std::chrono::milliseconds fatalWait{3000};    // before the program ends after a port failure
};

// The operator window: it holds all state (the settings record and path, the line buffer)
// and all procedures. Everything runs on the GUI thread. Two procedures wait while letting
// events run (the state query and FatalCommError), so timer ticks, clicks and receive events
// can run nested inside them; the handlers noted "re-entrant" are written for that.
class VantreloWindow : public QWidget
{
    Q_OBJECT
public:
    using ExitQuestion = std::function<QMessageBox::StandardButton(QWidget *parent)>;
    using ProgramEnd = std::function<void(int exitCode)>;

    static constexpr int fatalExitCode = 3;

    struct Options
    {
        QString exeDir;      // where the settings file lives
        QString exeBaseName; // names the settings file and the caption
        LinkTimings timings;
        ExitQuestion askExit = askExitQuestion; // the seam for the modal question
        ProgramEnd endProgram = endProcess;     // never returns in the program itself
    };

    // Takes ownership of the serial component.
    VantreloWindow(SerialComm *port, Options options, QWidget *parent = nullptr);
    ~VantreloWindow() override;

    // Procedures.
    void Form_Load();
    void StartLink();
    void LoadSettings();
    void SaveSettings();
    void HandleReply(const QString &line);
    void FatalCommError(int number);

    // Event handlers.
    void Timer1_Timer();
    void TimerCom_Timer();
    void cmdInicijalizacija_Click();
    void cmdIspis_Click();
    void cmdOut_Click(int n);
    void cmdAll1_Click();
    void cmdAll0_Click();
    void cmdExit_Click();
    void cmdHelp_Click();
    void cmdCloseHelp_Click();
    void MSComm1_OnComm();

    // The window's name, shown on the device line when the controller answers.
    static QString windowName() { return QStringLiteral("Quorvane"); }

    // For tests and the delivery checks.
    const MainWindowUi &ui() const { return m_ui; }
    const SettingsRecord &settings() const { return m_settings; }
    const QString &settingsPath() const { return m_settingsPath; }
    const QTimer &timer1() const { return m_timer1; }
    const ReplyTimeout &timerCom() const { return m_timerCom; }
    const LineAssembler &rxLine() const { return m_rxLine; }
    SerialComm *port() const { return m_comm; }

    static QMessageBox::StandardButton askExitQuestion(QWidget *parent);
    [[noreturn]] static void endProcess(int exitCode);

signals:
    // The status line changed (its text or its colour).
    void statusShown(const QString &text, ColourWord colour);
    // An output button took a colour from the controller's report.
    void outputShown(int n, ColourWord colour);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applySettings();
    void sendCommand(const QByteArray &frame);
    void setStatus(const QString &text);
    void setStatusColour(ColourWord colour);
    void endProgram();
    void closePortQuietly();
    // The status line's tooltip: where the port number leads and, after a failure, the
    // system's reason with what to do about it. Composed when the tooltip is asked for.
    void explainPort(int errorNumber = 0, const QString &detail = {})
    {
        m_portFailure = errorNumber;
        m_portFailureDetail = detail;
    }
    QString portToolTip() const;
    static constexpr int deviceWentAway = -1; // for explainPort

    MainWindowUi m_ui;
    SerialComm *m_comm; // MSComm1
    Options m_options;
    SettingsRecord m_settings = SettingsRecord::defaults();
    QString m_settingsPath;
    int m_portFailure = 0; // the last attempt's error number, or deviceWentAway
    QString m_portFailureDetail;
    QString m_replyPrefix; // "COM:<port> Baud:<baud> COM data: ", from the settings as loaded
    LineAssembler m_rxLine;
    QTimer m_timer1;
    ReplyTimeout m_timerCom;
    // Set once the window has been closed or the program is ending: handlers that were
    // waiting in a nested event loop then send nothing more.
    bool m_finished = false;
    bool m_ended = false; // the program's end has been requested
};
