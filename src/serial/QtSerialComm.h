#pragma once

#include "LineSettings.h"
#include "PortMap.h"
#include "SerialComm.h"

#include <QSerialPort>

#include <functional>

// The real component, over QSerialPort. Port numbers map to devices as PortMap describes;
// the folder that holds the COM<n> entries and the list of present devices are injectable.
class QtSerialComm : public SerialComm
{
    Q_OBJECT
public:
    using DeviceLister = std::function<QStringList()>;

    explicit QtSerialComm(QString comLinkFolder, DeviceLister lister = PortMap::systemDevices,
                          QObject *parent = nullptr);
    ~QtSerialComm() override;

    int CommPort() const override { return m_portNumber; }
    void setCommPort(int number) override;
    QString Settings() const override { return m_settingsText; }
    void setSettings(const QString &text) override;
    void setHandshaking(int mode) override;
    bool PortOpen() const override { return m_port.isOpen(); }
    void setPortOpen(bool open) override;
    void setDTREnable(bool enable) override;
    void setRTSEnable(bool enable) override;
    void setRThreshold(int count) override;
    void setInputLen(int length) override;
    void Output(const QByteArray &bytes) override;
    QByteArray Input() override;
    bool Input(char &slot) override;
    int InBufferCount() const override;

    QString describePort() const override;
    QStringList presentPorts() const override;
    // The device path the last open used (empty when closed).
    QString openDevice() const { return m_port.isOpen() ? m_port.portName() : QString(); }

private:
    void open();
    void close();
    void applyLineSettings();
    void onErrorOccurred(QSerialPort::SerialPortError error);
    PortMap::Resolution resolveCurrent() const;

    QString m_comLinkFolder;
    DeviceLister m_lister;
    QSerialPort m_port;
    int m_portNumber = 1;
    QString m_settingsText = QStringLiteral("9600,N,8,1");
    LineSettings m_lineSettings;
    int m_inputLen = 0; // 0: a read takes everything waiting
};
