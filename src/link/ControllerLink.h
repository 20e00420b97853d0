// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "LineAssembler.h"
#include "serial/SerialPort.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <functional>
#include <optional>

// The link's rhythm.
struct LinkTimings
{
    std::chrono::milliseconds retry{2000};        // one connection attempt per tick while searching
    std::chrono::milliseconds replyTimeout{5000}; // after a handshake or a state query
    std::chrono::milliseconds queryDelay{200};    // from the handshake answer to the state query
    std::chrono::milliseconds fatalDelay{3000};   // from a failed command to the program's end
    // Beyond the wire time of a command and its answer, before the next command goes to a board
    // that has fallen quiet.
    std::chrono::milliseconds answerMargin{5};

    // The same rhythm at another speed; tests run it at a small scale.
    LinkTimings scaled(double factor) const;
};

// What the link needs of the operator's settings.
struct LinkSettings
{
    int portNumber = 1;
    QString baudText = QStringLiteral("9600");
    QString deviceId; // prefixes every frame, both ways; may be empty

    friend bool operator==(const LinkSettings &, const LinkSettings &) = default;
};

// What became of a command.
struct CommandOutcome
{
    enum Result
    {
        Written, // handed to the port
        Failed,  // the port failed while writing it (error)
        Expired, // its deadline passed while it waited: never written
        Dropped, // the link started anew, stopped or lost its device first: never written
    };
    Result result = Written;
    PortError error;
};

// By when a command must go at the latest, and who hears what became of it.
struct CommandRequest
{
    // Microseconds on the machine's monotonic clock (Monotonic::nowUsec()); none: no deadline.
    std::optional<qint64> deadline;
    std::function<void(const CommandOutcome &)> done; // once, at the latest when it is written
};

// The link with the controller, without widgets. It owns the port's use, the line assembly,
// the timers and the output states the controller last reported.
//
// Searching: every `retry` one connection attempt opens the port if it is closed and sends the
// handshake; the first handshake and every state query arm the reply time-out, which is not
// postponed by arming it again. Connected: the controller's handshake answer stops the search
// and the state of all outputs is queried `queryDelay` later. Output commands only send: the
// states change when the controller reports them. A device lost while connected is shown at
// once, and the search resumes one retry interval later. A command that cannot be written is fatal:
// the failure is shown and `fatalEnd` follows `fatalDelay` after the latest such failure; an
// unattended link takes it as a lost device instead.
//
// Commands, the state query among them, are paced to what the board can answer: one is in flight
// at a time. The next goes when the board has answered the one before (the state line of a
// switched output; every output's state line for OA, OAH and OAL), or, when the board falls
// quiet (a board that does not echo), once the wire time of the command and its answer has
// passed, plus `answerMargin`; the reply time-out bounds the wait. The others wait in order. A
// command written with nothing in flight goes at once, in the call. A waiting command whose
// deadline passes is dropped and never written.
class ControllerLink : public QObject
{
    Q_OBJECT
public:
    enum class Status
    {
        Idle,      // not started yet
        Searching, // starting, or an attempt under way
        Failed,    // the port failed, or no answer came in time
        Reply,     // a line arrived
        Connected, // the controller answered the handshake
    };
    Q_ENUM(Status)

    // Outputs 1 to 4 have a place in the window; the controller may report up to 16.
    static constexpr int outputCount = 4;

    explicit ControllerLink(SerialPort *port, LinkTimings timings = {}, QObject *parent = nullptr);

    // A link that no operator watches (a service): each link start greets the board at once,
    // and a command that cannot be written closes the port, shows the failure and searches
    // again one retry interval later, as after a lost device, instead of ending the program.
    void setUnattended(bool unattended) { m_unattended = unattended; }

    // A link start: closes the port if it is open and searches with these settings; the
    // first attempt follows one retry interval later. Output states are kept.
    void start(const LinkSettings &settings);
    // Closes the port and stops every timer: nothing more is sent.
    void stop();

    // Output n (1 to outputCount): on unless the controller had reported it on when asked. A
    // failure to write it is fatal (unattended: a lost device). An output or a time out of range
    // is dropped, unsent.
    void toggleOutput(int output, CommandRequest request = {});
    void setOutput(int output, bool on, CommandRequest request = {});
    void switchAllOutputs(bool on, CommandRequest request = {});
    // On now, and off after the time, kept by the board (1 ms to a day). The states change when
    // the board reports them, as for every command.
    void pulseOutput(int output, quint32 milliseconds, CommandRequest request = {});
    // A command is in flight: the board's answer to it is awaited.
    bool isAnswerAwaited() const { return m_inFlight.has_value(); }
    // Commands waiting behind the one in flight.
    qsizetype waitingCommands() const { return m_queue.size(); }

    Status status() const { return m_status; }
    const QString &statusText() const { return m_statusText; }
    // As last reported by the controller; nothing when it has not reported the output yet.
    std::optional<bool> outputState(int output) const;
    bool isSearching() const { return m_retryTimer.isActive(); }
    // The controller answered the handshake since the last start, and the device has not been
    // lost since.
    bool isConnected() const { return m_connected; }
    bool isAwaitingReply() const { return m_replyTimeout.isActive(); }
    // A command failed: the program is ending.
    bool hasFailed() const { return m_failed; }
    const LinkSettings &settings() const { return m_settings; }

    // For the operator's tooltips: the last attempt's failure or the lost device (number 0
    // when the port is in order), where the port number leads, and the ports present.
    const PortError &portFailure() const { return m_portFailure; }
    QString portDescription() const { return m_port->describePort(m_settings.portNumber); }
    QStringList presentPorts() const { return m_port->presentPorts(); }

signals:
    void statusChanged(ControllerLink::Status status, const QString &text);
    void outputReported(int output, bool on);
    // The controller answered the handshake: the outputs can be switched.
    void connected();
    void connectedChanged(bool connected);
    // The connection ended without a link start: the device went away, or (unattended) a
    // command could not be written. The search resumes one retry interval later.
    void connectionLost(const PortError &error);
    // A link start took these settings.
    void settingsChanged();
    // A command failed fatalDelay ago; the program must end now.
    void fatalEnd();

private:
    struct Command
    {
        QByteArray frame;
        int output = 0;       // whose state line answers it; 0: every output's
        bool switches = true; // not the state query
        CommandRequest request;
    };
    struct InFlight
    {
        int output = 0;
        bool switches = true;
        qint64 writtenAt = 0; // microseconds on m_clock
        qint64 sentBy = 0;    // when its last byte is on the wire
        int highest = 0;      // the highest output reported since
    };

    void attemptConnection();
    void onReplyTimeout();
    void onReceived(const QByteArray &bytes);
    void onDeviceLost(const PortError &error);
    void loseConnection(const PortError &error);
    void handleLine(const QString &line);
    void queryStates();
    void cancelPendingQueries();
    void setConnected(bool connected);
    void sendDueQuery();
    void enqueue(Command command);
    void sendNext();
    void checkAnswer();
    void finishInFlight();
    void dropWaiting(CommandOutcome::Result result);
    void dropExpired();
    void armDeadline();
    void noteStateLine(int output);
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }
    void failFatally(int errorNumber);
    void showPortFailure(const PortError &error);
    void armReplyTimeout();
    void setStatus(Status status, const QString &text);

    SerialPort *m_port;
    LinkTimings m_timings;
    LinkSettings m_settings;
    // The lines the controller may send, built from the identifier at each start.
    QString m_handshakeAnswer;
    std::array<QString, 2 * 16> m_stateLines; // output 1 on, 1 off, 2 on, ... 16 off
    QString m_replyPrefix;                    // "COM:<port> Baud:<baud> COM data: "

    LineAssembler m_assembler;
    std::array<std::optional<bool>, outputCount> m_outputs{};
    Status m_status = Status::Idle;
    QString m_statusText;
    PortError m_portFailure;
    bool m_connected = false; // see isConnected()
    bool m_failed = false;
    bool m_unattended = false;
    // When each pending state query goes out, on a steady clock; one per handshake answer.
    QList<qint64> m_queriesDue;
    QElapsedTimer m_clock;

    QList<Command> m_queue;
    std::optional<InFlight> m_inFlight;
    bool m_sending = false;
    qint64 m_lastByteAt = 0;    // microseconds on m_clock
    qint64 m_usPerByte = 1042;  // at the line settings in force
    int m_boardOutputs = 0;     // outputs the board reports for OA; 0 until it has answered one
    bool m_boardEchoes = false; // it has echoed a switch since the connection began

    QTimer m_retryTimer;
    QTimer m_replyTimeout;
    QTimer m_fatalTimer;
    QTimer m_queryTimer;
    QTimer m_answerTimer;   // the command in flight: its answer, or the quiet after it
    QTimer m_deadlineTimer; // the first deadline of a waiting command
};
