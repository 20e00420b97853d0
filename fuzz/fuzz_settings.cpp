// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

// Arbitrary bytes as a settings file, and as the texts of the COM box and the line settings.
// Checks: reading never crashes; a record that was read writes a file that reads back with the
// same numbers; conversions stay in range.

#include "serial/LineSettings.h"
#include "settings/NumberText.h"
#include "settings/SettingsFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (const auto record = SettingsFile::parse(bytes)) {
        const auto again = SettingsFile::parse(SettingsFile::format(*record));
        if (!again || again->portNumber != record->portNumber ||
            again->sampleTime != record->sampleTime)
            std::abort();
    }
    const QString text = QString::fromLatin1(bytes);
    if (const auto v = convertToInt16(text); v && (*v < -32768 || *v > 32767))
        std::abort();
    if (const auto s = LineSettings::parse(text);
        s && (s->baud <= 0 || s->dataBits < 5 || s->dataBits > 8))
        std::abort();
    return 0;
}
