// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QMetaType>
#include <QString>

// Numbered failures of the serial port. The operator sees the number in the status line; the
// detail keeps the system's own explanation (device path, reason) for the tooltip.
namespace PortErrors {
inline constexpr int InvalidPropertyValue = 380; // a line-settings text the port does not accept
inline constexpr int InvalidPortNumber = 8002;   // below 1, or no such device
inline constexpr int PortAlreadyOpen = 8005;     // open here already, or held by another program
inline constexpr int PermissionDenied = 8010;    // the device exists but may not be opened
inline constexpr int LineSettingsRefused = 8015; // the device refused baud, parity, bits
inline constexpr int PortNotOpen = 8018;         // an operation that needs the open port
inline constexpr int ReadFailed = 8020;          // reading failed: the device went away
inline constexpr int WriteFailed = 8021;
inline constexpr int OpenFailed = 8022; // any other reason the device would not open
} // namespace PortErrors

// The result of a port operation: number 0 is success.
struct PortError
{
    int number = 0;
    QString detail;

    explicit operator bool() const { return number != 0; }
};
Q_DECLARE_METATYPE(PortError)
