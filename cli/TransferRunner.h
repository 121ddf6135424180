#pragma once

#include "cli/CliRequest.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTemporaryFile>

#include <memory>
#include <vector>

// Runs the upload or download a request asks for: one transfer per port, all
// at once in one event loop, each ended however it ends with its port and
// file closed. Reports on standard error and in the log.
class TransferRunner : public QObject
{
    Q_OBJECT
public:
    explicit TransferRunner(const CliRequest &request, QObject *parent = nullptr);
    ~TransferRunner() override;

    /// Runs every transfer to its end; the exit status.
    int run();

private:
    struct Job;

    bool openLog();
    bool copyStream();
    void makeTransfer(Job &job, bool upload);
    void start(Job &job);
    void transferFinished(Job &job, const struct Outcome &outcome);
    void conclude(Job &job);
    void interrupt(int signal);
    void report(const QString &line);
    void showProgress(bool force = false);
    void clearProgress();
    bool writeLog(const Job &job);  // whole line or none; m_logError says why not
    QString describe(const Job &job) const;

    CliRequest m_request;
    std::vector<std::unique_ptr<Job>> m_jobs;
    QFile m_log;
    std::unique_ptr<QTemporaryFile> m_stream; // download: the copy of a stream given as FILE
    bool m_streamFailed = false;
    Error m_streamError;
    bool m_logFailed = false;
    QString m_logError; // the system's reason the last log line failed
    bool m_interrupted = false;
    int m_signal = 0;  // the first signal that ended the run
    bool m_progressShown = false;
    bool m_progress = false;
    QElapsedTimer m_lastDraw;
};
