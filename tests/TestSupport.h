#pragma once

// Helpers shared by the tests: the simulator as a child process on a pty, a folder that even
// root cannot write, and the process's CPU time.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <ctime>
#include <unistd.h>

namespace TestSupport {

// The simulator, linked at <folder>/COM<n>. Never a real device.
class Simulator
{
public:
    Simulator(const QString &folder, int port, QStringList extraArgs = {})
    {
        m_link = QDir(folder).filePath(QStringLiteral("COM") + QString::number(port));
        m_process.setProgram(QStringLiteral(VANTRELO_SIM));
        m_process.setArguments(QStringList{QStringLiteral("--link"), m_link} + extraArgs);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
    }
    ~Simulator() { stop(); }

    bool start()
    {
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100 && !m_log.contains("ready on"); ++i) {
            m_process.waitForReadyRead(50);
            m_log += m_process.readAllStandardOutput();
        }
        return m_log.contains("ready on");
    }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(3000))
                kill();
        }
    }
    // Everything logged so far: "received <frame>" and "sent <bytes>" lines.
    QByteArray log()
    {
        m_log += m_process.readAllStandardOutput();
        return m_log;
    }
    // The frames received, in order, as the log prints them ("1AT<CR>").
    QStringList received()
    {
        QStringList frames;
        for (const QByteArray &line : log().split('\n')) {
            const qsizetype at = line.indexOf(" received ");
            if (at >= 0)
                frames << QString::fromLatin1(line.mid(at + 10));
        }
        return frames;
    }
    QString link() const { return m_link; }

private:
    QProcess m_process;
    QString m_link;
    QByteArray m_log;
};

// A folder that refuses new files, also to root (through the immutable attribute).
class ReadOnlyFolder
{
public:
    explicit ReadOnlyFolder(QString path) : m_path(std::move(path))
    {
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::ExeOwner);
        if (::geteuid() == 0)
            m_immutable = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_path}) == 0;
    }
    ~ReadOnlyFolder()
    {
        if (m_immutable)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    bool effective() const { return ::geteuid() != 0 || m_immutable; }

private:
    QString m_path;
    bool m_immutable = false;
};

inline double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace TestSupport
