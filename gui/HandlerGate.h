#pragma once

#include "transfer/Transfer.h"

#include <QList>

#include <functional>

// The windows' handlers run one at a time: a modal box runs a nested event
// loop, so bytes can arrive while a handler still waits for the user. What
// the transfer hears meanwhile waits until the running handler has ended:
// bytes stay in the port and room to write is looked at then, a lost line or
// the quiet after an empty reply waits its turn, and a tick is dropped (one
// time-out at a time).
class HandlerGate
{
public:
    explicit HandlerGate(Transfer &transfer)
        : m_transfer(transfer)
    {
        transfer.setGate([this](Transfer::Input input, const std::function<void()> &handler) { admit(input, handler); });
    }
    HandlerGate(const HandlerGate &) = delete;
    HandlerGate &operator=(const HandlerGate &) = delete;

    /// Runs handler (a window's Start, with its dialogs, or the transfer's
    /// own) as the one handler, then what waited for it.
    void run(const std::function<void()> &handler)
    {
        m_handling = true;
        handler();
        for (;;) {
            if (m_transfer.catchUpBytes())
                continue;
            if (m_held.isEmpty())
                break;
            m_held.takeFirst()();
        }
        // Bytes that left while a box was open were not followed by a piece.
        m_transfer.catchUpWritten();
        m_handling = false;
    }

private:
    void admit(Transfer::Input input, const std::function<void()> &handler)
    {
        using Input = Transfer::Input;
        if (!m_handling)
            run(handler);
        else if (input == Input::Lost || input == Input::Quiet || input == Input::Slice)
            m_held.append(handler);
    }

    Transfer &m_transfer;
    bool m_handling = false;
    QList<std::function<void()>> m_held;
};
