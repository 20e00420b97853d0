// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "link/ControllerLink.h"
#include "settings/SettingsLocation.h"
#include "settings/SettingsRecord.h"

#include <QObject>
#include <QStringList>

#include <functional>

// One board's settings file and its link, without widgets: where the file is, what the last
// load took (or why it refused the file and took the defaults), Save, and the link start. The
// window and the service use it alike.
//
// A file that cannot be read, or whose port number or bit rate the port would refuse, gives the
// defaults everywhere, and the file stays as it is until the first Save, which first keeps its
// bytes as <file>.bak, or where that cannot be made, in the user's own folder. A file that
// cannot be read at all has nothing to keep.
class BoardSettings : public QObject
{
    Q_OBJECT
public:
    // Where the file is now; asked again at every load (a first Save may move it).
    using Locator = std::function<SettingsLocation()>;

    // The link must outlive this object. ownFolder: the user's configuration folder for the
    // program ($XDG_CONFIG_HOME/vantrelo), where a refused file is kept when its own folder
    // takes no .bak.
    BoardSettings(ControllerLink *link, Locator locate, QString ownFolder,
                  QObject *parent = nullptr);

    // A link start: loads the file (or takes the defaults) and starts the link on it.
    void start();
    // A service's load: the file only as it stands, never the defaults. A missing or refused file
    // changes nothing (the record, and the link on it, stay as they were) and gives why; a file
    // taken gives nothing and announces loaded(). The link is not started.
    QString take();
    // What the link runs on with this record; a link start on it.
    LinkSettings linkSettings() const;
    void startLink();
    // Keeps a refused file, replaces the file with the record and starts the link on what the
    // file now holds. When nothing was saved, nothing changed; the message says why. A saved
    // record may come with a message too: where the refused file was kept.
    struct SaveResult
    {
        bool saved = false;
        QString message;
    };
    SaveResult save(const SettingsRecord &record);

    const SettingsRecord &record() const { return m_record; }
    QStringList outputNames() const;
    // What Save writes, and what the last load read.
    const QString &savePath() const { return m_location.savePath; }
    const QString &loadedPath() const { return m_location.loadPath; }
    // Why the last load took the defaults; empty when it took the file.
    const QString &refusal() const { return m_refusal; }
    // The file in use, why it was not used, and where Save writes, for the operator.
    QString note() const;

    // Why the port would refuse the record's port number or bit rate, or nothing.
    static QString portRefusal(const SettingsRecord &record);

signals:
    // A load took a record (the file's or the defaults); the link starts on it next.
    void loaded();

private:
    void load();
    SaveResult keepRefusedFile();

    ControllerLink *m_link;
    Locator m_locate;
    QString m_ownFolder;
    SettingsLocation m_location;
    SettingsRecord m_record;
    QString m_refusal;
    bool m_keepRefusedFile = false; // the next Save first keeps the refused file as .bak
};
