#pragma once

#include <QString>

#include <functional>
#include <memory>

// Runs writes in the order posted on a thread of its own, so that a log a
// reader holds locked, or a standard error that nobody reads, holds that
// thread and never the event loop, the watchdog or a stop. What cannot be
// queued (too much waits already) is dropped, counted and said once writing
// goes on. A write still stuck when the program ends is left behind: the
// thread holds nothing the program's end frees.
class BackgroundWriter
{
public:
    using Write = std::function<void()>;
    /// Said (given the number of writes dropped) before the next write that runs after drops.
    using DropNotice = std::function<void(qint64 dropped)>;

    explicit BackgroundWriter(DropNotice notice, int maxQueued = 10000);
    ~BackgroundWriter();
    BackgroundWriter(const BackgroundWriter &) = delete;
    BackgroundWriter &operator=(const BackgroundWriter &) = delete;

    void post(Write write);
    /// Waits up to ms for everything posted to be written; false when time ran out.
    bool drain(int ms);

private:
    struct Queue;
    std::shared_ptr<Queue> m_queue;
};
