// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include "PortMap.h"
#include "SerialPort.h"

#include <QSerialPort>

#include <functional>

// The real port, over QSerialPort. Port numbers map to devices as PortMap describes; the folders
// that hold the COM<n> entries (the first that has one wins) and the list of present devices
// are injectable.
class SystemSerialPort : public SerialPort
{
    Q_OBJECT
public:
    using DeviceLister = std::function<QStringList()>;
    enum class Numbering
    {
        EntriesThenDevices, // a COM<n> entry, else the n-th present device (the window)
        // Only COM<n> entries: a missing one is no port, never some device of the machine (a
        // service nobody watches). The devices present are only named, so that the user can
        // link one.
        EntriesOnly,
    };

    explicit SystemSerialPort(QStringList comLinkFolders,
                              DeviceLister lister = PortMap::systemDevices,
                              Numbering numbering = Numbering::EntriesThenDevices,
                              QObject *parent = nullptr);
    explicit SystemSerialPort(const QString &comLinkFolder,
                              DeviceLister lister = PortMap::systemDevices,
                              Numbering numbering = Numbering::EntriesThenDevices)
        : SystemSerialPort(QStringList{comLinkFolder}, std::move(lister), numbering)
    {
    }
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

    QStringList m_comLinkFolders;
    DeviceLister m_lister;
    Numbering m_numbering;
    QSerialPort m_port;
    QString m_openedAs;     // where its number led when it was opened
    bool m_writing = false; // inside write(): a failure goes to its caller
    PortError m_writeFailure;
};
