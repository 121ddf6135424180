#pragma once

#include "cli/CliRequest.h"
#include "cli/PortRig.h"
#include "cli/Reporter.h"
#include "transfer/Outcome.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>

// Watches one port for a terminal in its cradle and fetches its records, day
// and night: an idle port is asked "READ" now and then, a terminal that
// answers is uploaded as `upload --append` does, and a device that goes away
// is waited for. Made, run and destroyed in a thread of its own; the runner
// hears of it, and stops it, through queued signals only.
class CollectWorker : public QObject
{
    Q_OBJECT
public:
    struct Setup
    {
        PortChoice port;
        QString file;  // {port} replaced; {date} at each docking
        CliRequest::Store store;  // a database instead of the file
        int intervalMs = CliRequest::DefaultIntervalMs;
        int restMs = CliRequest::DefaultRestMs;
        int timeoutMs = CliRequest::DefaultTimeoutMs;
        // Set to QDeadlineTimer::current()'s ms every heartbeatMs while the worker's loop turns (0: never).
        std::atomic<qint64> *heartbeat = nullptr;
        int heartbeatMs = 0;
    };
    // How the port stands, as far as its events go.
    enum class Watch {
        Starting,  // not looked at yet
        Absent,    // the device is not there: waited for
        Quiet,     // present, no terminal answers
        Present,   // a terminal answers, with nothing to give
        Docked,    // a terminal's records are coming
    };
    explicit CollectWorker(const Setup &setup, QObject *parent = nullptr);

    /// Starts watching; running() once it does.
    void start();
    /// Ends between two messages; finished() follows.
    void stop();

Q_SIGNALS:
    void running();
    /// One event (a Reporter::Level): docked, uploaded, no answer any more,
    /// device gone or back, a failure.
    void said(int level, const QString &line);
    /// A docking with records (or one that failed under way) ended: its
    /// outcome, when it began, the file, and what to say of it.
    void dockingEnded(const Outcome &outcome, const QDateTime &started, const QString &file, const QString &message);
    void finished();

private:
    void poll();
    void transferFinished(const Outcome &o);
    void tell(Reporter::Level level, const QString &text);
    /// A trouble that repeats at every poll is told once, until it changes
    /// (kind: what counts as the same trouble; the text itself when empty).
    void trouble(Reporter::Level level, const QString &text, const QString &kind = {});
    /// How o ended, in the one sentence form of a docking.
    QString ended(const Outcome &o) const;
    void endDocking(const Outcome &o);
    void watchAgainIn(int ms);

    Setup m_setup;
    Watch m_watch = Watch::Starting;
    bool m_stopping = false;
    QString m_trouble;  // the last trouble told
    PortRig m_rig;
    QTimer m_next;
    QTimer m_heartbeat;
    QDateTime m_started;  // of the docking, or of the poll
    QString m_path;
};
