#pragma once

#include "cli/CliRequest.h"
#include "cli/Reporter.h"
#include "cli/WorkerThreads.h"

#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <vector>

struct Outcome;

// quillan-cli collect: a worker per port, each in its thread, watching its
// cradle until SIGTERM or SIGINT; SIGHUP reopens the log. Under systemd it
// says when it is ready, that it is alive, and when it stops.
class CollectRunner : public QObject
{
    Q_OBJECT
public:
    explicit CollectRunner(const CliRequest &request, QObject *parent = nullptr);

    /// Collects until stopped; the exit status (0 for an ordinary stop).
    int run();

private:
    void caught(int signal);
    void workerRunning();
    void workerFinished();
    void dockingEnded(const PortChoice &port, const Outcome &o, const QDateTime &started, const QString &file,
                      const QString &message);
    static QJsonObject eventEntry(const QString &port, int level, const QString &line);
    void event(const QString &port, int level, const QString &line);
    /// WATCHDOG=1, if every worker was heard of within limitMs.
    void feedWatchdog(int limitMs);
    /// How many of ports the open-file limit lets be watched.
    static int portsThatFit(int ports);

    CliRequest m_request;
    Reporter m_reporter;
    QTimer m_watchdog;
    int m_running = 0;
    int m_finished = 0;
    std::unique_ptr<std::atomic<qint64>[]> m_heartbeats;  // when each worker's loop last turned (the monotonic clock's ms)
    bool m_stuckSaid = false;
    WorkerThreads m_workers;  // last: they end before what they reach
};
