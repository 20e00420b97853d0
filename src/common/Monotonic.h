// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QtGlobal>

#include <chrono>

// The machine's monotonic clock (CLOCK_MONOTONIC), which every process of the machine shares and
// which no change of the time of day moves: a deadline one program sets, another can keep.
namespace Monotonic {

// Microseconds on that clock.
qint64 nowUsec();

// A deadline a call carries: its caller's time-out, less what the answer needs to come back, so
// that the caller hears whether the command went out before it gives up waiting.
qint64 deadlineFor(std::chrono::milliseconds callTimeout);

} // namespace Monotonic
