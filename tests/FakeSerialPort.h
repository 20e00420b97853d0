// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

// A port without a device: it keeps what is written, lets a test feed received bytes, and
// fails on request with a chosen number.

#include "serial/SerialPort.h"

struct FakeSerialPort : SerialPort
{
    PortError open(int portNumber, const LineSettings &settings) override
    {
        if (m_open)
            return {PortErrors::PortAlreadyOpen, QString("already open")};
        if (failOpenWith) // the real port's shape: the device, then the system's reason
            return {failOpenWith, failOpenDetail.isEmpty()
                                      ? describePort(portNumber) + QString(": refused")
                                      : failOpenDetail};
        m_open = true;
        opened << std::make_pair(portNumber, settings);
        return {};
    }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    PortError write(const QByteArray &bytes) override
    {
        if (!m_open)
            return {PortErrors::PortNotOpen, QString("the port is not open")};
        if (failWriteWith)
            return {failWriteWith, QString("write refused")};
        written << bytes;
        return {};
    }
    QString describePort(int portNumber) const override
    {
        return QString("COM%1 -> %2").arg(portNumber).arg(device);
    }
    QStringList presentPorts() const override { return ports; }

    void receive(const QByteArray &bytes) { emit received(bytes); }
    void loseDevice()
    {
        m_open = false;
        emit deviceLost({PortErrors::ReadFailed, describePort(1) + QString(": gone")});
    }

    QString device = QString("/dev/fake0");
    QStringList ports = {QString("COM1 = /dev/fake0")};
    int failOpenWith = 0;
    QString failOpenDetail;
    int failWriteWith = 0;
    QList<std::pair<int, LineSettings>> opened;
    QList<QByteArray> written;

private:
    bool m_open = false;
};
