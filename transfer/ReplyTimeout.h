#pragma once

class SerialPort;
class Timer;

// The reply time-out of a dialogue, counted in ticks of a timer: the limit is
// TickLimit ticks, one tick a fifth of the time-out (a second by default). A
// tick counts only while the port has nothing left to send, so a long line
// still on its way to the terminal is not taken for a silent terminal.
class ReplyTimeout
{
public:
    static constexpr int TickLimit = 5;
    static constexpr int DefaultMs = 5000;

    /// timer may be null: no time-out at all.
    ReplyTimeout(Timer *timer, const SerialPort &port);

    /// 0 waits for ever.
    void setTimeoutMs(int ms);

    /// Ticks back to 0 and the timer running.
    void start();
    void stop();
    /// Counts one tick; true when the limit is reached.
    bool count();
    int ticks() const { return m_ticks; }
    void resetTicks() { m_ticks = 0; }

private:
    Timer *m_timer;
    const SerialPort &m_port;
    int m_timeoutMs = 0;
    int m_ticks = 0;
};
