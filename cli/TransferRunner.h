#pragma once

#include "cli/CliRequest.h"
#include "cli/Reporter.h"
#include "cli/WorkerThreads.h"

#include <QObject>
#include <QTemporaryFile>

#include <memory>
#include <vector>

// Runs the upload or download a request asks for: one transfer per port, each
// in a worker of its own and ended however it ends with its port and file
// closed; the reporter tells how they go.
class TransferRunner : public QObject
{
    Q_OBJECT
public:
    explicit TransferRunner(const CliRequest &request, QObject *parent = nullptr);

    /// Runs every transfer to its end; the exit status.
    int run();

private:
    // One port's transfer as the main thread sees it.
    using Job = PortRun;

    bool copyStream();
    void start(Job &job);
    void transferFinished(Job &job, const struct Outcome &outcome);
    bool allEnded() const;
    void interrupt(int signal);
    QString describe(const Job &job) const;

    CliRequest m_request;
    Reporter m_reporter;
    std::vector<std::unique_ptr<Job>> m_jobs;
    std::unique_ptr<QTemporaryFile> m_stream; // download: the copy of a stream given as FILE
    bool m_streamFailed = false;
    Error m_streamError;
    bool m_logFailed = false;
    int m_signal = 0;  // the first signal that ended the run
    WorkerThreads m_workers;  // last: they end before what they reach
};
