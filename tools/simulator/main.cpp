// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelo-sim: plays the output controller on a pseudo-terminal, with the firmware's own
// protocol core, so it answers every frame as a board does.
//
//   vantrelo-sim --link build/demo/COM1 --id 1 --outputs 4
//
// Every frame received and every reply sent is logged on stdout with a timestamp.

extern "C" {
#include "protocol.h"
}

#include "Pty.h"
#include "common/CommandLine.h"
#include "common/UnixSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

void log(const QString &text)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    std::printf("%s %s\n", qPrintable(stamp), qPrintable(text));
    std::fflush(stdout);
}

QString printable(const QByteArray &bytes)
{
    QString out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\r')
            out += QStringLiteral("<CR>");
        else if (u == '\n')
            out += QStringLiteral("<LF>");
        else if (u < 0x20 || u >= 0x7F)
            out += QStringLiteral("<%1>").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += QLatin1Char(c);
    }
    return out;
}

struct Behaviour
{
    QByteArray id;
    int outputs = 4;
    protocol_options options{};
    bool silent = false;
    bool noEcho = false; // answers AT and OA only
    bool lineFeed = false;
    int delayMs = 0;
    int eepromFd = -1; // the EEPROM's file, for the last states; -1: none
};

// The EEPROM in a file of its own, 1,024 bytes, blank (0xFF) where the file ends: every byte
// written through at once, so that a killed simulator is a power cut with the bytes a chip keeps.
class Eeprom
{
public:
    explicit Eeprom(int fd) : m_fd(fd)
    {
        const ssize_t n = std::max<ssize_t>(::pread(fd, m_bytes, sizeof m_bytes, 0), 0);
        std::fill(m_bytes + n, m_bytes + sizeof m_bytes, char(0xFF));
        if (n < ssize_t(sizeof m_bytes) && // a new chip: blank to the end
            ::pwrite(fd, m_bytes + n, sizeof m_bytes - size_t(n), n) != ssize_t(sizeof m_bytes) - n)
            std::perror("vantrelo-sim: the EEPROM's file");
    }
    static uint8_t load(void *self, uint16_t address)
    {
        return uint8_t(static_cast<Eeprom *>(self)->m_bytes[address % sizeof m_bytes]);
    }
    static void store(void *self, uint16_t address, uint8_t value)
    {
        auto *e = static_cast<Eeprom *>(self);
        address %= sizeof e->m_bytes;
        if (uint8_t(e->m_bytes[address]) == value)
            return;
        e->m_bytes[address] = char(value);
        if (::pwrite(e->m_fd, &e->m_bytes[address], 1, address) != 1)
            std::perror("vantrelo-sim: the EEPROM's file");
    }

private:
    int m_fd;
    char m_bytes[PROTOCOL_EEPROM_SIZE];
};

class Simulator
{
public:
    Simulator(Pty &pty, Behaviour behaviour)
        : m_pty(pty), m_behaviour(std::move(behaviour)),
          m_read(pty.controllerFd(), QSocketNotifier::Read),
          m_write(pty.controllerFd(), QSocketNotifier::Write)
    {
        m_clock.start();
        protocol_io io{};
        io.put = &Simulator::put;
        io.apply = [](void *, uint16_t) {};
        io.context = this;
        if (m_behaviour.eepromFd >= 0) {
            m_eeprom = std::make_unique<Eeprom>(m_behaviour.eepromFd);
            io.load = [](void *self, uint16_t a) {
                return Eeprom::load(static_cast<Simulator *>(self)->m_eeprom.get(), a);
            };
            io.store = [](void *self, uint16_t a, uint8_t v) {
                Eeprom::store(static_cast<Simulator *>(self)->m_eeprom.get(), a, v);
            };
        }
        protocol_init(&m_core, m_behaviour.id.constData(), uint8_t(m_behaviour.id.size()),
                      uint8_t(m_behaviour.outputs), &m_behaviour.options, io, now());
        m_write.setEnabled(false);
        QObject::connect(&m_read, &QSocketNotifier::activated, [this] { readAll(); });
        QObject::connect(&m_write, &QSocketNotifier::activated, [this] { flush(); });
        m_due.setSingleShot(true);
        m_due.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_due, &QTimer::timeout, [this] { tick(); });
    }

    // Switches an output on its own, as a board's button would, and reports it, whatever it
    // answers to commands: a frame half received stays as it was.
    void toggle(int n)
    {
        protocol_tick(&m_core, now());
        protocol_switch(&m_core, uint8_t(n), !(m_core.states & (1u << (n - 1))));
        reply();
    }

private:
    uint32_t now() const { return uint32_t(m_clock.elapsed()); }

    static void put(void *self, char c)
    {
        auto *sim = static_cast<Simulator *>(self);
        if (sim->m_muted)
            return;
        sim->m_reply += c;
        if (c == '\r' && sim->m_behaviour.lineFeed)
            sim->m_reply += '\n';
    }

    void readAll()
    {
        char buffer[4096];
        while (true) {
            const ssize_t n = ::read(m_pty.controllerFd(), buffer, sizeof buffer);
            if (n > 0) {
                feed(QByteArray(buffer, n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return; // EAGAIN: all read
        }
    }

    // Received bytes through the core at the time now, logged frame by frame. What the clock
    // switched by then is reported first, as the board's loop does.
    void feed(const QByteArray &bytes)
    {
        protocol_tick(&m_core, now());
        sendClockReports();
        for (const char c : bytes) {
            if (c == '\r') {
                const QByteArray verb = m_frame.mid(m_behaviour.id.size());
                m_muted =
                    m_behaviour.silent || (m_behaviour.noEcho && verb != "AT" && verb != "OA");
                if (!m_frame.isEmpty())
                    log(u"received " + printable(m_frame + '\r'));
                m_frame.clear();
            } else if (c != '\n' && m_frame.size() < 256) {
                m_frame += c;
            }
            protocol_receive(&m_core, c);
            m_muted = false;
        }
        reply();
    }

    void tick()
    {
        protocol_tick(&m_core, now());
        sendClockReports();
        reply();
    }

    // A pulse's end, a start after the dead time, the longest on-time: told as the answers to
    // commands are (not by a board that answers none).
    void sendClockReports()
    {
        m_muted = m_behaviour.silent || m_behaviour.noEcho;
        protocol_send_reports(&m_core);
        m_muted = false;
    }

    void reply()
    {
        if (const uint32_t next = protocol_next_due(&m_core, now()); next != PROTOCOL_NOTHING_DUE)
            m_due.start(std::chrono::milliseconds(next));
        else
            m_due.stop();
        const QByteArray bytes = std::exchange(m_reply, QByteArray());
        if (bytes.isEmpty())
            return;
        if (m_behaviour.delayMs <= 0)
            send(bytes);
        else
            QTimer::singleShot(m_behaviour.delayMs, [this, bytes] { send(bytes); });
    }

    void send(const QByteArray &bytes)
    {
        log(u"sent " + printable(bytes));
        m_out += bytes;
        flush();
    }

    void flush()
    {
        while (!m_out.isEmpty()) {
            const ssize_t n =
                ::write(m_pty.controllerFd(), m_out.constData(), static_cast<size_t>(m_out.size()));
            if (n > 0) {
                m_out.remove(0, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break; // full: wait until writable
        }
        m_write.setEnabled(!m_out.isEmpty());
    }

    Pty &m_pty;
    Behaviour m_behaviour;
    std::unique_ptr<Eeprom> m_eeprom;
    protocol m_core{};
    QElapsedTimer m_clock;
    QTimer m_due; // the next pulse's end, dead time or longest on-time
    QByteArray m_frame;
    QByteArray m_reply;
    bool m_muted = false;
    QSocketNotifier m_read;
    QSocketNotifier m_write;
    QByteArray m_out;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrelo-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTRELO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the output controller on a pseudo-terminal. See vantrelo-sim(1)."));
    const auto option = [&](const QString &name, const QString &help, const QString &value = {},
                            const QString &defaultValue = {}) {
        QCommandLineOption o(name, help, value, defaultValue);
        parser.addOption(o);
        return o;
    };
    const auto linkOpt = option(QStringLiteral("link"),
                                QStringLiteral("Path of the link to create, e.g. build/demo/COM1."),
                                QStringLiteral("path"));
    const auto idOpt = option(QStringLiteral("id"),
                              QStringLiteral("Device identifier, up to 8 characters (may be "
                                             "empty)."),
                              QStringLiteral("text"));
    const auto outputsOpt =
        option(QStringLiteral("outputs"), QStringLiteral("Number of outputs, 1 to 16."),
               QStringLiteral("n"), QStringLiteral("4"));
    const auto silentOpt = option(QStringLiteral("silent"), QStringLiteral("Never answer."));
    const auto delayOpt = option(QStringLiteral("delay"), QStringLiteral("Reply delay in ms."),
                                 QStringLiteral("ms"), QStringLiteral("0"));
    const auto toggleOpt =
        option(QStringLiteral("toggle-every"),
               QStringLiteral("Switch one output on its own every ms (round robin)."),
               QStringLiteral("ms"), QStringLiteral("0"));
    const auto lfOpt =
        option(QStringLiteral("lf"), QStringLiteral("End answers with CR LF instead of CR."));
    const auto noEchoOpt =
        option(QStringLiteral("no-echo"),
               QStringLiteral("Answer the handshake and the state query, never a command."));
    const auto interlockOpt =
        option(QStringLiteral("interlock"),
               QStringLiteral("Interlock groups, such as \"1,2 3,4\": never two of a group on."),
               QStringLiteral("groups"));
    const auto interlockMsOpt =
        option(QStringLiteral("interlock-ms"),
               QStringLiteral("Dead time of a group before one of it goes on (50)."),
               QStringLiteral("ms"), QStringLiteral("50"));
    const auto maxOnOpt =
        option(QStringLiteral("max-on"), QStringLiteral("Longest on-time in seconds; 0: none (0)."),
               QStringLiteral("seconds"), QStringLiteral("0"));
    const auto powerOnOpt =
        option(QStringLiteral("power-on"),
               QStringLiteral("Power-on states, such as \"1:last 2:on\": off, on, or the last one "
                              "(kept in the EEPROM's file)."),
               QStringLiteral("modes"));
    const auto eepromOpt =
        option(QStringLiteral("eeprom"),
               QStringLiteral("The EEPROM, in FILE (blank when missing)."), QStringLiteral("FILE"));
    if (const auto status = answerCommandLine(parser, QCoreApplication::arguments()))
        return *status;

    if (!parser.isSet(linkOpt))
        return fail(2, QStringLiteral("--link is required"));
    Behaviour behaviour;
    // Plain decimal digits only: no sign, no blank.
    const auto number = [&](const QCommandLineOption &o, long long low, long long high) {
        static const QRegularExpression digits(
            QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{1,12}")));
        const long long value = parser.value(o).toLongLong();
        return digits.match(parser.value(o)).hasMatch() && value >= low && value <= high
                   ? std::optional<long long>(value)
                   : std::nullopt;
    };
    const auto outputs = number(outputsOpt, 1, PROTOCOL_OUTPUTS_MAX);
    const auto deadMs = number(interlockMsOpt, 0, 65535);
    const auto maxOn = number(maxOnOpt, 0, PROTOCOL_MAX_ON_MAX);
    const auto delay = number(delayOpt, 0, 60000);
    const auto toggleEvery = number(toggleOpt, 0, 86400000);
    behaviour.id = parser.value(idOpt).toLatin1();
    if (!outputs)
        return fail(2, QStringLiteral("--outputs must be 1 to 16"));
    if (!deadMs || !maxOn)
        return fail(2, QStringLiteral("--interlock-ms must be 0 to 65535, --max-on 0 to %1")
                           .arg(PROTOCOL_MAX_ON_MAX));
    if (!delay || !toggleEvery)
        return fail(2, QStringLiteral("--delay takes 0 to 60000 ms, --toggle-every 0 to 86400000"));
    if (behaviour.id.size() > PROTOCOL_ID_MAX ||
        std::any_of(behaviour.id.cbegin(), behaviour.id.cend(),
                    [](char c) { return uchar(c) < 0x20 || uchar(c) == 0x7f; }))
        return fail(2, QStringLiteral("--id takes at most 8 characters, none a control one"));
    behaviour.outputs = int(*outputs);
    behaviour.options.dead_ms = uint16_t(*deadMs);
    behaviour.options.max_on_ms = uint32_t(*maxOn) * 1000u;
    if (!protocol_parse_groups(parser.value(interlockOpt).toLatin1().constData(),
                               uint8_t(behaviour.outputs), &behaviour.options))
        return fail(2, u"--interlock \"" + parser.value(interlockOpt) +
                           u"\": groups of two outputs or more, such as \"1,2 3,4\"");
    if (!protocol_parse_power_on(parser.value(powerOnOpt).toLatin1().constData(),
                                 uint8_t(behaviour.outputs), &behaviour.options))
        return fail(2, u"--power-on \"" + parser.value(powerOnOpt) +
                           u"\": outputs with off, on or last, such as \"1:last 2:on\"; never on "
                           u"for two of one interlock group");
    const bool keepsLast =
        std::any_of(std::begin(behaviour.options.power_on), std::end(behaviour.options.power_on),
                    [](uint8_t mode) { return mode == PROTOCOL_POWER_LAST; });
    if (keepsLast && !parser.isSet(eepromOpt))
        return fail(2, QStringLiteral("--power-on with last needs --eeprom FILE"));
    behaviour.options.ring_records = 200;
    if (parser.isSet(eepromOpt)) {
        behaviour.eepromFd = ::open(QFile::encodeName(parser.value(eepromOpt)).constData(),
                                    O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (behaviour.eepromFd < 0)
            return fail(1, parser.value(eepromOpt) + u": " +
                               QString::fromLocal8Bit(std::strerror(errno)));
    }
    behaviour.silent = parser.isSet(silentOpt);
    behaviour.noEcho = parser.isSet(noEchoOpt);
    behaviour.lineFeed = parser.isSet(lfOpt);
    behaviour.delayMs = int(*delay);

    Pty pty;
    if (const QString error = pty.open(parser.value(linkOpt)); !error.isEmpty())
        return fail(1, error);
    // SIGUSR1: the port refuses its user's writes from now on, a device that takes no more bytes.
    const UnixSignals unixSignals({SIGTERM, SIGINT, SIGUSR1});
    QObject::connect(&unixSignals, &UnixSignals::received, &app, [&pty](int received) {
        if (received != SIGUSR1)
            return QCoreApplication::quit();
        const QString failure = pty.refuseWrites();
        log(failure.isEmpty() ? QStringLiteral("the port refuses writes from now on") : failure);
    });
    Simulator sim(pty, behaviour);

    QTimer toggler;
    int next = 0;
    if (const int every = int(*toggleEvery); every > 0) {
        QObject::connect(&toggler, &QTimer::timeout,
                         [&] { sim.toggle(next++ % behaviour.outputs + 1); });
        toggler.start(every);
    }

    log(QStringLiteral("ready on %1 -> %2, id \"%3\", %4 outputs")
            .arg(parser.value(linkOpt), pty.devicePath(), parser.value(idOpt))
            .arg(behaviour.outputs));
    return QCoreApplication::exec();
}
