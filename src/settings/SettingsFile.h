// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "SettingsRecord.h"

#include <QString>

#include <optional>

// The settings file beside the executable: two lines, CR LF after each.
//   1,"9600",0,""
//   "MyOut1","MyOut2","MyOut3","MyOut4"
// Line 1: port number, bit rate, sample time, device identifier. Line 2: the output names.
// Integers are plain decimal; texts stand inside double quotes with nothing escaped.
//
// Reading, item by item: blanks before an item are skipped; a quoted item ends at the next
// quote (or the line end), and what follows it up to the comma or line end is dropped; an
// unquoted item runs to the comma or line end. CR LF, LF and CR each end a line.
// Decisions where the format leaves room:
//  - line 1 must hold exactly four items and line 2 at least four; items after the fourth on
//    line 2, and further lines, are ignored. Anything else is a read failure, since shifted
//    items would put values into the wrong fields.
//  - an integer item must be an optional sign and decimal digits (blanks around allowed)
//    within -32768..32767; anything else is a read failure.
//  - the text is in the locale's encoding (UTF-8 on Debian, the ANSI code page on Windows);
//    bytes that do not decode become U+FFFD and never stop the read.
namespace SettingsFile {

// The executable's name as it names the settings file and the caption: its whole file name,
// dots included ("board.1"), less a trailing ".exe" in any case.
QString baseName(const QString &exeFileName);

// The executable's folder, the platform's separator, the base name and ".ini", joined
// without trimming or normalising ("/" + "/" + "name.ini" in the root folder).
QString path(const QString &exeDir, const QString &exeBaseName);

// A refused text gives nothing, and the reason in `refusal` ("line 1 holds 3 items").
std::optional<SettingsRecord> parse(const QByteArray &bytes, QString *refusal = nullptr);
QByteArray format(const SettingsRecord &record);

std::optional<SettingsRecord> read(const QString &path, QString *refusal = nullptr);

// Replaces the file atomically: the old file stays whole unless every new byte is written. In
// a folder where no new file can be created, a writable file is written in place, and a failed
// write puts the old bytes back. Returns an empty text on success, else the system's reason.
QString write(const QString &path, const SettingsRecord &record);
QString writeBytes(const QString &path, const QByteArray &bytes);

} // namespace SettingsFile
