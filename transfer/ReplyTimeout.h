#pragma once

#include <QElapsedTimer>

#include <functional>

class Timer;

// The reply time-out of a dialogue. Two rules:
// - Ticks (the windows): the limit is TickLimit ticks of a timer, one tick a
//   fifth of the time-out (a second by default); a tick counts towards it only
//   while the port has nothing left to send.
// - Silence (the command line): the limit is the longest time without any
//   byte from the terminal, measured on a monotonic clock, so it never ends
//   early; one single-shot wake-up at the deadline, moved on when the line
//   has moved meanwhile.
// Under both, a message whose bytes wait to go out while none has left the PC
// for the time-out is a stalled terminal.
class ReplyTimeout
{
public:
    static constexpr int TickLimit = 5;
    static constexpr int DefaultMs = 5000;

    enum class Rule { Ticks, Silence };
    enum class Verdict { Wait, Silent, Stalled };
    /// Milliseconds on a monotonic clock.
    using Clock = std::function<qint64()>;

    /// timer may be null: no time-out at all.
    explicit ReplyTimeout(Timer *timer);

    /// 0 waits for ever.
    void setTimeoutMs(int ms, Rule rule);
    int timeoutMs() const { return m_timeoutMs; }
    Rule rule() const { return m_rule; }
    /// For tests: the clock the Silence rule reads.
    void setClock(Clock clock) { m_clock = std::move(clock); }

    /// A message is going out: counting starts again, the clock runs.
    void start();
    void stop();
    /// Bytes came from the terminal: under Ticks the clock waits for the next message.
    void heard();
    /// Bytes of a message left the PC.
    void progressed();
    /// The timer fired. sending: bytes of a message still wait to go out.
    Verdict count(bool sending);
    int ticks() const { return m_ticks; }
    void resetTicks() { m_ticks = 0; }
    /// The last verdict was Stalled: bytes the terminal would not take are queued.
    bool stalled() const { return m_stalled; }

private:
    qint64 now() const { return m_clock ? m_clock() : m_elapsed.elapsed(); }
    void wakeAt(qint64 deadline);

    Timer *m_timer;
    int m_timeoutMs = 0;
    Rule m_rule = Rule::Ticks;
    int m_ticks = 0;
    int m_stallTicks = 0;      // Ticks: ticks since a byte last left the PC
    qint64 m_lastActivity = 0; // Silence: the clock when the line last moved
    bool m_stalled = false;
    QElapsedTimer m_elapsed;
    Clock m_clock;
};
