// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "PortMap.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>

namespace PortMap {

namespace {

int groupOf(const QString &path)
{
    if (path.startsWith(u"/dev/ttyUSB"))
        return 0;
    if (path.startsWith(u"/dev/ttyACM"))
        return 1;
    return 2;
}

// Splits "/dev/ttyS10" into ("/dev/ttyS", 10) so that ttyS2 sorts before ttyS10.
std::pair<QString, long long> splitNumber(const QString &path)
{
    static const QRegularExpression trailingDigits(QStringLiteral("^(.*?)(\\d+)$"));
    const auto m = trailingDigits.match(path);
    if (!m.hasMatch())
        return {path, -1};
    return {m.captured(1), m.captured(2).left(18).toLongLong()};
}

} // namespace

QStringList orderDevices(QStringList present)
{
    present.removeDuplicates();
    std::sort(present.begin(), present.end(), [](const QString &a, const QString &b) {
        const int ga = groupOf(a), gb = groupOf(b);
        if (ga != gb)
            return ga < gb;
        const auto [pa, na] = splitNumber(a);
        const auto [pb, nb] = splitNumber(b);
        if (pa != pb)
            return pa < pb;
        return na < nb;
    });
    return present;
}

Resolution resolve(int n, const QString &comLinkPath, const QStringList &presentDevices)
{
    Resolution r;
    if (!isPortNumber(n))
        return r;
#ifdef Q_OS_WIN
    Q_UNUSED(comLinkPath);
    Q_UNUSED(presentDevices);
    r.device = u"COM" + QString::number(n);
    return r;
#else
    if (!comLinkPath.isEmpty()) {
        const QFileInfo link(comLinkPath);
        if (link.exists() || link.isSymLink()) {
            r.comLink = comLinkPath;
            if (link.isSymLink())
                r.target = link.symLinkTarget();
            // A dangling link names a device that is gone: no usable port.
            r.device = link.exists() ? link.canonicalFilePath() : QString();
            return r;
        }
    }
    const QStringList ordered = orderDevices(presentDevices);
    if (n <= ordered.size())
        r.device = ordered.at(n - 1);
    return r;
#endif
}

QStringList systemDevices()
{
    QStringList devices;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        devices << info.systemLocation();
    return devices;
}

QStringList devicesById()
{
    QStringList devices;
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QString &name : byId.entryList(QDir::System | QDir::Files, QDir::Name))
        devices << byId.filePath(name);
    return devices;
}

} // namespace PortMap
