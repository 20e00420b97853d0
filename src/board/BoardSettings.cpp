// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "BoardSettings.h"

#include "serial/LineSettings.h"
#include "serial/PortMap.h"
#include "settings/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

BoardSettings::BoardSettings(ControllerLink *link, Locator locate, QObject *parent)
    : QObject(parent), m_link(link), m_locate(std::move(locate))
{
}

QString BoardSettings::portRefusal(const SettingsRecord &record)
{
    if (!PortMap::isPortNumber(record.portNumber))
        return u"port number " + QString::number(record.portNumber);
    if (!LineSettings::parse(record.baudText + u",N,8,1"))
        return u"bit rate \"" + record.baudText + u"\" is not digits";
    return {};
}

void BoardSettings::start()
{
    load();
    m_link->start({m_record.portNumber, m_record.baudText, m_record.deviceId});
}

void BoardSettings::load()
{
    m_location = m_locate();
    QString refusal;
    const auto record = SettingsFile::read(m_location.loadPath, &refusal);
    if (record)
        refusal = portRefusal(*record);
    m_refusal = refusal;
    m_record = refusal.isEmpty() ? *record : SettingsRecord{};
    m_keepRefusedFile = !refusal.isEmpty() && m_location.loadPath == m_location.savePath &&
                        QFileInfo::exists(m_location.loadPath);
    emit loaded();
}

QStringList BoardSettings::outputNames() const
{
    return {m_record.outputNames.begin(), m_record.outputNames.end()};
}

QString BoardSettings::save(const SettingsRecord &record)
{
    const QString &path = m_location.savePath;
    if (m_keepRefusedFile) {
        // What the load did not use may be a hand-written file: it is never lost to a Save.
        QFile refused(path);
        const QString backup = path + u".bak";
        QString failure = refused.open(QIODevice::ReadOnly) ? QString() : refused.errorString();
        if (failure.isEmpty())
            failure = SettingsFile::writeBytes(backup, refused.readAll());
        if (!failure.isEmpty())
            return u"Not saved: cannot keep the settings file that was not used as " + backup +
                   u": " + failure + u"\nThe settings in force stay as they were.";
        m_keepRefusedFile = false;
    }
    if (const QDir folder = QFileInfo(path).dir(); !folder.exists())
        folder.mkpath(QStringLiteral(".")); // the user's configuration folder, at the first Save
    if (const QString failure = SettingsFile::write(path, record); !failure.isEmpty())
        return u"Not saved: cannot write " + path + u": " + failure +
               u"\nThe settings in force stay as they were.";
    start(); // closes the port and loads what the file now holds
    return {};
}

QString BoardSettings::note() const
{
    QString note = u"Settings: " + loadedPath();
    if (!m_refusal.isEmpty()) {
        note += u" was not used (" + m_refusal + u"); the defaults are in force.";
        if (m_keepRefusedFile)
            note += u" Save first keeps it as " + savePath() + u".bak.";
    }
    if (savePath() != loadedPath())
        note += u"\nSave writes " + savePath() + u'.';
    return note;
}
