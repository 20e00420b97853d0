// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "SettingsFile.h"

#include "common/RegularFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <sys/stat.h>

namespace SettingsFile {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isLineEnd(QChar c)
{
    return c == u'\r' || c == u'\n';
}

// Splits one line into items by the reading rules.
QStringList items(QStringView line)
{
    QStringList out;
    qsizetype i = 0;
    const qsizetype n = line.size();
    while (true) {
        while (i < n && isBlank(line[i]))
            ++i;
        QString item;
        if (i < n && line[i] == u'"') {
            const qsizetype close = line.indexOf(u'"', i + 1);
            const qsizetype end = close < 0 ? n : close;
            item = line.mid(i + 1, end - i - 1).toString();
            i = close < 0 ? n : line.indexOf(u',', close + 1);
            if (i < 0)
                i = n;
        } else {
            qsizetype comma = line.indexOf(u',', i);
            if (comma < 0)
                comma = n;
            item = line.mid(i, comma - i).toString();
            i = comma;
        }
        out << item;
        if (i >= n)
            return out;
        ++i; // the comma
    }
}

std::optional<qint16> toInt16(const QString &item)
{
    const QString t = item.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    qsizetype start = (t[0] == u'-' || t[0] == u'+') ? 1 : 0;
    if (start == t.size() || t.size() - start > 6)
        return std::nullopt;
    for (qsizetype k = start; k < t.size(); ++k) {
        if (t[k] < u'0' || t[k] > u'9')
            return std::nullopt;
    }
    const int value = t.toInt();
    if (value < -32768 || value > 32767)
        return std::nullopt;
    return static_cast<qint16>(value);
}

QString quoted(const QString &text)
{
    return u'"' + text + u'"';
}

} // namespace

QString baseName(const QString &exeFileName)
{
    return exeFileName.endsWith(u".exe", Qt::CaseInsensitive) ? exeFileName.chopped(4)
                                                              : exeFileName;
}

QString path(const QString &exeDir, const QString &exeBaseName)
{
#ifdef Q_OS_WIN
    const QChar separator = u'\\';
#else
    const QChar separator = u'/';
#endif
    return exeDir + separator + exeBaseName + u".ini";
}

std::optional<SettingsRecord> parse(const QByteArray &bytes, QString *refusal)
{
    const auto refuse = [refusal](const QString &why) {
        if (refusal)
            *refusal = why;
        return std::nullopt;
    };
    QStringDecoder decode(QStringDecoder::System);
    const QString text = decode(bytes);

    // The first two lines; a line end of CR LF counts once.
    QList<QStringView> lines;
    qsizetype i = 0;
    while (lines.size() < 2 && i < text.size()) {
        qsizetype end = i;
        while (end < text.size() && !isLineEnd(text[end]))
            ++end;
        lines << QStringView(text).mid(i, end - i);
        if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() &&
            text[end + 1] == u'\n')
            ++end;
        i = end + 1;
    }
    if (lines.size() < 2)
        return refuse(lines.isEmpty() ? QStringLiteral("it is empty")
                                      : QStringLiteral("it has no line 2"));

    const QStringList first = items(lines[0]);
    const QStringList second = items(lines[1]);
    if (first.size() != 4)
        return refuse(QStringLiteral("line 1 holds %1 items").arg(first.size()));
    if (second.size() < 4)
        return refuse(QStringLiteral("line 2 holds %1 items").arg(second.size()));

    SettingsRecord r;
    const auto port = toInt16(first[0]);
    const auto sample = toInt16(first[2]);
    const QString range = QStringLiteral("\" is not a whole number from -32768 to 32767");
    if (!port)
        return refuse(u"port number \"" + first[0] + range);
    if (!sample)
        return refuse(u"sample time \"" + first[2] + range);
    r.portNumber = *port;
    r.baudText = first[1];
    r.sampleTime = *sample;
    r.deviceId = first[3];
    for (int k = 0; k < SettingsRecord::outputCount; ++k)
        r.outputNames[static_cast<size_t>(k)] = second[k];
    return r;
}

QByteArray format(const SettingsRecord &r)
{
    const auto &names = r.outputNames;
    const QString text = QString::number(r.portNumber) + u',' + quoted(r.baudText) + u',' +
                         QString::number(r.sampleTime) + u',' + quoted(r.deviceId) + u"\r\n" +
                         quoted(names[0]) + u',' + quoted(names[1]) + u',' + quoted(names[2]) +
                         u',' + quoted(names[3]) + u"\r\n";
    QStringEncoder encode(QStringEncoder::System);
    return encode(text);
}

std::optional<SettingsRecord> read(const QString &filePath, QString *refusal)
{
    const auto refuse = [refusal](const QString &why) {
        if (refusal)
            *refusal = why;
        return std::nullopt;
    };
    QFile file;
    struct stat status
    {
    };
    if (const QString why = openRegularFile(filePath, file, status); !why.isEmpty())
        return refuse(why);
    // Two short lines; a huge file is not a settings file, and reading it all is not needed.
    return parse(file.read(64 * 1024), refusal);
}

namespace {

std::optional<QByteArray> contents(const QString &filePath)
{
    if (!QFileInfo(filePath).isFile()) // nothing to put back, and a FIFO is never waited on
        return std::nullopt;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

// After a failed write: the bytes that stood there before go back where a write in place has
// cut them short; a file that did not exist before is not left half-made.
QString restore(const QString &filePath, const std::optional<QByteArray> &old)
{
    const auto now = contents(filePath);
    if (now == old)
        return {};
    if (!old)
        return QFile::remove(filePath) ? QString() : QStringLiteral(" (a part of it is left)");
    QFile file(filePath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) &&
        file.write(*old) == old->size() && file.flush())
        return {};
    return u" (the old contents could not be put back: " + file.errorString() + u')';
}

} // namespace

QString writeBytes(const QString &filePath, const QByteArray &bytes)
{
    const auto old = contents(filePath);
    QString reason;
    {
        QSaveFile file(filePath);
        // A folder that takes no new file (for the temporary one) may still hold a writable
        // file, which is then written in place.
        file.setDirectWriteFallback(true);
        // Unbuffered, so that every byte is known written when write() returns: a failing
        // flush of a buffer at commit() goes unreported, and the commit would then put a short
        // or empty file in place of the old one.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return file.errorString();
        const qint64 written = file.write(bytes);
        if (written != bytes.size()) {
            reason = written < 0 || file.error() != QFileDevice::NoError
                         ? file.errorString()
                         : QStringLiteral("only %1 of %2 bytes were written")
                               .arg(written)
                               .arg(bytes.size());
            file.cancelWriting();
        } else if (!file.commit()) {
            reason = file.errorString();
        }
    } // closed; an uncommitted temporary file is removed
    if (reason.isEmpty())
        return {};
    return reason + restore(filePath, old);
}

QString write(const QString &filePath, const SettingsRecord &record)
{
    return writeBytes(filePath, format(record));
}

} // namespace SettingsFile
