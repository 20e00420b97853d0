// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// vantrelo-sim: plays the output controller on a pseudo-terminal.
//
//   vantrelo-sim --link build/demo/COM1 --id 1 --outputs 4
//
// Every frame received is logged on stdout with a timestamp.

#include "ControllerCore.h"
#include "Pty.h"
#include "common/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

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

class Simulator
{
public:
    Simulator(Pty &pty, ControllerCore &core, bool silent, int delayMs, qsizetype echoless = -1)
        : m_pty(pty), m_core(core), m_silent(silent), m_delayMs(delayMs), m_echoless(echoless),
          m_read(pty.controllerFd(), QSocketNotifier::Read),
          m_write(pty.controllerFd(), QSocketNotifier::Write)
    {
        m_write.setEnabled(false);
        QObject::connect(&m_read, &QSocketNotifier::activated, [this] { readAll(); });
        QObject::connect(&m_write, &QSocketNotifier::activated, [this] { flush(); });
    }

    void send(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return;
        log(u"sent " + printable(bytes));
        m_out += bytes;
        flush();
    }

private:
    void readAll()
    {
        char buffer[4096];
        while (true) {
            const ssize_t n = ::read(m_pty.controllerFd(), buffer, sizeof buffer);
            if (n > 0) {
                const QByteArray replies = m_core.feed(QByteArray(buffer, n));
                for (const QByteArray &frame : m_core.lastFrames())
                    log(u"received " + printable(frame + '\r'));
                if (m_echoless >= 0) {
                    // Only the handshake and the state query are answered.
                    for (const QByteArray &frame : m_core.lastFrames())
                        if (frame.mid(m_echoless) == "AT" || frame.mid(m_echoless) == "OA")
                            reply(m_core.answer(frame));
                } else if (!m_silent) {
                    reply(replies);
                }
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return; // EAGAIN: all read
        }
    }

    void reply(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return;
        if (m_delayMs <= 0)
            send(bytes);
        else
            QTimer::singleShot(m_delayMs, [this, bytes] { send(bytes); });
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
    ControllerCore &m_core;
    bool m_silent;
    int m_delayMs;
    qsizetype m_echoless; // the identifier's length when commands go unanswered, else -1
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
        QStringLiteral("Plays the output controller on a pseudo-terminal."));
    const QCommandLineOption linkOpt(
        QStringLiteral("link"), QStringLiteral("Path of the link to create, e.g. build/demo/COM1."),
        QStringLiteral("path"));
    const QCommandLineOption idOpt(QStringLiteral("id"),
                                   QStringLiteral("Device identifier (may be empty)."),
                                   QStringLiteral("text"), QString());
    const QCommandLineOption outputsOpt(QStringLiteral("outputs"),
                                        QStringLiteral("Number of outputs, 1 to 16."),
                                        QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption silentOpt(QStringLiteral("silent"), QStringLiteral("Never answer."));
    const QCommandLineOption delayOpt(QStringLiteral("delay"), QStringLiteral("Reply delay in ms."),
                                      QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption toggleOpt(
        QStringLiteral("toggle-every"),
        QStringLiteral("Switch one output on its own every ms (round robin)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption lfOpt(QStringLiteral("lf"),
                                   QStringLiteral("End answers with CR LF instead of CR."));
    const QCommandLineOption noEchoOpt(
        QStringLiteral("no-echo"),
        QStringLiteral("Answer the handshake and the state query, never a command."));
    parser.addOptions(
        {linkOpt, idOpt, outputsOpt, silentOpt, delayOpt, toggleOpt, lfOpt, noEchoOpt});
    if (const auto status = answerCommandLine(parser, QCoreApplication::arguments()))
        return *status;

    if (!parser.isSet(linkOpt)) {
        std::fprintf(stderr, "vantrelo-sim: --link is required\n");
        return 2;
    }
    bool ok = false;
    const int outputs = parser.value(outputsOpt).toInt(&ok);
    if (!ok || outputs < 1 || outputs > 16) {
        std::fprintf(stderr, "vantrelo-sim: --outputs must be 1 to 16\n");
        return 2;
    }

    Pty pty;
    if (const QString error = pty.open(parser.value(linkOpt)); !error.isEmpty()) {
        std::fprintf(stderr, "vantrelo-sim: %s\n", qPrintable(error));
        return 1;
    }

    if (::pipe2(signalPipe, O_CLOEXEC) != 0)
        return 1;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    ControllerCore core(parser.value(idOpt).toLatin1(), outputs, parser.isSet(lfOpt));
    Simulator sim(pty, core, parser.isSet(silentOpt), parser.value(delayOpt).toInt(),
                  parser.isSet(noEchoOpt) ? parser.value(idOpt).toLatin1().size() : -1);

    QTimer toggler;
    int next = 0;
    if (const int every = parser.value(toggleOpt).toInt(); every > 0) {
        QObject::connect(&toggler, &QTimer::timeout, [&] {
            const int n = next % core.outputs() + 1;
            ++next;
            sim.send(core.setOutput(n, !core.output(n)));
        });
        toggler.start(every);
    }

    log(QStringLiteral("ready on %1 -> %2, id \"%3\", %4 outputs")
            .arg(parser.value(linkOpt), pty.devicePath(), parser.value(idOpt))
            .arg(outputs));
    return QCoreApplication::exec();
}
