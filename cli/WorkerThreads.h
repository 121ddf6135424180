#pragma once

#include <QMutex>
#include <QObject>
#include <QThread>

#include <memory>
#include <vector>

// Workers each in a thread of its own, as Qt's worker-object pattern has
// them: made in the thread as it starts, destroyed there as it ends, and
// reached only through queued signals. The threads end with this object.
class WorkerThreads : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~WorkerThreads() override { shutDown(); }

    /// Starts a thread called name that makes Worker(setup); wire(worker)
    /// connects it, in that thread, before Worker::start().
    template<class Worker, class Setup, class Wire>
    void start(const QString &name, const Setup &setup, Wire wire);
    /// Worker::stop() for every worker, also one still being made.
    void stop()
    {
        const QMutexLocker lock(&m_stopping);
        m_stopAsked = true;
        Q_EMIT stopRequested();
    }
    bool stopAsked() const { return m_stopAsked; }
    qsizetype size() const { return qsizetype(m_threads.size()); }
    /// Ends every thread, its worker destroyed there first.
    void shutDown()
    {
        for (auto &thread : m_threads) {
            thread->quit();
            thread->wait();
        }
    }

Q_SIGNALS:
    void stopRequested();

private:
    std::vector<std::unique_ptr<QThread>> m_threads;
    // A worker being made hears a stop either queued or as it starts, never both.
    QMutex m_stopping;
    bool m_stopAsked = false;
};

template<class Worker, class Setup, class Wire>
void WorkerThreads::start(const QString &name, const Setup &setup, Wire wire)
{
    QThread *thread = m_threads.emplace_back(std::make_unique<QThread>()).get();
    thread->setObjectName(name);
    connect(thread, &QThread::started, [this, thread, setup, wire] {
        auto *worker = new Worker(setup);
        connect(thread, &QThread::finished, worker, &QObject::deleteLater);
        wire(worker);
        worker->start();
        const QMutexLocker lock(&m_stopping);
        connect(this, &WorkerThreads::stopRequested, worker, &Worker::stop);
        if (m_stopAsked)
            worker->stop();
    });
    thread->start();
}
