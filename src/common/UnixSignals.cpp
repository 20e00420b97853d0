// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "UnixSignals.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1};
// Which signals came since the reader last looked: however many come, each is told once.
std::array<std::atomic<bool>, NSIG> pending{};
static_assert(std::atomic<bool>::is_always_lock_free, "a handler may only touch lock-free atomics");

// Never blocks: the flag is set, and a wake-up byte written if the socket takes it; a full
// socket has wake-ups enough.
void onSignal(int number)
{
    const int saved = errno;
    pending[size_t(number)].store(true);
    const char wake = 0;
    [[maybe_unused]] const auto n = ::write(pipeEnds[1], &wake, 1);
    errno = saved;
}

} // namespace

UnixSignals::UnixSignals(const QList<int> &numbers, QObject *parent)
    : QObject(parent), m_numbers(numbers)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeEnds) != 0)
        qFatal("cannot make a socket pair for signals");
    m_notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        // Every wake-up byte first, then the flags: a signal after the flags are looked at
        // leaves a byte for the next turn.
        char bytes[256];
        while (::read(pipeEnds[0], bytes, sizeof bytes) > 0) {
        }
        for (const int number : std::as_const(m_numbers))
            if (pending[size_t(number)].exchange(false))
                emit received(number);
    });
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : m_numbers)
        ::sigaction(number, &action, nullptr);
}

UnixSignals::~UnixSignals()
{
    for (const int number : std::as_const(m_numbers))
        std::signal(number, SIG_DFL);
    m_notifier.reset();
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}
