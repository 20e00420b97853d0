// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>
#include <QStringList>

// Where a copy keeps its settings file and looks for its COM<n> entries.
//
// Beside the executable, named after it, wherever the copy's user may write there: the folder,
// or at least the file itself (written in place). Otherwise (the installed program) in the
// user's configuration folder, <config>/vantrelo/<name>.ini: Save writes it there, and until it
// exists the load reads the file beside the executable, an administrator's default, if any.
struct SettingsLocation
{
    QString loadPath;           // what the load reads
    QString savePath;           // what Save writes
    QStringList comLinkFolders; // COM<n> entries, the first folder that has one wins

    // configDir: $XDG_CONFIG_HOME, or ~/.config when it is unset.
    static SettingsLocation find(const QString &exeDir, const QString &exeBaseName,
                                 const QString &configDir);
    static QString userConfigDir();
};
