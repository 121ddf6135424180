#pragma once

#include "cli/BackgroundWriter.h"
#include "cli/CliRequest.h"
#include "transfer/Outcome.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// What the main thread knows of one port's transfer, all of it written there
// from what the port's worker tells.
struct PortRun
{
    PortChoice port;
    QString given; // FILE for this port, as given ("-": standard input)
    QString path;  // what the transfer opens: given, or the copy of a stream
    QString shown; // how messages name the file
    bool upload = true;
    std::optional<Outcome> outcome;  // set once it has ended
    QDateTime started;
    QDateTime ended;
    QElapsedTimer clock;
    qint64 count = 0;
    qint64 fileDone = 0;  // download: bytes of the file sent, and in all
    qint64 fileSize = 0;
};

/// "1 record", "2 records".
QString plural(qint64 n, const char *one, const char *many);
/// One transfer's line in the log: when, where, what moved, how it ended.
/// A record whose "REMOVE" was not answered is said to be unconfirmed.
QJsonObject transferEntry(const PortChoice &port, const QString &file, const QDateTime &started, const QDateTime &ended,
                          const Outcome &o, const QString &message);

// What quillan-cli tells: lines on standard error, the progress line while a
// transfer runs (only on a terminal), a summary and a log line for each port.
class Reporter
{
public:
    enum class Level { Info, Warning, Error };

    explicit Reporter(bool quiet);

    ~Reporter();

    /// From now on lines and log entries are written by a thread of their
    /// own (a service: nothing they wait for may hold its event loop). Their
    /// failures are said, not returned.
    void writeInBackground();
    /// Waits up to ms for what the background writes have not written yet.
    void finishWrites(int ms);
    /// Progress is drawn: not quiet, and standard error is a terminal.
    bool showsProgress() const { return m_progress; }
    /// Appends to the log at path (none: path empty); false when it cannot, said.
    bool openLog(const QString &path);
    /// One line of quillan-cli's own on standard error (info lines not when
    /// quiet), with its syslog priority under the journal.
    void say(const QString &line, Level level = Level::Error);
    /// Appends entry to the log as one JSON line (none: true); false when it
    /// cannot, said.
    bool log(const QJsonObject &entry);
    /// Opens the log again where it was named (it was rotated); false when it
    /// cannot, said. Once it has, said is said and entry logged.
    bool reopenLog(const QString &said, const QJsonObject &entry);
    /// run is drawn in the progress line until it has an outcome.
    void track(const PortRun &run) { m_runs.push_back(&run); }
    /// Draws the progress line again, at most ten times a second.
    void progress();
    void clearProgress();
    /// The summary of a run that ended, message saying how, and its log line;
    /// false when the log could not take the line (said).
    bool ended(const PortRun &run, const QString &message);

private:
    struct Output;
    /// line is said on standard error: at once, or by the background writer.
    void sayLine(const QByteArray &line);

    bool m_quiet;
    bool m_progress;
    bool m_progressShown = false;
    QElapsedTimer m_lastDraw;
    std::vector<const PortRun *> m_runs;
    // Standard error and the log, shared with the background writes: a write
    // stuck past the program's end still has them.
    std::shared_ptr<Output> m_out;
    std::unique_ptr<BackgroundWriter> m_writer;
};
