#include "transfer/ReplyTimeout.h"

#include "platform/Timer.h"

#include <algorithm>

ReplyTimeout::ReplyTimeout(Timer *timer)
    : m_timer(timer)
{
    m_elapsed.start();
}

void ReplyTimeout::setTimeoutMs(int ms, Rule rule)
{
    m_timeoutMs = std::max(ms, 0);
    m_rule = rule;
    if (m_timer) {
        m_timer->setSingleShot(rule == Rule::Silence);
        if (m_timeoutMs > 0 && rule == Rule::Ticks)
            m_timer->setInterval(std::max(1, m_timeoutMs / TickLimit));
    }
    if (m_timeoutMs == 0)
        stop();
}

void ReplyTimeout::wakeAt(qint64 deadline)
{
    m_timer->setInterval(int(std::clamp<qint64>(deadline - now(), 1, m_timeoutMs)));
    m_timer->start();
}

void ReplyTimeout::start()
{
    m_ticks = 0;
    m_stallTicks = 0;
    m_stalled = false;
    m_lastActivity = now();
    if (!m_timer || m_timeoutMs == 0)
        return;
    // Under Silence a wake-up already set comes no later than the new
    // deadline and moves itself on: no timer work per message.
    if (m_rule == Rule::Ticks)
        m_timer->start();
    else if (!m_timer->isActive())
        wakeAt(m_lastActivity + m_timeoutMs);
}

void ReplyTimeout::stop()
{
    if (m_timer)
        m_timer->stop();
}

void ReplyTimeout::heard()
{
    m_lastActivity = now();
    // As the windows are designed: any part of a reply stops the clock.
    if (m_rule == Rule::Ticks)
        stop();
}

void ReplyTimeout::progressed()
{
    m_stallTicks = 0;
    m_stalled = false;
    m_lastActivity = now();
}

ReplyTimeout::Verdict ReplyTimeout::count(bool sending)
{
    if (m_timeoutMs == 0)
        return Verdict::Wait;
    if (m_rule == Rule::Silence) {
        ++m_ticks;
        if (now() - m_lastActivity < m_timeoutMs) {
            wakeAt(m_lastActivity + m_timeoutMs);
            return Verdict::Wait;
        }
        m_stalled = sending;
        return sending ? Verdict::Stalled : Verdict::Silent;
    }
    if (sending) {
        // The message is still leaving the PC: not a silent terminal, but
        // one that takes nothing for five ticks has stopped taking data.
        m_stalled = ++m_stallTicks >= TickLimit;
        return m_stalled ? Verdict::Stalled : Verdict::Wait;
    }
    m_stallTicks = 0;
    ++m_ticks;
    return m_ticks >= TickLimit ? Verdict::Silent : Verdict::Wait;
}
