#include "SerialComm.h"

#include <QMetaObject>

void SerialComm::postCommEvent(int code)
{
    if (code == comEvReceive && !m_pendingEvents.isEmpty() && m_pendingEvents.last() == code)
        return;
    m_pendingEvents.append(code);
    if (!m_deliveryQueued) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &SerialComm::deliverCommEvent, Qt::QueuedConnection);
    }
}

void SerialComm::deliverCommEvent()
{
    m_deliveryQueued = false;
    if (m_pendingEvents.isEmpty())
        return;
    const int code = m_pendingEvents.takeFirst();
    // Re-post before delivering: the handler may wait in a nested event loop, and the events
    // still pending must reach it there.
    if (!m_pendingEvents.isEmpty()) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &SerialComm::deliverCommEvent, Qt::QueuedConnection);
    }
    const int previous = m_deliveredEvent;
    m_deliveredEvent = code;
    emit OnComm();
    m_deliveredEvent = previous;
}
