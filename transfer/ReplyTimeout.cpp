#include "transfer/ReplyTimeout.h"

#include "link/SerialPort.h"
#include "platform/Timer.h"

#include <algorithm>

ReplyTimeout::ReplyTimeout(Timer *timer, const SerialPort &port)
    : m_timer(timer)
    , m_port(port)
{
}

void ReplyTimeout::setTimeoutMs(int ms)
{
    m_timeoutMs = std::max(ms, 0);
    if (m_timer && m_timeoutMs > 0)
        m_timer->setInterval(std::max(1, m_timeoutMs / TickLimit));
    if (m_timeoutMs == 0)
        stop();
}

void ReplyTimeout::start()
{
    m_ticks = 0;
    if (m_timer && m_timeoutMs > 0)
        m_timer->start();
}

void ReplyTimeout::stop()
{
    if (m_timer)
        m_timer->stop();
}

bool ReplyTimeout::count()
{
    if (m_port.bytesToWrite() > 0)
        return false; // the message is still leaving the PC
    ++m_ticks;
    return m_ticks >= TickLimit;
}
