#include "FakeSerialComm.h"

using namespace CommErrors;

void FakeSerialComm::setCommPort(int number)
{
    calls << u"CommPort=" + QString::number(number);
    if (number < 1 || refusedPortNumbers.contains(number))
        throw CommError(InvalidPortNumber, QStringLiteral("COM%1: no such device").arg(number));
    if (m_open)
        throw CommError(PortAlreadyOpen, QStringLiteral("open"));
    m_portNumber = number;
}

void FakeSerialComm::setSettings(const QString &text)
{
    calls << u"Settings=" + text;
    if (!LineSettings::parse(text))
        throw CommError(InvalidPropertyValue, QStringLiteral("bad settings text"));
    m_settings = text;
}

void FakeSerialComm::setHandshaking(int mode)
{
    calls << u"Handshaking=" + QString::number(mode);
    if (mode != 0)
        throw CommError(InvalidPropertyValue, QStringLiteral("bad handshaking"));
}

void FakeSerialComm::setPortOpen(bool open)
{
    calls << (open ? QStringLiteral("open") : QStringLiteral("close"));
    if (!open) {
        m_open = false;
        return;
    }
    if (m_open)
        throw CommError(PortAlreadyOpen, QStringLiteral("already open"));
    if (failOpenWith)
        throw CommError(failOpenWith, QStringLiteral("COM%1: refused").arg(m_portNumber));
    m_open = true;
    ++opens;
}

void FakeSerialComm::setDTREnable(bool enable)
{
    dtr = enable;
}

void FakeSerialComm::setRTSEnable(bool enable)
{
    rts = enable;
}

void FakeSerialComm::setRThreshold(int count)
{
    rThreshold = count;
}

void FakeSerialComm::setInputLen(int length)
{
    inputLen = length;
}

void FakeSerialComm::Output(const QByteArray &bytes)
{
    if (!m_open)
        throw CommError(PortNotOpen, QStringLiteral("the port is not open"));
    if (failOutputWith)
        throw CommError(failOutputWith, QStringLiteral("write refused"));
    written << bytes;
}

QByteArray FakeSerialComm::Input()
{
    if (!m_open)
        throw CommError(PortNotOpen, QStringLiteral("the port is not open"));
    rxBuffer.remove(0, m_rxRead);
    m_rxRead = 0;
    const qsizetype n = inputLen > 0 ? qMin<qsizetype>(inputLen, rxBuffer.size()) : rxBuffer.size();
    const QByteArray out = rxBuffer.left(n);
    rxBuffer.remove(0, n);
    return out;
}

bool FakeSerialComm::Input(char &slot)
{
    if (!m_open)
        throw CommError(PortNotOpen, QStringLiteral("the port is not open"));
    if (m_rxRead >= rxBuffer.size())
        return false;
    slot = rxBuffer.at(m_rxRead++);
    if (m_rxRead >= rxBuffer.size()) {
        rxBuffer.clear();
        m_rxRead = 0;
    }
    return true;
}

int FakeSerialComm::InBufferCount() const
{
    if (!m_open)
        throw CommError(PortNotOpen, QStringLiteral("the port is not open"));
    return static_cast<int>(qMin<qsizetype>(rxBuffer.size() - m_rxRead, 32767));
}

void FakeSerialComm::receive(const QByteArray &bytes)
{
    rxBuffer.remove(0, m_rxRead);
    m_rxRead = 0;
    rxBuffer += bytes;
    postCommEvent(comEvReceive);
}

void FakeSerialComm::loseDevice()
{
    m_open = false;
    postCommEvent(comEventDeviceLost);
}
