// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>

// A program's messages on standard error, one line each, as "<program>: <text>". When standard
// error is the journal (systemd's JOURNAL_STREAM names it), every line starts with its sd-daemon
// priority ("<3>" error, "<4>" warning, "<6>" information), so that the journal keeps the level;
// in a terminal there is no prefix.
namespace Messages {

enum Priority
{
    Error = 3,
    Warning = 4,
    Info = 6,
    Debug = 7,
};

void say(Priority priority, const QString &text);
// The text with every control character written as \xHH (C1 ones as \u00HH), so that nothing a
// file, a board or a peer sent can move the cursor, retitle or clear a terminal.
QString printable(const QString &text);
// Whether standard error is the journal's stream.
bool toJournal();
// Qt's own messages (qWarning() and the like, from any library) go through say() too, with the
// priority of their kind.
void takeQtMessages();

} // namespace Messages
