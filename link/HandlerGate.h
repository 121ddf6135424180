#pragma once

#include <utility>

// Runs a window's handlers one at a time. A modal message box runs a nested
// event loop, so a serial notification can arrive while a handler still waits
// for the user; it is held (its bytes stay queued in the port) and handled once
// the running handler has ended. The port itself does not announce bytes that
// arrive while its own notification is being handled, so what is still
// waiting is looked at after every handler, announced or not.
class HandlerGate
{
public:
    bool busy() const { return m_busy; }
    void deferNotification() { m_notificationPending = true; }

    /// Runs handler, then calls catchUp(pending) until it returns false;
    /// pending tells whether a notification was held since the last call.
    template <typename Handler, typename CatchUp>
    void run(Handler &&handler, CatchUp &&catchUp)
    {
        m_busy = true;
        handler();
        while (catchUp(std::exchange(m_notificationPending, false))) {
        }
        m_busy = false;
    }

private:
    bool m_busy = false;
    bool m_notificationPending = false;
};
