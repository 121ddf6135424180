#include "cli/TransferRunner.h"

#include "cli/ExitStatus.h"
#include "cli/OutcomeWords.h"
#include "cli/PortWorker.h"
#include "cli/SignalWatch.h"
#include "platform/SystemError.h"
#include "storage/LineReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <csignal>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// How messages name a stream given as FILE.
QString streamName(const QString &given)
{
    return given == QLatin1String("-") ? QStringLiteral("standard input") : given;
}


// A file the command line refuses before the transfer starts, in its own words.
Outcome ownFileError(Error::Kind kind, const QString &said)
{
    Outcome o;
    o.kind = Outcome::Kind::FileError;
    o.error = {kind, said};
    return o;
}

} // namespace

TransferRunner::TransferRunner(const CliRequest &request, QObject *parent)
    : QObject(parent)
    , m_request(request)
    , m_reporter(request.quiet)
{
}

int TransferRunner::run()
{
    const bool upload = m_request.command == CliRequest::Command::Upload;
    // A log that cannot take the record of a transfer stops it before it starts.
    if (!m_reporter.openLog(m_request.logPath))
        return ExitStatus::File;
    // Before the signal watch: Ctrl-C while the stream is still being read
    // ends the program at once; nothing has been sent yet.
    if (!upload && !copyStream())
        m_streamFailed = true;

    SignalWatch watch;
    connect(&watch, &SignalWatch::caught, this, &TransferRunner::interrupt);

    for (const PortChoice &port : std::as_const(m_request.ports)) {
        auto job = std::make_unique<Job>();
        job->port = port;
        job->upload = upload;
        job->given = m_request.fileFor(port);
        job->path = m_stream ? m_stream->fileName() : job->given;
        job->shown = m_stream ? streamName(job->given) : shownDestination(job->given);
        m_reporter.track(*job);
        m_jobs.push_back(std::move(job));
    }
    for (auto &job : m_jobs)
        start(*job);

    if (!allEnded())
        QCoreApplication::exec();
    m_reporter.clearProgress();
    m_workers.shutDown();

    int status = ExitStatus::Completed;
    for (auto &job : m_jobs) {
        int s = ExitStatus::of(job->outcome ? job->outcome->kind : Outcome::Kind::Stopped).status;
#ifdef SIGHUP
        if (s == ExitStatus::Interrupted && m_signal == SIGHUP)
            s = ExitStatus::HungUp;
#endif
        if (s != ExitStatus::Completed) {
            status = s;
            break;
        }
    }
    if (status == ExitStatus::Completed && m_logFailed)
        status = ExitStatus::File;
    return status;
}

bool TransferRunner::copyStream()
{
    // Standard input ("-"), or a pipe named as FILE (process substitution):
    // its lines are read ahead into a file of our own, so that the line
    // endings are decided once for all of it, as for any file, and the size
    // is known. Memory stays one piece; a regular file is read where it is.
    const QString given = m_request.file;
    QFile in;
    if (given == QLatin1String("-")) {
        if (!in.open(stdin, QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            m_streamError = {Error::Kind::Io,
                             QStringLiteral("cannot read standard input: %1").arg(in.errorString())};
            return false;
        }
    } else {
#ifdef Q_OS_UNIX
        struct stat st{};
        if (::stat(QFile::encodeName(given).constData(), &st) != 0 || !S_ISFIFO(st.st_mode))
            return true;
        in.setFileName(given);
        if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            m_streamError = {Error::Kind::Io, QStringLiteral("cannot read \"%1\": %2").arg(given, in.errorString())};
            return false;
        }
#else
        return true;
#endif
    }
    m_stream = std::make_unique<QTemporaryFile>(QDir::temp().filePath(QStringLiteral("quillan-cli-XXXXXX.txt")));
    if (!m_stream->open()) {
        m_streamError = {Error::Kind::Io, QStringLiteral("cannot keep a copy of %1 in %2: %3")
                                                    .arg(streamName(given), QDir::tempPath(), m_stream->errorString())};
        m_stream.reset();
        return false;
    }
    QByteArray chunk(LineReader::ChunkSize, Qt::Uninitialized);
    for (;;) {
        errno = 0;
        const qint64 n = in.read(chunk.data(), chunk.size());
        if (n < 0) {
            const Error e = errnoOr(in.errorString());
            m_streamError = {e.kind, QStringLiteral("cannot read %1: %2").arg(streamName(given), e.description)};
            return false;
        }
        if (n == 0)
            break;
        errno = 0;
        if (m_stream->write(chunk.constData(), n) != n || !m_stream->flush()) {
            const Error e = errnoOr(m_stream->errorString());
            m_streamError = {e.kind, QStringLiteral("cannot keep a copy of %1 in %2: %3")
                                           .arg(streamName(given), QDir::tempPath(), e.description)};
            return false;
        }
    }
    m_stream->close(); // the transfer opens it by name; it is removed with the runner
    return true;
}

void TransferRunner::start(Job &job)
{
    job.started = QDateTime::currentDateTimeUtc();
    job.clock.start();
    PortWorker::Setup setup;
    setup.upload = job.upload;
    setup.path = job.path;
    setup.target = job.port.target;
    setup.timeoutMs = m_request.timeoutMs;
    setup.progress = m_reporter.showsProgress();
    if (job.upload && !m_request.store.destination.isEmpty()) {
        setup.store = m_request.storeFor(job.port);
    } else if (job.upload) {
        // RecordFile checks the file and says what is wrong with it; the
        // command line adds the one hint that is its own.
        QString backup;
        const Error e = RecordFile::check(job.path, m_request.mode, &backup);
        if (e.kind == Error::Kind::Exists) {
            transferFinished(job, ownFileError(e.kind, QStringLiteral("\"%1\" exists already; --force replaces it "
                                                                      "(keeping it as %2), --append adds to it")
                                                           .arg(job.path, backup)));
            return;
        }
        setup.mode = m_request.mode;
    } else if (m_streamFailed) {
        transferFinished(job, ownFileError(m_streamError.kind, m_streamError.description));
        return;
    }
    m_workers.start<PortWorker>(job.port.shortName(), setup, [this, j = &job](PortWorker *worker) {
        connect(worker, &PortWorker::progress, this, [this, j](qint64 n, qint64 done, qint64 size) {
            j->count = n;
            j->fileDone = done;
            j->fileSize = size;
            m_reporter.progress();
        });
        connect(worker, &PortWorker::finished, this, [this, j](const Outcome &o) { transferFinished(*j, o); });
        connect(worker, &PortWorker::finishingLine, this, [this, j] {
            m_reporter.say(QStringLiteral("%1: letting the line that is leaving finish and the terminal answer it "
                                          "(interrupt again to stop at once)")
                               .arg(j->port.label()),
                           Reporter::Level::Warning);
        });
    });
}

void TransferRunner::transferFinished(Job &job, const Outcome &outcome)
{
    if (job.outcome)
        return;
    job.outcome = outcome;
    job.ended = QDateTime::currentDateTimeUtc();
    job.count = outcome.count;
    if (!m_reporter.ended(job, describe(job)))
        m_logFailed = true;
    if (allEnded())
        QCoreApplication::exit(0);
}

bool TransferRunner::allEnded() const
{
    return std::all_of(m_jobs.begin(), m_jobs.end(), [](const auto &job) { return job->outcome.has_value(); });
}

void TransferRunner::interrupt(int signal)
{
    // The first signal ends each transfer between two messages, a second one at once.
    if (!m_workers.stopAsked())
        m_signal = signal;
    m_workers.stop();
}

QString TransferRunner::describe(const Job &job) const
{
    return OutcomeWords::ended(*job.outcome, {job.shown, m_request.timeoutMs, false,
                                              job.path != job.given ? job.path : QString()});
}
