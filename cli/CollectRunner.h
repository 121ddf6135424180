#pragma once

#include "cli/CliRequest.h"
#include "cli/Reporter.h"

#include <QObject>
#include <QThread>
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
    ~CollectRunner() override;

    /// Collects until stopped; the exit status (0 for an ordinary stop).
    int run();

Q_SIGNALS:
    void stopRequested();

private:
    void caught(int signal);
    void workerRunning();
    void workerFinished();
    void dockingEnded(const PortChoice &port, const Outcome &o, const QDateTime &started, const QString &file,
                      const QString &message);
    void event(const QString &port, int level, const QString &line);
    void shutDown();

    CliRequest m_request;
    Reporter m_reporter;
    std::vector<std::unique_ptr<QThread>> m_threads;
    QTimer m_watchdog;
    std::atomic<bool> m_stopAsked{false};  // read by a worker as it starts
    int m_running = 0;
    int m_finished = 0;
};
