#include "cli/BackgroundWriter.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct BackgroundWriter::Queue
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Write> writes;
    DropNotice notice;
    int maxQueued = 0;
    qint64 dropped = 0;
    bool busy = false;    // a write runs
    bool closing = false; // nothing more will be posted

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return closing || !writes.empty(); });
            if (writes.empty())
                return;
            Write write = std::move(writes.front());
            writes.pop_front();
            const qint64 lost = std::exchange(dropped, 0);
            busy = true;
            lock.unlock();
            if (lost > 0)
                notice(lost);
            write();
            write = nullptr; // what it held goes outside the lock
            lock.lock();
            busy = false;
            changed.notify_all();
        }
    }
};

BackgroundWriter::BackgroundWriter(DropNotice notice, int maxQueued)
    : m_queue(std::make_shared<Queue>())
{
    m_queue->notice = std::move(notice);
    m_queue->maxQueued = maxQueued;
    // Detached: one stuck in a write must not hold the program's end.
    std::thread([queue = m_queue] { queue->run(); }).detach();
}

BackgroundWriter::~BackgroundWriter()
{
    const std::lock_guard lock(m_queue->mutex);
    m_queue->closing = true;
    m_queue->changed.notify_all();
}

void BackgroundWriter::post(Write write)
{
    const std::lock_guard lock(m_queue->mutex);
    if (int(m_queue->writes.size()) >= m_queue->maxQueued) {
        ++m_queue->dropped;
        return;
    }
    m_queue->writes.push_back(std::move(write));
    m_queue->changed.notify_all();
}

bool BackgroundWriter::drain(int ms)
{
    std::unique_lock lock(m_queue->mutex);
    return m_queue->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                     [this] { return m_queue->writes.empty() && !m_queue->busy; });
}
