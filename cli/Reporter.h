#pragma once

#include "cli/CliRequest.h"
#include "transfer/Outcome.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QString>

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
    /// Opens the log again where it was named (it was rotated); false when it cannot, said.
    bool reopenLog();
    /// run is drawn in the progress line until it has an outcome.
    void track(const PortRun &run) { m_runs.push_back(&run); }
    /// Draws the progress line again, at most ten times a second.
    void progress();
    void clearProgress();
    /// The summary of a run that ended, message saying how, and its log line;
    /// false when the log could not take the line (said).
    bool ended(const PortRun &run, const QString &message);

private:
    bool writeLog(const QByteArray &line);  // whole line or none; m_logError says why not

    bool m_quiet;
    bool m_progress;
    bool m_progressShown = false;
    QElapsedTimer m_lastDraw;
    std::vector<const PortRun *> m_runs;
    QFile m_log;
    QString m_logPath;
    QString m_logError; // the system's reason the last log line failed
};
