#pragma once

#include <functional>

class SerialPort;

// Runs a window's handlers one at a time. A modal message box runs a nested
// event loop, so a serial notification can arrive while a handler still waits
// for the user; it is held (its bytes stay queued in the port) and handled once
// the running handler has ended. The port does not announce bytes that arrive
// while its own notification is being handled, so what is still waiting is
// looked at after every handler, announced or not.
class CommDispatch
{
public:
    /// handleComm(event) is the window's notification handler.
    CommDispatch(SerialPort &port, std::function<void(int event)> handleComm);

    /// The port's notification: handled now, or held while a handler runs.
    void notify();
    /// Runs another handler of the window (a timer tick, say) under the same rule.
    void run(const std::function<void()> &handler);
    bool busy() const { return m_busy; }

private:
    bool catchUp(bool notificationHeld);

    SerialPort &m_port;
    std::function<void(int)> m_handleComm;
    bool m_busy = false;
    bool m_notificationHeld = false;
};
