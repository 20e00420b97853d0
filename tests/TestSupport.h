// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

// The simulator and the emulated board as child processes on ptys (never a real device), and
// the process's CPU time.

#include <QDir>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

namespace TestSupport {

// The simulator (or with a firmware image, the emulated board), linked at <folder>/COM<n>.
class Simulator
{
public:
    Simulator(const QString &folder, int port, const QStringList &extraArgs = {},
              const QString &firmware = {})
        : m_link(QDir(folder).filePath(QStringLiteral("COM%1").arg(port)))
    {
        m_process.setProgram(firmware.isEmpty() ? QStringLiteral(VANTRELO_SIM)
                                                : QStringLiteral(VANTRELO_BOARD));
        m_process.setArguments(QStringList{QStringLiteral("--link"), m_link} + extraArgs);
        if (!firmware.isEmpty())
            m_process.setArguments(m_process.arguments() +
                                   QStringList{QStringLiteral("--firmware"), firmware});
    }
    ~Simulator() { kill(); }

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
    qint64 pid() const { return m_process.processId(); }
    // The emulated board's output pins by name ("D3"), each as last reported ("high").
    QMap<QString, QString> pins()
    {
        QMap<QString, QString> levels;
        for (const QByteArray &line : log().split('\n'))
            if (const QList<QByteArray> f = line.split(' '); f.size() == 4)
                levels[QString::fromLatin1(f[2])] = QString::fromLatin1(f[3]);
        return levels;
    }

    // Everything it printed so far.
    QByteArray log(int waitMs = 0)
    {
        if (waitMs)
            m_process.waitForReadyRead(waitMs);
        return m_log += m_process.readAllStandardOutput();
    }

private:
    QString m_link;
    QProcess m_process;
    QByteArray m_log;
};

// A session bus of the test's own, never the machine's: dbus-daemon in a temporary folder.
class PrivateBus
{
public:
    PrivateBus()
    {
        m_daemon.start(
            QStringLiteral("dbus-daemon"),
            {QStringLiteral("--session"), QStringLiteral("--nofork"),
             QStringLiteral("--print-address"),
             QStringLiteral("--address=unix:path=") + m_dir.filePath(QStringLiteral("bus"))});
        if (m_daemon.waitForReadyRead(5000))
            m_address = QString::fromLatin1(m_daemon.readLine().trimmed());
    }
    ~PrivateBus()
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
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        return env;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};

inline double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace TestSupport
