// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "SettingsLocation.h"

#include "SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

SettingsLocation SettingsLocation::find(const QString &exeDir, const QString &exeBaseName,
                                        const QString &configDir)
{
    const QString beside = SettingsFile::path(exeDir, exeBaseName);
    const QFileInfo besideFile(beside);
    if (QFileInfo(exeDir).isWritable() || (besideFile.exists() && besideFile.isWritable()))
        return {beside, beside, {exeDir}};
    const QString ownDir = QDir(configDir).filePath(QStringLiteral("vantrelo"));
    const QString own = SettingsFile::path(ownDir, exeBaseName);
    return {QFileInfo::exists(own) ? own : beside, own, {ownDir, exeDir}};
}

QString SettingsLocation::userConfigDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}
