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

QString printable(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7f)
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else if (u >= 0x80 && u < 0xa0)
            out += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

void say(Priority priority, const QString &text)
{
    // A line break of the program's own (a usage's hint) stays; every other control is escaped.
    QStringList lines = text.split(u'\n');
    for (QString &line : lines)
        line = printable(line);
    const QByteArray prefix = toJournal() ? '<' + QByteArray::number(priority) + '>' : QByteArray();
    // One write a line, so that lines from several sources never interleave.
    const QByteArray line = prefix + QCoreApplication::applicationName().toLocal8Bit() + ": " +
                            lines.join(u'\n').toLocal8Bit() + '\n';
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
