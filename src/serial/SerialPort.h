// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "LineSettings.h"
#include "PortError.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>

// The serial port the controller hangs on, addressed by number as the operator knows it
// ("COM: 3"). Opening applies the line settings with no flow control and with DTR and RTS not
// asserted. Received bytes are announced as they arrive, on the owner's thread.
class SerialPort : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual PortError open(int portNumber, const LineSettings &settings) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Queues the bytes for sending, in order, and returns at once.
    virtual PortError write(const QByteArray &bytes) = 0;

    // Where a port number leads: "COM3 -> /home/op/boards/COM3 -> /dev/ttyUSB0".
    virtual QString describePort(int portNumber) const = 0;
    // The ports present now, one entry each: "COM1 = /dev/ttyUSB0 (FT232R USB UART)".
    virtual QStringList presentPorts() const = 0;

signals:
    void received(const QByteArray &bytes);
    // The device went away or could not be read; the port has been closed already.
    void deviceLost(const PortError &error);
};
