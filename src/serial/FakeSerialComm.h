#pragma once

#include "LineSettings.h"
#include "SerialComm.h"

#include <QList>

// A serial component without a device, for unit tests: it records every call, keeps what is
// written, lets a test feed received bytes, and fails on request with a chosen number.
class FakeSerialComm : public SerialComm
{
    Q_OBJECT
public:
    using SerialComm::SerialComm;

    int CommPort() const override { return m_portNumber; }
    void setCommPort(int number) override;
    QString Settings() const override { return m_settings; }
    void setSettings(const QString &text) override;
    void setHandshaking(int mode) override;
    bool PortOpen() const override { return m_open; }
    void setPortOpen(bool open) override;
    void setDTREnable(bool enable) override;
    void setRTSEnable(bool enable) override;
    void setRThreshold(int count) override;
    void setInputLen(int length) override;
    void Output(const QByteArray &bytes) override;
    QByteArray Input() override;
    bool Input(char &slot) override;
    int InBufferCount() const override;

    QString describePort() const override { return portDescription; }
    QStringList presentPorts() const override { return ports; }

    // Test controls.
    QString portDescription = QStringLiteral("COM1 -> /dev/fake0");
    QStringList ports = {QStringLiteral("COM1 = /dev/fake0")};
    void receive(const QByteArray &bytes); // bytes arrive; OnComm follows from the event loop
    void postEvent(int code) { postCommEvent(code); }
    void loseDevice(); // as the real one does when the device goes away
    int failOpenWith = 0;   // non-zero: the next opens fail with this number
    int failOutputWith = 0; // non-zero: every Output fails with this number
    QList<int> refusedPortNumbers; // setCommPort refuses these with 8002

    QList<QByteArray> written;  // one entry per Output call
    QStringList calls;          // "open", "close", "Settings=9600,n,8,1", ...
    int opens = 0;
    bool dtr = true, rts = true;
    int rThreshold = 0, inputLen = 0;
    QByteArray rxBuffer;

private:
    qsizetype m_rxRead = 0; // rxBuffer[0, m_rxRead) has been read
    int m_portNumber = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    bool m_open = false;
};
