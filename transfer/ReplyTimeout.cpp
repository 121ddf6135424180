#include "transfer/ReplyTimeout.h"

#include "platform/Timer.h"

#include <algorithm>

namespace {
// Under the Silence rule the ticks only look at the clock: this many a
// time-out keep the report at most a tenth late.
constexpr int SilenceLooks = 10;
}

ReplyTimeout::ReplyTimeout(Timer *timer)
    : m_timer(timer)
{
    m_elapsed.start();
}

void ReplyTimeout::setTimeoutMs(int ms, Rule rule)
{
    m_timeoutMs = std::max(ms, 0);
    m_rule = rule;
    if (m_timer && m_timeoutMs > 0)
        m_timer->setInterval(std::max(1, m_timeoutMs / (rule == Rule::Ticks ? TickLimit : SilenceLooks)));
    if (m_timeoutMs == 0)
        stop();
}

void ReplyTimeout::start()
{
    m_ticks = 0;
    m_stallTicks = 0;
    m_lastActivity = now();
    if (m_timer && m_timeoutMs > 0)
        m_timer->start();
}

void ReplyTimeout::stop()
{
    if (m_timer)
        m_timer->stop();
}

void ReplyTimeout::heard()
{
    m_lastActivity = now();
}

void ReplyTimeout::progressed()
{
    m_stallTicks = 0;
    m_lastActivity = now();
}

ReplyTimeout::Verdict ReplyTimeout::count(bool sending)
{
    if (m_timeoutMs == 0)
        return Verdict::Wait;
    if (m_rule == Rule::Silence) {
        ++m_ticks;
        if (now() - m_lastActivity < m_timeoutMs)
            return Verdict::Wait;
        return sending ? Verdict::Stalled : Verdict::Silent;
    }
    if (sending) {
        // The message is still leaving the PC: not a silent terminal, but
        // one that takes nothing for five ticks has stopped taking data.
        return ++m_stallTicks >= TickLimit ? Verdict::Stalled : Verdict::Wait;
    }
    m_stallTicks = 0;
    ++m_ticks;
    return m_ticks >= TickLimit ? Verdict::Silent : Verdict::Wait;
}
