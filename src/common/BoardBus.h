// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>

// Where a running copy is found on the session bus (org.vantrelo.Board1).
namespace BoardBus {

inline constexpr char16_t servicePrefix[] = u"org.vantrelo.Board.";
inline constexpr char16_t objectPath[] = u"/org/vantrelo/Board";
inline constexpr char16_t interfaceName[] = u"org.vantrelo.Board1";

// The longest pulse a board keeps: a day, in milliseconds.
inline constexpr quint32 maxPulseMs = 86'400'000;

namespace Errors {
inline constexpr char16_t notConnected[] = u"org.vantrelo.Board1.Error.NotConnected";
inline constexpr char16_t noSuchOutput[] = u"org.vantrelo.Board1.Error.NoSuchOutput";
inline constexpr char16_t writeFailed[] = u"org.vantrelo.Board1.Error.WriteFailed";
inline constexpr char16_t invalidDuration[] = u"org.vantrelo.Board1.Error.InvalidDuration";
inline constexpr char16_t deadlinePassed[] = u"org.vantrelo.Board1.Error.DeadlinePassed";
} // namespace Errors

// The copy's name as one element of a bus name: every byte of its UTF-8 outside A-Z a-z 0-9,
// and a leading digit, becomes '_' and two lower-case hex digits ("board.1" -> "board_2e1").
QString label(const QString &copyName);
// org.vantrelo.Board.<label>
QString serviceName(const QString &copyName);
// The copy's name back from its bus name; empty for a bus name that is not a copy's.
QString copyName(const QString &serviceName);
// Why a copy of this name cannot be on the bus (no name, or a bus name longer than the 255
// characters the bus takes), or nothing.
QString nameRefusal(const QString &copyName);

} // namespace BoardBus
