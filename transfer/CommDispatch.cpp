#include "transfer/CommDispatch.h"

#include "link/SerialPort.h"

#include <utility>

CommDispatch::CommDispatch(SerialPort &port, std::function<void(int)> handleComm)
    : m_port(port)
    , m_handleComm(std::move(handleComm))
{
}

void CommDispatch::notify()
{
    if (m_busy) {
        m_notificationHeld = true;
        return;
    }
    run([this] { m_handleComm(m_port.commEvent()); });
}

void CommDispatch::run(const std::function<void()> &handler)
{
    m_busy = true;
    handler();
    while (catchUp(std::exchange(m_notificationHeld, false))) {
    }
    m_busy = false;
}

bool CommDispatch::catchUp(bool notificationHeld)
{
    if (m_port.inBufferCount() > 0) {
        m_handleComm(CommEvent::Receive);
        return true;
    }
    if (notificationHeld && m_port.commEvent() == CommEvent::Lost) {
        m_handleComm(CommEvent::Lost);
        return true;
    }
    return false;
}
