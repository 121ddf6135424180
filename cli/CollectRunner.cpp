#include "cli/CollectRunner.h"

#include "cli/CollectWorker.h"
#include "cli/ExitStatus.h"
#include "cli/ServiceManager.h"
#include "cli/SignalWatch.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QTimer>

#include "platform/ProcessSetup.h"

#include <algorithm>
#include <csignal>

namespace {
// How long the last lines may take to reach the log and standard error.
constexpr int LastWritesMs = 3000;
}

CollectRunner::CollectRunner(const CliRequest &request, QObject *parent)
    : QObject(parent)
    , m_request(request)
    , m_reporter(request.quiet)
{
}

int CollectRunner::run()
{
    if (!m_reporter.openLog(m_request.logPath))
        return ExitStatus::File;
    // Nothing a log or standard error waits for may hold the loop below.
    m_reporter.writeInBackground();
    SignalWatch watch;
    connect(&watch, &SignalWatch::caught, this, &CollectRunner::caught);
    const int watchdogMs = watchdogIntervalMs();
    m_heartbeats = std::make_unique<std::atomic<qint64>[]>(m_request.ports.size());
    if (watchdogMs) {
        // From the event loop, and only while every worker's loop turns too:
        // a hung loop is a hung service, and so is a port's stuck worker.
        connect(&m_watchdog, &QTimer::timeout, this, [this, watchdogMs] { feedWatchdog(2 * watchdogMs); });
        m_watchdog.start(watchdogMs);
    }
    const int fit = portsThatFit(int(m_request.ports.size()));

    for (qsizetype i = 0; i < m_request.ports.size(); ++i) {
        const PortChoice &port = m_request.ports.at(i);
        if (i >= fit) {
            event(port.given, int(Reporter::Level::Error),
                  QStringLiteral("%1: not watched: too many open files (the limit, ulimit -n or LimitNOFILE=, lets "
                                 "%2 ports be watched)")
                      .arg(port.label())
                      .arg(fit));
            continue;
        }
        CollectWorker::Setup setup;
        setup.port = port;
        setup.heartbeat = &m_heartbeats[i];
        setup.heartbeatMs = watchdogMs;
        m_heartbeats[i] = QDeadlineTimer::current().deadline();
        setup.file = m_request.fileFor(port);
        if (!m_request.store.destination.isEmpty())
            setup.store = m_request.storeFor(port);
        setup.intervalMs = m_request.intervalMs;
        setup.restMs = m_request.restMs;
        setup.timeoutMs = m_request.timeoutMs;
        m_workers.start<CollectWorker>(port.shortName(), setup, [this, port](CollectWorker *worker) {
            connect(worker, &CollectWorker::running, this, &CollectRunner::workerRunning);
            connect(worker, &CollectWorker::finished, this, &CollectRunner::workerFinished);
            connect(worker, &CollectWorker::said, this,
                    [this, given = port.given](int level, const QString &line) { event(given, level, line); });
            connect(worker, &CollectWorker::dockingEnded, this,
                    [this, port](const Outcome &o, const QDateTime &started, const QString &file,
                                 const QString &message) { dockingEnded(port, o, started, file, message); });
        });
    }
    if (m_workers.size() == 0) {
        m_reporter.finishWrites(LastWritesMs);
        return ExitStatus::File;
    }
    QCoreApplication::exec();
    m_reporter.say(QStringLiteral("collection stopped"), Reporter::Level::Info);
    m_workers.shutDown();
    m_reporter.finishWrites(LastWritesMs);
    return ExitStatus::Completed;
}

void CollectRunner::feedWatchdog(int limitMs)
{
    const qint64 t = QDeadlineTimer::current().deadline();
    for (qsizetype i = 0; i < m_workers.size(); ++i) {
        if (t - m_heartbeats[i].load() > limitMs) {
            if (!m_stuckSaid) {
                m_stuckSaid = true;
                const QString name = m_request.ports.at(i).shortName();  // its thread's name
                event(name, int(Reporter::Level::Error),
                      QStringLiteral("%1: its worker has not been heard of for %2 s; the service manager's watchdog "
                                     "will restart the service")
                          .arg(name)
                          .arg((t - m_heartbeats[i].load()) / 1000));
            }
            return;
        }
    }
    notifyServiceManager("WATCHDOG=1");
}

int CollectRunner::portsThatFit(int ports)
{
    const int free = freeDescriptors();
    if (free < 0)
        return ports;
    // A port's thread, its device, its record file and its folder while a
    // docking runs; a few more for the log reopened and the service manager.
    constexpr int PerPort = 5, Reserve = 8;
    return std::clamp((free - Reserve) / PerPort, 0, ports);
}

void CollectRunner::caught(int signal)
{
#ifdef SIGHUP
    if (signal == SIGHUP) { // the log was rotated
        const QString said = QStringLiteral("log reopened");
        m_reporter.reopenLog(said, eventEntry(QString(), int(Reporter::Level::Info), said));
        return;
    }
#else
    Q_UNUSED(signal);
#endif
    if (!m_workers.stopAsked()) {
        m_watchdog.stop();
        notifyServiceManager("STOPPING=1");
    }
    m_workers.stop();
}

void CollectRunner::workerRunning()
{
    if (++m_running < m_workers.size())
        return;
    notifyServiceManager("READY=1");
    m_reporter.say(QStringLiteral("collecting from %1 into %2").arg(plural(m_running, "port", "ports"), shownDestination(m_request.file)),
                   Reporter::Level::Info);
}

void CollectRunner::workerFinished()
{
    if (++m_finished == m_workers.size())
        QCoreApplication::exit(0);
}

QJsonObject CollectRunner::eventEntry(const QString &port, int level, const QString &line)
{
    static constexpr const char *Names[] = {"info", "warning", "error"};
    return {
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("port"), port},
        {QStringLiteral("event"), QLatin1String(Names[level])},
        {QStringLiteral("message"), line},
    };
}

void CollectRunner::event(const QString &port, int level, const QString &line)
{
    m_reporter.say(line, Reporter::Level(level));
    m_reporter.log(eventEntry(port, level, line));
}

void CollectRunner::dockingEnded(const PortChoice &port, const Outcome &o, const QDateTime &started,
                                 const QString &file, const QString &message)
{
    m_reporter.log(transferEntry(port, file, started, QDateTime::currentDateTimeUtc(), o, message));
}
