#include "VantreloWindow.h"

#include "link/Frames.h"
#include "serial/PortAdvice.h"

#include <QCloseEvent>

#include <cstdio>
#include <cstdlib>

VantreloWindow::VantreloWindow(SerialComm *port, Options options, QWidget *parent)
    : QWidget(parent), m_comm(port), m_options(std::move(options))
{
    m_comm->setParent(this);
    m_ui.setupUi(this);

    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer1.setInterval(m_options.timings.retry);
    m_timerCom.setInterval(m_options.timings.replyTimeout);

    connect(&m_timer1, &QTimer::timeout, this, &VantreloWindow::Timer1_Timer);
    connect(&m_timerCom, &QTimer::timeout, this, &VantreloWindow::TimerCom_Timer);
    connect(m_comm, &SerialComm::OnComm, this, &VantreloWindow::MSComm1_OnComm);
    for (int n = 1; n <= 4; ++n)
        connect(m_ui.cmdOut[n], &QPushButton::clicked, this, [this, n] { cmdOut_Click(n); });
    connect(m_ui.cmdAll1, &QPushButton::clicked, this, &VantreloWindow::cmdAll1_Click);
    connect(m_ui.cmdAll0, &QPushButton::clicked, this, &VantreloWindow::cmdAll0_Click);
    connect(m_ui.cmdExit, &QPushButton::clicked, this, &VantreloWindow::cmdExit_Click);
    connect(m_ui.cmdHelp, &QPushButton::clicked, this, &VantreloWindow::cmdHelp_Click);
    connect(m_ui.cmdCloseHelp, &QPushButton::clicked, this, &VantreloWindow::cmdCloseHelp_Click);
    m_ui.txtCom->installEventFilter(this);    // lists the ports present
    m_ui.lblStatus->installEventFilter(this); // explains the port
}

VantreloWindow::~VantreloWindow()
{
    m_finished = true;
    m_timer1.stop();
    m_timerCom.stop();
}

void VantreloWindow::Form_Load()
{
    setWindowTitle(u"Vantrelo: " + m_options.exeBaseName);
    StartLink();
}

void VantreloWindow::StartLink()
{
    setStatus(QStringLiteral("Status:"));
    LoadSettings();
    setStatusColour(Colours::StatusSearching);
    setStatus(QStringLiteral("Status:"));
    explainPort();
    m_timer1.start(); // the first attempt follows one interval later
}

void VantreloWindow::Timer1_Timer()
{
    // Re-entrant: may tick inside the state query's or FatalCommError's wait.
    if (m_finished)
        return;
    cmdInicijalizacija_Click();
}

// One connection attempt. A failing step ends the attempt; Timer1 repeats it.
void VantreloWindow::cmdInicijalizacija_Click()
{
    try {
        m_comm->setSettings(m_settings.BaudText + u",n,8,1");
        m_comm->setHandshaking(0);
        setStatusColour(Colours::StatusSearching);
        setStatus(QStringLiteral("Searching for Vantrelo uC code..."));
        m_timerCom.arm();
        if (!m_comm->PortOpen())
            m_comm->setPortOpen(true);
        m_comm->setDTREnable(false);
        m_comm->setRTSEnable(false);
        m_comm->setRThreshold(1);
        m_comm->setInputLen(1);
        m_comm->Output(Frames::handshake(m_settings.DeviceId));
        explainPort();
    } catch (const CommError &error) {
        explainPort(error.number(), error.detail());
        setStatusColour(Colours::StatusFailure);
        switch (error.number()) {
        case CommErrors::InvalidPortNumber: setStatus(QStringLiteral("Invalid Port Number!")); break;
        case CommErrors::PortAlreadyOpen: setStatus(QStringLiteral("Port already open!")); break;
        default: setStatus(u"COM Port comm-error! " + QString::number(error.number())); break;
        }
    }
}

void VantreloWindow::TimerCom_Timer()
{
    if (m_finished)
        return;
    m_timerCom.disarm();
    setStatusColour(Colours::StatusFailure);
    setStatus(QStringLiteral("No response!"));
}

void VantreloWindow::cmdExit_Click()
{
    SaveSettings();
}

void VantreloWindow::cmdHelp_Click()
{
    m_ui.frmHelp->show();
}

void VantreloWindow::cmdCloseHelp_Click()
{
    m_ui.frmHelp->hide();
}

void VantreloWindow::setStatus(const QString &text)
{
    m_ui.lblStatus->setText(text);
    emit statusShown(text, m_ui.lblStatus->backColour());
}

void VantreloWindow::setStatusColour(ColourWord colour)
{
    m_ui.lblStatus->setBackColour(colour);
    emit statusShown(m_ui.lblStatus->text(), colour);
}

QString VantreloWindow::portToolTip() const
{
    const QString where = m_comm->describePort();
    if (m_portFailure == 0)
        return plainToolTip(where);
    // The system's explanation usually names the port already.
    QString detail = m_portFailureDetail;
    if (!detail.startsWith(where))
        detail = where + u'\n' + detail;
    if (m_portFailure == deviceWentAway)
        return plainToolTip(u"The device went away: " + detail);
    return plainToolTip(portAdvice(m_portFailure, detail, m_comm->presentPorts()));
}

bool VantreloWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Tooltips are composed when they show: listing devices costs more than the rest of a
    // connection attempt.
    if (event->type() == QEvent::ToolTip) {
        if (watched == m_ui.txtCom)
            m_ui.txtCom->setToolTip(plainToolTip(presentPortsText(m_comm->presentPorts())));
        else if (watched == m_ui.lblStatus)
            m_ui.lblStatus->setToolTip(portToolTip());
    }
    return QWidget::eventFilter(watched, event);
}

void VantreloWindow::closePortQuietly()
{
    try {
        if (m_comm->PortOpen())
            m_comm->setPortOpen(false);
    } catch (const CommError &) {
        // Closing cannot be refused in practice; the window goes away either way.
    }
}

void VantreloWindow::closeEvent(QCloseEvent *event)
{
    if (m_finished) {
        event->accept();
        return;
    }
    // The link keeps running while the question is open; the port is looked at afterwards.
    if (m_options.askExit(this) != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    closePortQuietly();
    // The window is going away with its timers; a handler still waiting in a nested event
    // loop must not act on a closed port (that would end the program as a port failure).
    m_finished = true;
    m_timer1.stop();
    m_timerCom.stop();
    event->accept();
}

QMessageBox::StandardButton VantreloWindow::askExitQuestion(QWidget *parent)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Exit Dialog"),
                    QStringLiteral("Do you want to close/exit App ?"),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, parent);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Cancel);
    box.setTextFormat(Qt::PlainText);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void VantreloWindow::endProcess(int exitCode)
{
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

void VantreloWindow::endProgram()
{
    if (m_ended)
        return;
    m_ended = true;
    m_finished = true;
    m_timer1.stop();
    m_timerCom.stop();
    closePortQuietly();
    m_options.endProgram(fatalExitCode);
}
