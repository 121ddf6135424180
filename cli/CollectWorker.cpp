#include "cli/CollectWorker.h"

#include "cli/OutcomeWords.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QFile>


#ifndef Q_OS_WIN
#include <cerrno>
#include <sys/stat.h>
#endif

namespace {
// A device node or link that is not there (a USB adapter pulled, a cradle
// powered off); a Windows COM port is only known missing once it fails to open.
// One the system will not let us look at is there: opening it says why.
bool deviceGone(const QString &device)
{
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return false;
#else
    struct stat st{};
    return ::stat(QFile::encodeName(device).constData(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
#endif
}
}

CollectWorker::CollectWorker(const Setup &setup, QObject *parent)
    : QObject(parent)
    , m_setup(setup)
    , m_rig(Outcome::Direction::Upload, Transfer::Policy::Collect, setup.timeoutMs, setup.store)
{
    connect(&m_rig.transfer, &Transfer::finished, this, &CollectWorker::transferFinished);
    connect(&m_rig.transfer, &Transfer::recordSaved, this, [this](const QByteArray &, qint64 count) {
        if (count == 1) {
            m_watch = Watch::Docked;
            m_trouble.clear();
            tell(Reporter::Level::Info, QStringLiteral("docked (%1)").arg(m_setup.port.target.device));
        }
    });
    m_next.setSingleShot(true);
    connect(&m_next, &QTimer::timeout, this, &CollectWorker::poll);
}

void CollectWorker::start()
{
    if (m_setup.heartbeat && m_setup.heartbeatMs > 0) {
        connect(&m_heartbeat, &QTimer::timeout, this, [this] {
            m_setup.heartbeat->store(QDeadlineTimer::current().deadline());
        });
        m_heartbeat.start(m_setup.heartbeatMs);
    }
    Q_EMIT running();
    poll();
}

void CollectWorker::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_next.stop();
    // Between two messages: the record whose "REMOVE" went out is in the
    // file. The docking's end is told as any other (transferFinished).
    if (m_rig.transfer.underWay())
        m_rig.transfer.stop();
    else
        Q_EMIT finished();
}

void CollectWorker::tell(Reporter::Level level, const QString &text)
{
    Q_EMIT said(int(level), QStringLiteral("%1: %2").arg(m_setup.port.label(), text));
}

void CollectWorker::trouble(Reporter::Level level, const QString &text, const QString &kind)
{
    const QString key = kind.isEmpty() ? text : kind;
    if (key == m_trouble)
        return;
    m_trouble = key;
    tell(level, text);
}

void CollectWorker::watchAgainIn(int ms)
{
    if (m_stopping)
        Q_EMIT finished();
    else
        m_next.start(ms);
}

void CollectWorker::poll()
{
    if (m_stopping)
        return;
    const PortTarget &target = m_setup.port.target;
    if (deviceGone(target.device)) {
        if (m_watch != Watch::Absent)
            tell(Reporter::Level::Warning, m_watch == Watch::Starting
                                     ? QStringLiteral("%1 is not there; waiting for it").arg(target.device)
                                     : QStringLiteral("device gone (%1); waiting for it to come back").arg(target.device));
        m_watch = Watch::Absent;
        watchAgainIn(m_setup.intervalMs);
        return;
    }
    if (m_watch == Watch::Absent) {
        tell(Reporter::Level::Info, QStringLiteral("device back (%1)").arg(target.device));
        m_watch = Watch::Quiet;
    }
    // One docking never spans two files: the day is the one it began on.
    m_started = QDateTime::currentDateTimeUtc();
    // A database is connected to at the first poll and kept; one that cannot
    // be reached is tried again at the next, and nothing is asked meanwhile.
    m_path = m_rig.sink ? m_rig.sink->shown() : withDate(m_setup.file, QDate::currentDate());
    m_rig.transfer.begin(m_path, target, RecordFile::Mode::Append);
}

QString CollectWorker::ended(const Outcome &o) const
{
    return OutcomeWords::ended(o, {m_path, m_setup.timeoutMs, true, {}});
}

void CollectWorker::endDocking(const Outcome &o)
{
    QString said = ended(o);
    if (o.unconfirmed)
        said += QLatin1Char(' ') + OutcomeWords::unconfirmed(o.count);
    Q_EMIT dockingEnded(o, m_started, m_path, said.trimmed());
}

void CollectWorker::transferFinished(const Outcome &o)
{
    using Kind = Outcome::Kind;
    const bool docked = m_watch == Watch::Docked;
    const QString records = plural(o.count, "record", "records");
    int next = m_setup.intervalMs;
    switch (o.kind) {
    case Kind::Stopped:
        if (docked)
            endDocking(o);
        break;
    case Kind::Completed:
        if (docked) {
            tell(Reporter::Level::Info, QStringLiteral("uploaded %1 into %2").arg(records, m_path));
            endDocking(o);
            m_watch = Watch::Present;
        } else {
            // In its cradle with nothing to give: asked again only after a rest,
            // and no noise about it.
            m_watch = Watch::Present;
            m_trouble.clear();
            next = m_setup.restMs;
        }
        break;
    case Kind::TimedOut:
        if (docked || m_watch == Watch::Present)
            tell(Reporter::Level::Warning, QStringLiteral("no answer any more"));
        if (docked)
            endDocking(o);
        else if (!o.reply.isEmpty())
            // Noise differs from poll to poll: told once until the port changes.
            trouble(Reporter::Level::Warning, OutcomeWords::noise(o.reply), QStringLiteral("noise"));
        m_watch = Watch::Quiet;
        break;
    case Kind::Lost:
    case Kind::PortError:
        if (docked)
            endDocking(o);
        if (o.kind == Kind::Lost || o.error.kind == Error::Kind::NotFound || deviceGone(o.port.device)) {
            if (m_watch != Watch::Absent)
                tell(Reporter::Level::Warning,
                     QStringLiteral("device gone (%1); waiting for it to come back").arg(o.port.device));
            m_watch = Watch::Absent;
        } else {
            // A port that stays busy is told once, until it fails otherwise.
            trouble(Reporter::Level::Error, ended(o),
                    QStringLiteral("port: %1").arg(int(o.error.kind)));
        }
        break;
    case Kind::Refused:
    case Kind::FileError:
        if (docked)
            endDocking(o);
        trouble(o.kind == Kind::FileError ? Reporter::Level::Error : Reporter::Level::Warning,
                ended(o));
        m_watch = Watch::Quiet;
        break;
    }
    watchAgainIn(next);
}
