// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

// The simulator and the emulated board as child processes on ptys (never a real device), copies
// of the program beside them, a private session bus, a broker on 127.0.0.1.

#include "serial/SystemSerialPort.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace TestSupport {

// A child process the test owns: killed with the object.
struct Child : QProcess
{
    ~Child() override
    {
        kill();
        waitForFinished(5000);
    }
};

// Sends the signal to a child that runs, and to nothing else: a child that has ended has no
// process id, and kill(0, ...) would signal the test's own process group.
[[nodiscard]] inline bool signal(const QProcess &child, int number)
{
    const qint64 pid = child.processId();
    return child.state() == QProcess::Running && pid > 0 && ::kill(pid_t(pid), number) == 0;
}

// The simulator (or with a firmware image, the emulated board), linked at <folder>/COM<n>.
class Simulator
{
public:
    Simulator(const QString &folder, int port, const QStringList &extraArgs = {},
              const QString &firmware = {})
        : m_link(QDir(folder).filePath(QString("COM%1").arg(port)))
    {
        m_process.setProgram(firmware.isEmpty() ? VANTRELO_SIM : VANTRELO_BOARD);
        m_process.setArguments(
            QStringList{"--link", m_link} + extraArgs +
            (firmware.isEmpty() ? QStringList() : QStringList{"--firmware", firmware}));
    }

    bool start()
    {
        m_process.start();
        for (int i = 0; i < 100 && !m_log.contains("ready on"); ++i)
            log(50);
        return m_log.contains("ready on");
    }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // The frames received, in order, as the log prints them ("1AT<CR>").
    QStringList received()
    {
        QStringList frames;
        for (const QByteArray &line : log().split('\n'))
            if (const qsizetype at = line.indexOf(" received "); at >= 0)
                frames << QString::fromLatin1(line.mid(at + 10));
        return frames;
    }
    QString link() const { return m_link; }
    [[nodiscard]] bool signal(int number) { return TestSupport::signal(m_process, number); }
    // Everything it printed so far.
    QByteArray log(int waitMs = 0)
    {
        if (waitMs)
            m_process.waitForReadyRead(waitMs);
        return m_log += m_process.readAllStandardOutput();
    }

private:
    QString m_link;
    Child m_process;
    QByteArray m_log;
};

// A session bus of the test's own, never the machine's: dbus-daemon in a temporary folder.
class PrivateBus
{
public:
    PrivateBus()
    {
        m_daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address",
                                       "--address=unix:path=" + m_dir.filePath("bus")});
        if (m_daemon.waitForReadyRead(5000))
            m_address = QString::fromLatin1(m_daemon.readLine().trimmed());
    }
    void stop()
    {
        m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
    // Empty when the daemon did not start.
    QString address() const { return m_address; }
    // The environment for a program that must find this bus as its session bus.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_address);
        return env;
    }

private:
    QTemporaryDir m_dir;
    Child m_daemon;
    QString m_address;
};

// A program run to its end: its exit status (-1 when it crashed or had not ended in time, when it
// is killed) and what it printed. Events are handled meanwhile, so a copy inside the test
// answers the program's calls.
struct Run
{
    int status = -1;
    QString out;
    QString err;
};
inline Run run(const QString &program, const QStringList &args,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
               const QByteArray &input = {}, int timeoutMs = 10000)
{
    Child p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    Run r;
    if (p.waitForStarted() &&
        QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs) &&
        p.exitStatus() == QProcess::NormalExit)
        r.status = p.exitCode();
    p.kill();
    p.waitForFinished();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// Writes a file whole, and gives it the permissions when there are any; whether all of it went.
[[nodiscard]] inline bool writeFile(const QString &path, const QByteArray &bytes,
                                    QFileDevice::Permissions permissions = {})
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() &&
           (!permissions || f.setPermissions(permissions));
}

// A copy of the program under its own name in a folder of its own, with its settings file and
// its board (a simulator on COM1 there), on the session bus of the given environment; or, as a
// service, vantrelod of that name on the same file.
struct ProgramCopy
{
    enum Kind
    {
        Window,
        Service,
    };
    ProgramCopy(const QString &name, const QProcessEnvironment &env,
                const QStringList &simArgs = {}, Kind kind = Window)
        : sim(dir.path(), 1, simArgs)
    {
        exe = dir.filePath(name);
        started = (kind == Service || QFile::copy(VANTRELO_APP, exe)) &&
                  writeFile(exe + ".ini",
                            "1,\"9600\",0,\"\"\r\n\"Pump\",\"Fan\",\"Light\",\"Heat\"\r\n") &&
                  sim.start();
        if (kind == Service) {
            args = QStringList{"--settings", exe + ".ini", name};
            exe = VANTRELOD;
        }
        program.setProcessEnvironment(env);
        start();
    }
    void start() { program.start(exe, args); }
    // As a service is stopped: SIGTERM, so that it releases its port (a pty the simulator keeps
    // open stays exclusive after a killed owner, to all but a root that may override it).
    void quit()
    {
        program.terminate();
        if (!program.waitForFinished(5000))
            program.kill();
    }
    bool connected() { return sim.received().contains("OA<CR>"); }

    QTemporaryDir dir;
    QString exe;
    QStringList args;
    TestSupport::Simulator sim;
    Child program; // goes first: its board outlives it
    bool started = false;
};

// The real port that finds only the COM<n> entries of the folder, never a device of the machine.
inline std::unique_ptr<SystemSerialPort> portIn(const QString &folder)
{
    return std::make_unique<SystemSerialPort>(folder, [] { return QStringList(); });
}

// The socket systemd gives a service in NOTIFY_SOCKET, as the test's own: what the service tells
// systemd, one datagram a message ("READY=1", "STATUS=...").
class NotifySocket
{
public:
    NotifySocket() : m_path(m_dir.filePath("notify"))
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(m_path);
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            m_path.clear();
    }
    ~NotifySocket() { ::close(m_fd); }
    QString path() const { return m_path; } // empty when the socket could not be made
    // Every message so far, in order.
    QStringList received()
    {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;)
            m_received << QString::fromUtf8(buffer, n).trimmed();
        return m_received;
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_fd = -1;
    QStringList m_received;
};

// The program and its arguments as a service's unit runs it: no memory both writable and
// executable (MemoryDenyWriteExecute=yes), where the kernel can deny it (PR_SET_MDWE).
inline std::pair<QString, QStringList> withoutWriteExec(const QString &program,
                                                        const QStringList &args)
{
    static const bool possible =
        QProcess::execute(VANTRELO_TEST_HELPER, {"no-write-exec", "/bin/true"}) == 0;
    if (!possible)
        return {program, args};
    return {VANTRELO_TEST_HELPER, QStringList{"no-write-exec", program} + args};
}

// A TCP port on 127.0.0.1 that nothing listens on now.
inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// A broker of the test's own: mosquitto on 127.0.0.1, configured by a file the test writes.
// Run as root, mosquitto drops to its own user: its folder and files are readable by others.
class Broker
{
public:
    // Extra lines for the listener (TLS files, password file...), written to its folder.
    explicit Broker(const QByteArray &extraConfig = {}) : m_port(freePort())
    {
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
        (void)writeFile(
            filePath("mosquitto.conf"),
            "listener " + QByteArray::number(m_port) + " 127.0.0.1\npersistence false\n" +
                (extraConfig.contains("password_file") ? "" : "allow_anonymous true\n") +
                extraConfig);
    }

    bool start()
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start("mosquitto", {"-c", filePath("mosquitto.conf")});
        for (int i = 0; i < 100 && !m_log.contains("running"); ++i)
            if (m_process.waitForReadyRead(50))
                m_log += m_process.readAll();
        return m_log.contains("running");
    }
    void stop()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
        m_log.clear();
    }
    QByteArray log() { return m_log += m_process.readAll(); }
    int port() const { return m_port; }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    int m_port;
    Child m_process;
    QByteArray m_log;
};

// mosquitto_sub on a broker: every message as "<retained 0/1> <topic> <payload>", one a line.
class Subscriber
{
public:
    Subscriber(const Broker &broker, const QString &filter, const QStringList &extraArgs = {})
    {
        m_process.start("mosquitto_sub",
                        QStringList{"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-t",
                                    filter, "-F", "%r %t %p"} +
                            extraArgs);
    }
    QStringList lines()
    {
        m_out += m_process.readAllStandardOutput();
        QStringList all = QString::fromUtf8(m_out).split(u'\n');
        all.removeLast(); // the unfinished line
        return all;
    }

private:
    Child m_process;
    QByteArray m_out;
};

} // namespace TestSupport
