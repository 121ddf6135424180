#pragma once

#include <utility>

// Runs a window's handlers one at a time. A modal message box runs a nested
// event loop, so a serial notification can arrive while a handler still waits
// for the user; it is held (its bytes stay queued in the port) and replayed
// once the running handler has ended.
class HandlerGate
{
public:
    bool busy() const { return m_busy; }
    void deferNotification() { m_notificationPending = true; }

    template <typename Handler, typename Replay>
    void run(Handler &&handler, Replay &&replayNotification)
    {
        m_busy = true;
        handler();
        m_busy = false;
        while (std::exchange(m_notificationPending, false)) {
            m_busy = true;
            replayNotification();
            m_busy = false;
        }
    }

private:
    bool m_busy = false;
    bool m_notificationPending = false;
};
