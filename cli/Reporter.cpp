#include "cli/Reporter.h"

#include "cli/ExitStatus.h"
#include "platform/SystemError.h"
#include "storage/DiskSync.h"
#include "storage/FileLock.h"
#include "storage/SafePath.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#endif

namespace {

constexpr int LogLockWaitMs = 3000;

#ifdef Q_OS_UNIX
// While a WaitEndedBySignals lives, SIGINT, SIGTERM and SIGHUP also end the
// wait for the log's lock, whichever thread the kernel hands them to; each
// still reaches the handler that was there before.
constexpr int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousAction[3];
volatile sig_atomic_t signalledDuringWait = 0;

void noteSignal(int sig)
{
    signalledDuringWait = 1;
    for (int i = 0; i < 3; ++i) {
        if (EndingSignals[i] != sig)
            continue;
        if (previousAction[i].sa_handler == SIG_DFL) {
            ::sigaction(sig, &previousAction[i], nullptr);
            ::raise(sig);
        } else if (previousAction[i].sa_handler != SIG_IGN) {
            previousAction[i].sa_handler(sig);
        }
    }
}

class WaitEndedBySignals
{
public:
    WaitEndedBySignals()
    {
        signalledDuringWait = 0;
        struct sigaction sa{};
        sa.sa_handler = noteSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (int i = 0; i < 3; ++i)
            ::sigaction(EndingSignals[i], &sa, &previousAction[i]);
    }
    ~WaitEndedBySignals()
    {
        for (int i = 0; i < 3; ++i)
            ::sigaction(EndingSignals[i], &previousAction[i], nullptr);
    }
    WaitEndedBySignals(const WaitEndedBySignals &) = delete;
    WaitEndedBySignals &operator=(const WaitEndedBySignals &) = delete;
    bool signalled() const { return signalledDuringWait != 0; }
};
#endif

} // namespace

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

namespace {
// Standard error is the journal's stream (systemd says which in
// JOURNAL_STREAM): each line then carries its syslog priority.
bool toJournal()
{
#ifdef Q_OS_UNIX
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat st{};
    return !stream.isEmpty() && ::fstat(STDERR_FILENO, &st) == 0
           && stream == QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
#else
    return false;
#endif
}
}

struct Reporter::Output
{
    QFile log;
    QString path;
    QString error; // the system's reason the last log line failed

    bool journal = toJournal();

    /// line as standard error shows it: under the journal with its syslog
    /// priority (6 info, 4 warning, 3 error), the journal naming the program
    /// itself; elsewhere after the program's name.
    QByteArray format(const QString &line, Level level) const
    {
        const char *prefix = !journal                ? "quillan-cli: "
                             : level == Level::Info    ? "<6>"
                             : level == Level::Warning ? "<4>"
                                                       : "<3>";
        return prefix + line.toUtf8() + '\n';
    }
    void sayError(const QString &line) const { toStandardError(format(line, Level::Error)); }
    static void toStandardError(const QByteArray &line)
    {
#ifdef Q_OS_UNIX
        // Not through stdio: a write stuck on a full pipe must not hold the
        // stream's lock, which the program's end takes.
        for (qsizetype done = 0; done < line.size();) {
            const ssize_t n = ::write(STDERR_FILENO, line.constData() + done, size_t(line.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            done += n;
        }
#else
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
#endif
    }
    bool open()
    {
        // Unbuffered: a failed write is seen, with the system's reason, at once.
        // A new log is its owner's alone (an existing one keeps its mode), is
        // reached only through links the system would follow, and a FIFO no
        // program reads is refused, not waited for.
        if (Error e = openForAppending(path, log, 0600)) {
            error = e.description;
            return false;
        }
        return true;
    }
    bool write(const QByteArray &line, bool endedBySignals);
};

Reporter::Reporter(bool quiet)
    : m_quiet(quiet)
    , m_progress(!quiet && isatty(STDERR_FILENO))
    , m_out(std::make_shared<Output>())
{
}

Reporter::~Reporter() = default;

void Reporter::writeInBackground()
{
    if (m_writer)
        return;
    m_writer = std::make_unique<BackgroundWriter>([out = m_out](qint64 dropped) {
        out->sayError(QStringLiteral("%1 lines could not be written: standard error or the log took none for too long")
                          .arg(dropped));
    });
}

void Reporter::finishWrites(int ms)
{
    // Said only if the writer gets going again: standard error may be what is stuck.
    if (m_writer && !m_writer->drain(ms))
        m_writer->post([out = m_out] {
            out->sayError(QStringLiteral("the last lines could not be written in time: standard error or the log "
                                         "took nothing"));
        });
}

void Reporter::say(const QString &line, Level level)
{
    if (m_quiet && level == Level::Info)
        return;
    clearProgress();
    sayLine(m_out->format(line, level));
}

void Reporter::sayLine(const QByteArray &line)
{
    if (m_writer)
        m_writer->post([line] { Output::toStandardError(line); });
    else
        Output::toStandardError(line);
}

bool Reporter::reopenLog(const QString &said, const QJsonObject &entry)
{
    if (m_out->path.isEmpty())
        return true;
    // Tried again at every asking: a log that could not be opened last time
    // (its folder was away) is opened once it can be, and only then said.
    const QByteArray line = m_quiet ? QByteArray() : m_out->format(said, Level::Info);
    const QByteArray logged = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
    const auto reopen = [out = m_out, line, logged] {
        out->log.close();
        if (!out->open()) {
            out->sayError(QStringLiteral("cannot open the log \"%1\" again: %2").arg(out->path, out->error));
            return false;
        }
        if (!line.isEmpty())
            Output::toStandardError(line);
        if (!out->write(logged, false))
            out->sayError(QStringLiteral("cannot write the log \"%1\": %2").arg(out->path, out->error));
        return true;
    };
    if (!m_writer)
        return reopen();
    m_writer->post(reopen);
    return true;
}

bool Reporter::openLog(const QString &path)
{
    if (path.isEmpty())
        return true;
    m_out->path = path;
    if (!m_out->open()) {
        say(QStringLiteral("cannot open the log \"%1\": %2").arg(path, m_out->error));
        return false;
    }
    return true;
}

bool Reporter::ended(const PortRun &run, const QString &message)
{
    const Outcome &o = *run.outcome;
    if (o.kind == Outcome::Kind::Completed) {
        say(run.upload ? QStringLiteral("%1: %2 received into %3")
                             .arg(run.port.label(), plural(o.count, "record", "records"), run.shown)
                       : QStringLiteral("%1: %2 sent from %3")
                             .arg(run.port.label(), plural(o.count, "line", "lines"), run.shown),
            Level::Info);
    } else {
        say(QStringLiteral("%1, %2: %3").arg(run.port.label(), run.shown, message));
    }
    return log(transferEntry(run.port, run.given, run.started, run.ended, *run.outcome, message));
}

QJsonObject transferEntry(const PortChoice &port, const QString &file, const QDateTime &started, const QDateTime &ended,
                          const Outcome &o, const QString &message)
{
    QJsonObject entry{
        {QStringLiteral("started"), started.toString(Qt::ISODateWithMs)},
        {QStringLiteral("ended"), ended.toString(Qt::ISODateWithMs)},
        {QStringLiteral("direction"), o.direction == Outcome::Direction::Upload ? QStringLiteral("upload")
                                                                                : QStringLiteral("download")},
        {QStringLiteral("port"), port.given},
        {QStringLiteral("device"), port.target.device},
        {QStringLiteral("file"), file == QLatin1String("-") || namesDatabase(file) ? shownDestination(file)
                                                                                   : QFileInfo(file).absoluteFilePath()},
        {QStringLiteral("count"), o.count},
        {QStringLiteral("bytes"), o.bytes},
        {QStringLiteral("outcome"), QLatin1String(ExitStatus::of(o.kind).name)},
        {QStringLiteral("message"), message},
    };
    if (o.unconfirmed)
        entry.insert(QStringLiteral("unconfirmed"), true);
    return entry;
}

bool Reporter::log(const QJsonObject &entry)
{
    if (m_out->path.isEmpty())
        return true;
    const QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
    const auto write = [out = m_out, line](bool endedBySignals) {
        if (out->write(line, endedBySignals))
            return true;
        out->sayError(QStringLiteral("cannot write the log \"%1\": %2").arg(out->path, out->error));
        return false;
    };
    if (!m_writer)
        return write(true);
    // Off the event loop nothing waits on it: the lock's bounded wait is enough.
    m_writer->post([write] { write(false); });
    return true;
}

bool Reporter::Output::write(const QByteArray &line, bool endedBySignals)
{
    if (!log.isOpen()) {
        error = QStringLiteral("it is not open");
        return false;
    }
#ifdef Q_OS_UNIX
    // Two runs logging to one file take turns, so that cutting back a line
    // that did not fit cuts only our own. Anyone who may read the log may
    // lock it: the wait is bounded, and on the event loop a signal ends it.
    const int fd = log.handle();
    std::optional<WaitEndedBySignals> ending;
    if (endedBySignals)
        ending.emplace();
    if (Error e = lockExclusiveWithin(fd, LogLockWaitMs, [&ending] { return ending && ending->signalled(); })) {
        error = e.description;
        return false;
    }
#else
    Q_UNUSED(endedBySignals);
#endif
    // /dev/full and pipes have no end to cut back to, and a pipe cannot be
    // synced: a line it took is written.
    const bool regular = !log.isSequential();
    const qint64 before = regular ? log.size() : 0;
    errno = 0;
    const qint64 written = log.write(line);
    Error e;
    if (written != line.size())
        e = errnoOr(log.errorString());
    else if (regular)
        e = syncToDisk(log.handle());
    if (e) {
        // A log line is in the file whole or not at all: half a line would
        // glue itself to the next run's.
        if (written > 0 && regular)
            log.resize(before);
        error = e.description;
    }
#ifdef Q_OS_UNIX
    ::flock(fd, LOCK_UN);
#endif
    return !e;
}

void Reporter::progress()
{
    if (!m_progress)
        return;
    if (m_lastDraw.isValid() && m_lastDraw.elapsed() < 100)
        return;
    m_lastDraw.start();
    QStringList parts;
    for (const PortRun *run : m_runs) {
        if (run->outcome)
            continue;
        const double s = std::max<qint64>(run->clock.elapsed(), 1) / 1000.0;
        if (run->upload) {
            parts.append(QStringLiteral("%1: %2 records, %3/s")
                             .arg(run->port.shortName())
                             .arg(run->count)
                             .arg(run->count / s, 0, 'f', 0));
        } else {
            const double share = run->fileSize > 0 ? 100.0 * run->fileDone / run->fileSize : 100.0;
            const double rate = run->fileDone / s;
            const QString left = rate > 0 ? QString::number((run->fileSize - run->fileDone) / rate, 'f', 0) + QStringLiteral(" s left")
                                          : QStringLiteral("?");
            parts.append(QStringLiteral("%1: %2 lines, %3 of %4 bytes (%5%), %6")
                             .arg(run->port.shortName())
                             .arg(run->count)
                             .arg(run->fileDone)
                             .arg(run->fileSize)
                             .arg(share, 0, 'f', 0)
                             .arg(left));
        }
    }
    std::fprintf(stderr, "\r\033[K%s", qUtf8Printable(parts.join(QStringLiteral(" | "))));
    std::fflush(stderr);
    m_progressShown = true;
}

void Reporter::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}
