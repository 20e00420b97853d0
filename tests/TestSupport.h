#pragma once

// The simulator as a child process on a pty (never a real device), and the process's CPU time.

#include <QDir>
#include <QProcess>
#include <QTest>

#include <ctime>

namespace TestSupport {

// The simulator, linked at <folder>/COM<n>.
class Simulator
{
public:
    Simulator(const QString &folder, int port, const QStringList &extraArgs = {})
        : m_link(QDir(folder).filePath(QStringLiteral("COM%1").arg(port)))
    {
        m_process.setProgram(QStringLiteral(VANTRELO_SIM));
        m_process.setArguments(QStringList{QStringLiteral("--link"), m_link} + extraArgs);
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

private:
    QByteArray log(int waitMs = 0)
    {
        if (waitMs)
            m_process.waitForReadyRead(waitMs);
        return m_log += m_process.readAllStandardOutput();
    }
    QString m_link;
    QProcess m_process;
    QByteArray m_log;
};

inline double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace TestSupport
