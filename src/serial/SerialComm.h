#pragma once

#include "CommError.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// The window's serial communications component. Operations that fail throw CommError with
// the failure's number (see CommError.h). Received characters and line events are announced
// through OnComm, delivered from the event loop on the component's thread; CommEvent() tells,
// inside the handler, which event is being delivered.
//
// OnComm is always posted, never emitted from inside another handler: a handler that lets
// events run (a nested event loop) therefore receives the next OnComm inside its wait.
class SerialComm : public QObject
{
    Q_OBJECT
public:
    // Codes of CommEvent().
    static constexpr int comEvReceive = 2;       // characters are waiting
    static constexpr int comEventDeviceLost = 1100; // the device went away; the port is closed

    explicit SerialComm(QObject *parent = nullptr) : QObject(parent) {}

    virtual int CommPort() const = 0;
    virtual void setCommPort(int number) = 0;       // 8002 below 1; 8005 while open
    virtual QString Settings() const = 0;
    virtual void setSettings(const QString &text) = 0; // 380 for a malformed text
    virtual void setHandshaking(int mode) = 0;      // 0 only: no flow control
    virtual bool PortOpen() const = 0;
    virtual void setPortOpen(bool open) = 0;
    virtual void setDTREnable(bool enable) = 0;
    virtual void setRTSEnable(bool enable) = 0;
    virtual void setRThreshold(int count) = 0;
    virtual void setInputLen(int length) = 0;
    virtual void Output(const QByteArray &bytes) = 0;
    virtual QByteArray Input() = 0;
    // Input into a one-character read slot, without allocating: false when nothing waits.
    // (The receive handler reads one character at a time, so this is its hot path.)
    virtual bool Input(char &slot) = 0;
    virtual int InBufferCount() const = 0;
    int CommEvent() const { return m_deliveredEvent; }

    // The system's explanation of the last failure or of the device in use
    // (device path, reason), for the operator; plain text.
    virtual QString lastDetail() const { return m_detail; }
    // Where the current port number leads: "COM3 -> /dev/serial/by-id/... -> /dev/ttyUSB0".
    virtual QString describePort() const = 0;
    // The ports present now, one entry each: "COM1 = /dev/ttyUSB0 (FT232R USB UART)".
    virtual QStringList presentPorts() const = 0;

signals:
    void OnComm();

protected:
    // Queues an event for delivery. Consecutive receive events are merged into one.
    void postCommEvent(int code);
    void setDetail(QString detail) { m_detail = std::move(detail); }

private:
    void deliverCommEvent();

    QList<int> m_pendingEvents;
    bool m_deliveryQueued = false;
    int m_deliveredEvent = 0;
    QString m_detail;
};
