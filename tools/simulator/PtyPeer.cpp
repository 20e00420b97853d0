// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "PtyPeer.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

PtyPeer::PtyPeer(int controllerFd) : m_fd(controllerFd)
{
    if (::pipe(m_wake) != 0)
        m_wake[0] = m_wake[1] = -1;
    m_drain = std::thread([this] {
        char buf[4096];
        while (!m_stop) {
            pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(p, 2, -1) <= 0 || !(p[0].revents & POLLIN))
                continue;
            std::lock_guard lock(m_mutex);
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0) {
                m_received.append(buf, n);
                m_lastRead = std::chrono::steady_clock::now().time_since_epoch().count();
            }
        }
    });
}

PtyPeer::~PtyPeer()
{
    m_stop = true;
    [[maybe_unused]] const auto n = ::write(m_wake[1], "x", 1);
    m_drain.join();
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

void PtyPeer::write(const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else {
            return;
        }
    }
}

QByteArray PtyPeer::received()
{
    std::lock_guard lock(m_mutex);
    return m_received;
}
