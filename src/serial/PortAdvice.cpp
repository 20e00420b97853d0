// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "PortAdvice.h"

#include "PortError.h"

QString presentPortsText(const QStringList &presentPorts)
{
    if (presentPorts.isEmpty())
        return QStringLiteral("No serial ports are present. Plug the adapter in, or link a device "
                              "as COM<n> beside the program.");
    return u"Ports present:\n" + presentPorts.join(u'\n');
}

QString portAdvice(int errorNumber, const QString &detail, const QStringList &presentPorts)
{
    QString text = detail;
    if (!text.isEmpty())
        text += u'\n';
    switch (errorNumber) {
    case PortErrors::PermissionDenied:
        return text +
               QStringLiteral("Permission denied: add your user to the dialout group\n"
                              "(sudo usermod -aG dialout $USER), then log out and in again.");
    case PortErrors::PortAlreadyOpen:
        return text + QStringLiteral(
                          "The port is held by another program (a terminal program, ModemManager,\n"
                          "another copy of Vantrelo). Close it; the next attempt opens the port.");
    case PortErrors::ReadFailed:
        return text +
               QStringLiteral("The device went away (unplugged, or its driver failed). Plug it in\n"
                              "again: the program searches for the controller by itself.");
    case PortErrors::InvalidPortNumber:
        return text + u"No such device. " + presentPortsText(presentPorts);
    default:
        return text.trimmed();
    }
}
