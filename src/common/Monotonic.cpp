// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Monotonic.h"

#include <algorithm>
#include <ctime>

namespace Monotonic {

qint64 nowUsec()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

qint64 deadlineFor(std::chrono::milliseconds callTimeout)
{
    // A local bus carries an answer in well under a millisecond; a tenth of a second leaves room
    // for a busy machine. A short time-out keeps three quarters of itself.
    const qint64 timeout = std::max<qint64>(0, callTimeout.count());
    const qint64 margin = std::min<qint64>(100, timeout / 4);
    return nowUsec() + (timeout - margin) * 1000;
}

} // namespace Monotonic
