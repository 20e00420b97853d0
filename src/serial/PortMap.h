// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>
#include <QStringList>

// How a port number becomes a device.
//
// On Linux port n is, first, the entry named COM<n> in the link folder (normally the
// executable's folder): a device node or a symbolic link to one, such as a
// /dev/serial/by-id/... name or a pseudo-terminal. Without such an entry, port n is the n-th
// present device in the order /dev/ttyUSB0, /dev/ttyUSB1, ..., /dev/ttyACM0, ..., then every
// other port the system reports (the on-board ones), each group in numeric order.
// On Windows port n is COM<n>.
namespace PortMap {

struct Resolution
{
    QString device;  // what to open; empty when the number names no port
    QString comLink; // the COM<n> entry it came through, if any
    QString target;  // where the link points, when it is a link
};

// Whether n can name a port at all; nothing below 1 ever does.
constexpr bool isPortNumber(int n)
{
    return n >= 1;
}

// Orders present devices as described above.
QStringList orderDevices(QStringList present);

// Resolves n: the entry at comLinkPath (the folder's COM<n>) when it exists, otherwise the
// n-th of presentDevices in the order above. A dangling link resolves to no device.
Resolution resolve(int n, const QString &comLinkPath, const QStringList &presentDevices);

// The devices the system reports, by their full paths (/dev/ttyUSB0...).
QStringList systemDevices();
// The names of the serial devices present that stay with the adapter whatever order it was
// plugged in: /dev/serial/by-id/..., sorted.
QStringList devicesById();

} // namespace PortMap
