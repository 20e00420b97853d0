// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "PortMap.h"
#include "SerialPort.h"

#include <QSerialPort>

#include <functional>

// The real port, over QSerialPort. Port numbers map to devices as PortMap describes; the folder
// that holds the COM<n> entries and the list of present devices are injectable.
class SystemSerialPort : public SerialPort
{
    Q_OBJECT
public:
    using DeviceLister = std::function<QStringList()>;

    explicit SystemSerialPort(QString comLinkFolder, DeviceLister lister = PortMap::systemDevices,
                              QObject *parent = nullptr);
    ~SystemSerialPort() override;

    PortError open(int portNumber, const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_port.isOpen(); }
    PortError write(const QByteArray &bytes) override;

    QString describePort(int portNumber) const override;
    QStringList presentPorts() const override;

private:
    PortError failure(int number, const QString &reason, int portNumber) const;
    void onErrorOccurred(QSerialPort::SerialPortError error);
    PortMap::Resolution resolve(int portNumber) const;

    QString m_comLinkFolder;
    DeviceLister m_lister;
    QSerialPort m_port;
    int m_portNumber = 0; // of the open port
};
