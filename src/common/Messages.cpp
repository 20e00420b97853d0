// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Messages.h"

#include <QCoreApplication>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace Messages {

bool toJournal()
{
    // "<device>:<inode>" of the stream systemd connected; standard error may have been
    // redirected since, so it counts only when it is still that stream.
    static const bool journal = [] {
        const QList<QByteArray> ids = qgetenv("JOURNAL_STREAM").split(':');
        struct stat st
        {
        };
        bool deviceOk = false;
        bool inodeOk = false;
        return ids.size() == 2 && ::fstat(STDERR_FILENO, &st) == 0 &&
               ids[0].toULongLong(&deviceOk) == st.st_dev && deviceOk &&
               ids[1].toULongLong(&inodeOk) == st.st_ino && inodeOk;
    }();
    return journal;
}

void say(Priority priority, const QString &text)
{
    const QByteArray prefix = toJournal() ? '<' + QByteArray::number(priority) + '>' : QByteArray();
    // One write a line, so that lines from several sources never interleave.
    const QByteArray line = prefix + QCoreApplication::applicationName().toLocal8Bit() + ": " +
                            text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

void takeQtMessages()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        switch (type) {
        case QtDebugMsg:
            say(Debug, text);
            break;
        case QtInfoMsg:
            say(Info, text);
            break;
        case QtWarningMsg:
            say(Warning, text);
            break;
        case QtCriticalMsg:
        case QtFatalMsg:
            say(Error, text);
            break;
        }
    });
}

} // namespace Messages
