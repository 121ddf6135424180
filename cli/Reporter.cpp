#include "cli/Reporter.h"

#include "cli/ExitStatus.h"
#include "platform/SystemError.h"
#include "storage/DiskSync.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>

#include <cerrno>
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

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

Reporter::Reporter(bool quiet)
    : m_quiet(quiet)
    , m_progress(!quiet && isatty(STDERR_FILENO))
{
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

void Reporter::say(const QString &line, Level level)
{
    if (m_quiet && level == Level::Info)
        return;
    clearProgress();
    static const bool journal = toJournal();
    // syslog's priorities: 6 info, 4 warning, 3 error.
    const char *priority = !journal ? "" : level == Level::Info ? "<6>" : level == Level::Warning ? "<4>" : "<3>";
    std::fprintf(stderr, "%squillan-cli: %s\n", priority, qUtf8Printable(line));
    std::fflush(stderr);
}

bool Reporter::reopenLog()
{
    if (!m_log.isOpen())
        return true;
    const QString path = m_log.fileName();
    m_log.close();
    return openLog(path);
}

bool Reporter::openLog(const QString &path)
{
    if (path.isEmpty())
        return true;
    m_log.setFileName(path);
    // Unbuffered: a failed write is seen, with the system's reason, at once.
    if (!m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        say(QStringLiteral("cannot open the log \"%1\": %2").arg(path, m_log.errorString()));
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
        {QStringLiteral("file"), file == QLatin1String("-") ? file : QFileInfo(file).absoluteFilePath()},
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
    if (!m_log.isOpen())
        return true;
    if (writeLog(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n'))
        return true;
    say(QStringLiteral("cannot write the log \"%1\": %2").arg(m_log.fileName(), m_logError));
    return false;
}

bool Reporter::writeLog(const QByteArray &line)
{
#ifdef Q_OS_UNIX
    // Two runs logging to one file take turns, so that cutting back a line
    // that did not fit cuts only our own.
    const int fd = m_log.handle();
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
#endif
    const bool cutBack = !m_log.isSequential(); // /dev/full and pipes have no end to cut
    const qint64 before = cutBack ? m_log.size() : 0;
    errno = 0;
    const qint64 written = m_log.write(line);
    Error e;
    if (written != line.size())
        e = errnoOr(m_log.errorString());
    else
        e = syncToDisk(m_log.handle());
    if (e) {
        // A log line is in the file whole or not at all: half a line would
        // glue itself to the next run's.
        if (written > 0 && cutBack)
            m_log.resize(before);
        m_logError = e.description;
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
