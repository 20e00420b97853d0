// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "BoardSettings.h"

#include "serial/LineSettings.h"
#include "serial/PortMap.h"
#include "settings/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

BoardSettings::BoardSettings(ControllerLink *link, Locator locate, QString ownFolder,
                             QObject *parent)
    : QObject(parent), m_link(link), m_locate(std::move(locate)), m_ownFolder(std::move(ownFolder))
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
    startLink();
}

LinkSettings BoardSettings::linkSettings() const
{
    return {m_record.portNumber, m_record.baudText, m_record.deviceId};
}

void BoardSettings::startLink()
{
    m_link->start(linkSettings());
}

QString BoardSettings::take()
{
    const SettingsLocation location = m_locate();
    QString refusal;
    const auto record = SettingsFile::read(location.loadPath, &refusal);
    if (record)
        refusal = portRefusal(*record);
    if (!refusal.isEmpty())
        return refusal;
    m_location = location;
    m_record = *record;
    m_refusal.clear();
    m_keepRefusedFile = false;
    emit loaded();
    return {};
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
    // Only a regular file has bytes to keep (a FIFO is never opened to wait on it).
    m_keepRefusedFile = !refusal.isEmpty() && m_location.loadPath == m_location.savePath &&
                        QFileInfo(m_location.loadPath).isFile();
    emit loaded();
}

QStringList BoardSettings::outputNames() const
{
    return {m_record.outputNames.begin(), m_record.outputNames.end()};
}

// What the load did not use may be a hand-written file: its bytes are never lost to a Save.
// Beside it as <file>.bak (replacing an older one), else in the user's own folder, which says
// so; a file that cannot be read has nothing to keep. Only bytes read whole are kept.
BoardSettings::SaveResult BoardSettings::keepRefusedFile()
{
    const QString &path = m_location.savePath;
    QFile refused(path);
    if (!refused.open(QIODevice::ReadOnly))
        return {true, {}};
    const QByteArray bytes = refused.readAll();
    const QString notSaved =
        QStringLiteral("\nNothing was saved; the settings in force stay as they were.");
    if (refused.error() != QFileDevice::NoError || bytes.size() != refused.size())
        return {false, u"Not saved: the settings file that was not used, " + path +
                           u", could not be read whole to keep it: " + refused.errorString() +
                           notSaved};
    const QString beside = path + u".bak";
    const QString besideFailure = SettingsFile::writeBytes(beside, bytes);
    if (besideFailure.isEmpty())
        return {true, {}};
    const QString own = QDir(m_ownFolder).filePath(QFileInfo(path).fileName() + u".bak");
    QDir().mkpath(m_ownFolder);
    if (const QString failure = SettingsFile::writeBytes(own, bytes); !failure.isEmpty())
        return {false, u"Not saved: cannot keep the settings file that was not used as " + beside +
                           u" (" + besideFailure + u") nor as " + own + u" (" + failure + u")." +
                           notSaved};
    return {true, u"Saved. The settings file that was not used is kept as " + own +
                      u": it could not be kept beside itself as " + beside + u" (" + besideFailure +
                      u")."};
}

BoardSettings::SaveResult BoardSettings::save(const SettingsRecord &record)
{
    const QString &path = m_location.savePath;
    SaveResult kept{true, {}};
    if (m_keepRefusedFile) {
        kept = keepRefusedFile();
        if (!kept.saved)
            return kept;
        m_keepRefusedFile = false;
    }
    if (const QDir folder = QFileInfo(path).dir(); !folder.exists())
        folder.mkpath(QStringLiteral(".")); // the user's configuration folder, at the first Save
    if (const QString failure = SettingsFile::write(path, record); !failure.isEmpty())
        return {false, u"Not saved: cannot write " + path + u": " + failure +
                           u"\nThe settings in force stay as they were."};
    start(); // closes the port and loads what the file now holds
    return kept;
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
