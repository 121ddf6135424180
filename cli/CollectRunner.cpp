#include "cli/CollectRunner.h"

#include "cli/CollectWorker.h"
#include "cli/ExitStatus.h"
#include "cli/ServiceManager.h"
#include "cli/SignalWatch.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonObject>
#include <QTimer>

#include <csignal>

CollectRunner::CollectRunner(const CliRequest &request, QObject *parent)
    : QObject(parent)
    , m_request(request)
    , m_reporter(request.quiet)
{
}

CollectRunner::~CollectRunner()
{
    shutDown();
}

void CollectRunner::shutDown()
{
    // A worker is destroyed in its thread as the thread ends.
    for (auto &thread : m_threads) {
        thread->quit();
        thread->wait();
    }
}

int CollectRunner::run()
{
    if (!m_reporter.openLog(m_request.logPath))
        return ExitStatus::File;
    SignalWatch watch;
    connect(&watch, &SignalWatch::caught, this, &CollectRunner::caught);
    if (const int ms = watchdogIntervalMs()) {
        // From the event loop: a loop that hangs is a service that hangs.
        connect(&m_watchdog, &QTimer::timeout, [] { notifyServiceManager("WATCHDOG=1"); });
        m_watchdog.start(ms);
    }

    for (const PortChoice &port : std::as_const(m_request.ports)) {
        CollectWorker::Setup setup;
        setup.port = port;
        setup.file = m_request.fileFor(port);
        setup.intervalMs = m_request.intervalMs;
        setup.restMs = m_request.restMs;
        setup.timeoutMs = m_request.timeoutMs;
        auto thread = std::make_unique<QThread>();
        thread->setObjectName(port.shortName());
        QThread *t = thread.get();
        // Made in its thread as the thread starts, destroyed there as it ends.
        connect(t, &QThread::started, [this, t, setup] {
            auto *worker = new CollectWorker(setup);
            connect(t, &QThread::finished, worker, &QObject::deleteLater);
            connect(this, &CollectRunner::stopRequested, worker, &CollectWorker::stop);
            connect(worker, &CollectWorker::running, this, &CollectRunner::workerRunning);
            connect(worker, &CollectWorker::finished, this, &CollectRunner::workerFinished);
            connect(worker, &CollectWorker::said, this,
                    [this, port = setup.port.given](int level, const QString &line) { event(port, level, line); });
            connect(worker, &CollectWorker::dockingEnded, this,
                    [this, setup](const Outcome &o, const QDateTime &started, const QString &file,
                                  const QString &message) {
                        dockingEnded(setup.port, o, started, file, message);
                    });
            worker->start();
            // A stop asked for before the worker could hear it.
            if (m_stopAsked)
                worker->stop();
        });
        m_threads.push_back(std::move(thread));
    }
    for (auto &thread : m_threads)
        thread->start();
    QCoreApplication::exec();
    m_reporter.say(QStringLiteral("collection stopped"), Reporter::Level::Info);
    shutDown();
    return ExitStatus::Completed;
}

void CollectRunner::caught(int signal)
{
#ifdef SIGHUP
    if (signal == SIGHUP) { // the log was rotated
        if (m_reporter.reopenLog())
            event(QString(), int(Reporter::Level::Info), QStringLiteral("log reopened"));
        return;
    }
#else
    Q_UNUSED(signal);
#endif
    if (!m_stopAsked) {
        m_watchdog.stop();
        notifyServiceManager("STOPPING=1");
    }
    m_stopAsked = true;
    Q_EMIT stopRequested();
}

void CollectRunner::workerRunning()
{
    if (++m_running < int(m_threads.size()))
        return;
    notifyServiceManager("READY=1");
    m_reporter.say(QStringLiteral("collecting from %1 into %2").arg(plural(m_running, "port", "ports"), m_request.file),
                   Reporter::Level::Info);
}

void CollectRunner::workerFinished()
{
    if (++m_finished == int(m_threads.size()))
        QCoreApplication::exit(0);
}

void CollectRunner::event(const QString &port, int level, const QString &line)
{
    static constexpr const char *Names[] = {"info", "warning", "error"};
    m_reporter.say(line, Reporter::Level(level));
    m_reporter.log({
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("port"), port},
        {QStringLiteral("event"), QLatin1String(Names[level])},
        {QStringLiteral("message"), line},
    });
}

void CollectRunner::dockingEnded(const PortChoice &port, const Outcome &o, const QDateTime &started,
                                 const QString &file, const QString &message)
{
    m_reporter.log(transferEntry(port, file, started, QDateTime::currentDateTimeUtc(), o, message));
}
