// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

// The controller's end of a pty for benchmarks and tests: writes from any thread (blocking
// until the pty takes everything), and a thread that drains and keeps what the program sends,
// so the program's writes never back up.
class PtyPeer
{
public:
    explicit PtyPeer(int controllerFd);
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    void write(const char *data, size_t size);
    void write(const QByteArray &bytes)
    {
        write(bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    QByteArray received();
    // When the last bytes from the program were read (steady clock), for latency figures.
    std::chrono::steady_clock::time_point lastRead() const
    {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(m_lastRead.load()));
    }

private:
    int m_fd;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    QByteArray m_received;
    std::atomic<std::chrono::steady_clock::rep> m_lastRead{0};
    std::thread m_drain;
};
