#include "cli/TransferRunner.h"

#include "cli/ExitStatus.h"
#include "cli/SignalWatch.h"
#include "link/QtSerialPort.h"
#include "platform/SystemError.h"
#include "platform/Timer.h"
#include "storage/DiskSync.h"
#include "storage/LineReader.h"
#include "transfer/DownloadTransfer.h"
#include "transfer/Messages.h"
#include "transfer/UploadTransfer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <functional>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>

#ifdef Q_OS_UNIX
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#endif

// One port's transfer. It runs in a thread of its own, so that one port's
// wait for the disk never holds up another port's answer; the runner, on the
// main thread, only hears how it goes.
struct TransferRunner::Job
{
    PortChoice port;
    QString given; // FILE for this port, as given ("-": standard input)
    QString path;  // what the transfer opens: given, or the copy of a stream
    QString shown; // how messages name the file
    QThread thread;
    QObject *context = nullptr;  // lives in thread: what runs there is invoked on it
    // Made, used and destroyed in thread.
    std::unique_ptr<QtSerialPort> serial;
    std::unique_ptr<QtTimer> timer;
    std::unique_ptr<UploadTransfer> upload;
    std::unique_ptr<DownloadTransfer> download;
    std::optional<Outcome> outcome;  // the first way it ended; a later Stopped is our own stop()
    QByteArray unfinished;           // what had arrived of a reply when it ended: no CR yet
    bool interrupted = false;
    bool concluded = false;
    QDateTime started;
    QDateTime ended;
    QElapsedTimer clock;
    qint64 count = 0;
    qint64 fileDone = 0;  // download: bytes of the file sent, and in all
    qint64 fileSize = 0;

    /// Runs f in the job's thread, between two of its handlers, and waits for it.
    void inThread(const std::function<void()> &f)
    {
        QMetaObject::invokeMethod(context, f, Qt::BlockingQueuedConnection);
    }
    void stop()
    {
        inThread([this] {
            if (upload)
                upload->runHandler([this] { upload->stop(); });
            else
                download->runHandler([this] { download->stop(); });
        });
    }
    void shutDown()
    {
        if (!context)
            return;
        inThread([this] {
            upload.reset();
            download.reset();
            timer.reset();
            serial.reset();
        });
        thread.quit();
        thread.wait();
        delete context;
        context = nullptr;
    }
};

namespace {

// How messages name a stream given as FILE.
QString streamName(const QString &given)
{
    return given == QLatin1String("-") ? QStringLiteral("standard input") : given;
}

// Bytes from the terminal, readable on one line: CR and LF as \r and \n,
// other control bytes as \xNN, the end kept when it is long.
QString escaped(const QByteArray &bytes)
{
    constexpr qsizetype Shown = 40;
    const QByteArray tail = bytes.size() > Shown ? bytes.right(Shown) : bytes;
    QString text = bytes.size() > Shown ? QStringLiteral("...") : QString();
    for (const char c : tail) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            text += QStringLiteral("\\r");
        else if (c == '\n')
            text += QStringLiteral("\\n");
        else if (c == '"' || c == '\\')
            text += QStringLiteral("\\") + QLatin1Char(c);
        else if (u < 0x20 || u >= 0x7f)
            text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            text += QLatin1Char(c);
    }
    return text;
}

QString folded(const QString &message)
{
    return message.split(QLatin1Char('\n'), Qt::SkipEmptyParts).join(QLatin1Char(' '));
}

// A file the command line refuses before the transfer starts, in its own words.
Outcome ownFileError(int number, const QString &said)
{
    Outcome o;
    o.kind = Outcome::Kind::FileError;
    o.error = {number, said};
    return o;
}

QString outcomeName(const Outcome &o, bool interrupted)
{
    switch (o.kind) {
    case Outcome::Kind::Completed: return QStringLiteral("completed");
    case Outcome::Kind::Refused: return QStringLiteral("refused");
    case Outcome::Kind::TimedOut: return QStringLiteral("timeout");
    case Outcome::Kind::Lost: return QStringLiteral("lost");
    case Outcome::Kind::FileError: return QStringLiteral("file-error");
    case Outcome::Kind::PortError: return QStringLiteral("port-error");
    case Outcome::Kind::Stopped: return interrupted ? QStringLiteral("interrupted") : QStringLiteral("stopped");
    }
    return QString();
}

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 6) + QStringLiteral(" s");
}

} // namespace

TransferRunner::TransferRunner(const CliRequest &request, QObject *parent)
    : QObject(parent)
    , m_request(request)
{
    m_progress = !request.quiet && isatty(STDERR_FILENO);
}

TransferRunner::~TransferRunner()
{
    for (auto &job : m_jobs)
        job->shutDown();
}

void TransferRunner::report(const QString &line)
{
    clearProgress();
    std::fprintf(stderr, "quillan-cli: %s\n", qUtf8Printable(line));
    std::fflush(stderr);
}

bool TransferRunner::openLog()
{
    if (m_request.logPath.isEmpty())
        return true;
    m_log.setFileName(m_request.logPath);
    // Unbuffered: a failed write is seen, with the system's reason, at once.
    if (!m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        report(QStringLiteral("cannot open the log \"%1\": %2").arg(m_request.logPath, m_log.errorString()));
        return false;
    }
    return true;
}

int TransferRunner::run()
{
    const bool upload = m_request.command == CliRequest::Command::Upload;
    // A log that cannot take the record of a transfer stops it before it starts.
    if (!openLog())
        return ExitStatus::File;
    // Before the signal watch: Ctrl-C while the stream is still being read
    // ends the program at once; nothing has been sent yet.
    if (!upload && !copyStream())
        m_streamFailed = true;

    SignalWatch watch;
    connect(&watch, &SignalWatch::interrupted, this, &TransferRunner::interrupt);

    for (const PortChoice &port : std::as_const(m_request.ports)) {
        auto job = std::make_unique<Job>();
        job->port = port;
        job->given = m_request.fileFor(port);
        job->path = m_stream ? m_stream->fileName() : job->given;
        job->shown = m_stream ? streamName(job->given) : job->given;
        job->thread.setObjectName(port.shortName());
        job->thread.start();
        job->context = new QObject;
        job->context->moveToThread(&job->thread);
        Job *j = job.get();
        job->inThread([this, j, upload] { makeTransfer(*j, upload); });
        m_jobs.push_back(std::move(job));
    }
    for (auto &job : m_jobs)
        start(*job);

    bool pending = false;
    for (auto &job : m_jobs)
        pending = pending || !job->concluded;
    if (pending)
        QCoreApplication::exec();
    clearProgress();
    for (auto &job : m_jobs)
        job->shutDown();

    int status = ExitStatus::Completed;
    for (auto &job : m_jobs) {
        int s = ExitStatus::of(job->outcome ? job->outcome->kind : Outcome::Kind::Stopped);
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
            m_streamError = {ErrorNumber::DeviceIo,
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
            m_streamError = {ErrorNumber::DeviceIo, QStringLiteral("cannot read \"%1\": %2").arg(given, in.errorString())};
            return false;
        }
#else
        return true;
#endif
    }
    m_stream = std::make_unique<QTemporaryFile>(QDir::temp().filePath(QStringLiteral("quillan-cli-XXXXXX.txt")));
    if (!m_stream->open()) {
        m_streamError = {ErrorNumber::DeviceIo, QStringLiteral("cannot keep a copy of %1 in %2: %3")
                                                    .arg(streamName(given), QDir::tempPath(), m_stream->errorString())};
        m_stream.reset();
        return false;
    }
    QByteArray chunk(LineReader::ChunkSize, Qt::Uninitialized);
    for (;;) {
        errno = 0;
        const qint64 n = in.read(chunk.data(), chunk.size());
        if (n < 0) {
            const Error e = errno ? errorFromErrno(errno) : Error{ErrorNumber::DeviceIo, in.errorString()};
            m_streamError = {e.number, QStringLiteral("cannot read %1: %2").arg(streamName(given), e.description)};
            return false;
        }
        if (n == 0)
            break;
        errno = 0;
        if (m_stream->write(chunk.constData(), n) != n || !m_stream->flush()) {
            const Error e = errno ? errorFromErrno(errno) : Error{ErrorNumber::DeviceIo, m_stream->errorString()};
            m_streamError = {e.number, QStringLiteral("cannot keep a copy of %1 in %2: %3")
                                           .arg(streamName(given), QDir::tempPath(), e.description)};
            return false;
        }
    }
    m_stream->close(); // the transfer opens it by name; it is removed with the runner
    return true;
}

void TransferRunner::makeTransfer(Job &job, bool upload)
{
    // In the job's thread: its port, timer and transfer belong there. The
    // runner hears of them through queued signals.
    Job *j = &job;
    job.serial = std::make_unique<QtSerialPort>();
    job.timer = std::make_unique<QtTimer>();
    if (upload) {
        job.upload = std::make_unique<UploadTransfer>(*job.serial, job.timer.get());
        job.upload->setReplyTimeout(m_request.timeoutMs, true);
        // In the job's thread, as it ends: the queued report below reads it.
        connect(job.upload.get(), &UploadTransfer::finished, job.upload.get(),
                [j](const Outcome &) { j->unfinished = j->upload->RxBuffer(); }, Qt::DirectConnection);
        job.upload->setRemoveEmptyNewFile(true);
        connect(job.upload.get(), &UploadTransfer::finished, this,
                [this, j](const Outcome &o) { transferFinished(*j, o); });
        connect(job.upload.get(), &UploadTransfer::recordSaved, this, [this, j](const QByteArray &, qint64 n) {
            j->count = n;
            showProgress();
        });
    } else {
        job.download = std::make_unique<DownloadTransfer>(*job.serial, *job.timer);
        // A reply trickling in byte by byte must not keep a dead dialogue alive.
        job.download->setReplyTimeout(m_request.timeoutMs, true);
        connect(job.download.get(), &DownloadTransfer::finished, job.download.get(),
                [j](const Outcome &) { j->unfinished = j->download->RxBuffer(); }, Qt::DirectConnection);
        connect(job.download.get(), &DownloadTransfer::finished, this,
                [this, j](const Outcome &o) { transferFinished(*j, o); });
        connect(job.download.get(), &DownloadTransfer::lineSent, this,
                [this, j](const QByteArray &, qint64 n, qint64 done, qint64 size) {
                    j->count = n;
                    j->fileDone = done;
                    j->fileSize = size;
                    showProgress();
                });
    }
}

void TransferRunner::start(Job &job)
{
    job.started = QDateTime::currentDateTimeUtc();
    job.clock.start();
    if (job.upload) {
        RecordFile::Mode mode = m_request.mode;
        const QFileInfo info(job.path);
        const bool exists = info.exists() || info.isSymLink();
        // Said where it is wrong: --force cannot make a folder a file, and
        // a folder in the way of FILE.bak is no fault of FILE.
        if (info.isDir()) {
            transferFinished(job, ownFileError(ErrorNumber::BadFileMode,
                                               QStringLiteral("\"%1\" is a folder; name a file to write the records "
                                                              "to, for example %2")
                                                   .arg(job.path, QDir(job.path).filePath(QStringLiteral("records.txt")))));
            return;
        }
        const QFileInfo backup(RecordFile::backupPath(job.path));
        if (mode == RecordFile::Mode::Replace && exists && backup.exists() && !backup.isFile()) {
            transferFinished(job, ownFileError(ErrorNumber::BadFileMode,
                                               QStringLiteral("\"%1\" cannot be kept as \"%2\": that is %3; move "
                                                              "it away, then try again")
                                                   .arg(job.path, backup.filePath(),
                                                        backup.isDir() ? QStringLiteral("a folder")
                                                                       : QStringLiteral("not a regular file"))));
            return;
        }
        if (mode == RecordFile::Mode::Create && exists) {
            // Checked here for a message that says what to do; the core refuses it too.
            transferFinished(job, ownFileError(ErrorNumber::FileAlreadyOpen,
                                               QStringLiteral("\"%1\" exists already; --force replaces it (keeping "
                                                              "it as %2), --append adds to it")
                                                   .arg(job.path, RecordFile::backupPath(info.fileName()))));
            return;
        }
        // Appending to no file is creating one, and then a port that will
        // not open leaves no empty file behind.
        if (mode == RecordFile::Mode::Append && !exists)
            mode = RecordFile::Mode::Create;
        QMetaObject::invokeMethod(job.context, [&job, mode] {
            job.upload->runHandler([&job, mode] { job.upload->begin(job.path, job.port.target, mode); });
        });
    } else if (m_streamFailed) {
        transferFinished(job, ownFileError(m_streamError.number, m_streamError.description));
    } else {
        QMetaObject::invokeMethod(job.context, [&job] {
            job.download->runHandler([&job] { job.download->begin(job.path, job.port.target); });
        });
    }
}

void TransferRunner::transferFinished(Job &job, const Outcome &outcome)
{
    if (job.outcome)
        return; // the Stopped of our own stop() after a refusal or time-out
    job.outcome = outcome;
    job.interrupted = outcome.kind == Outcome::Kind::Stopped && m_interrupted;
    job.ended = QDateTime::currentDateTimeUtc();
    job.count = outcome.count;
    // A refusal or time-out leaves the port and file open (as the windows
    // want them); here it ends the transfer. stop() waits for the handler
    // that reported it to end first.
    if (outcome.kind == Outcome::Kind::Refused || outcome.kind == Outcome::Kind::TimedOut)
        job.stop();
    conclude(job);
}

void TransferRunner::interrupt(int signal)
{
    if (!m_interrupted)
        m_signal = signal;
    m_interrupted = true;
    for (auto &job : m_jobs) {
        if (!job->outcome)
            job->stop();
    }
}

QString TransferRunner::describe(const Job &job) const
{
    const Outcome &o = *job.outcome;
    const bool upload = job.upload != nullptr;
    const QString done = upload ? plural(o.count, "record", "records") + QStringLiteral(" saved in \"%1\"").arg(job.shown)
                                : plural(o.count, "line", "lines") + QStringLiteral(" of \"%1\" sent").arg(job.shown);
    // The program's own words where it says more than the designed box.
    if (o.reason == Outcome::Reason::UnexpectedReply || o.reason == Outcome::Reason::Stalled)
        return folded(Messages::ending(o));
    switch (o.kind) {
    case Outcome::Kind::Completed: return QString();
    case Outcome::Kind::Refused:
        return QStringLiteral("the terminal %1; %2")
            .arg(upload || o.reply == "NAK" ? QStringLiteral("refused with \"NAK\"")
                                            : QStringLiteral("gave a reply it should not"),
                 done);
    case Outcome::Kind::TimedOut:
        if (!job.unfinished.isEmpty()) {
            // Bytes came, but no reply ended with CR: most likely a terminal
            // that ends its replies with CR LF, whose line feed comes last.
            return QStringLiteral("bytes arrived (\"%1\") but no reply ended with CR, and nothing more came for %2; "
                                  "a terminal that ends its replies with CR LF never completes one (the line feed "
                                  "comes last): set it to end them with CR alone; %3")
                .arg(escaped(job.unfinished), seconds(m_request.timeoutMs), done);
        }
        return QStringLiteral("no reply: nothing came from the terminal for %1; %2").arg(seconds(m_request.timeoutMs), done);
    case Outcome::Kind::Stopped:
        return QStringLiteral("interrupted; %1").arg(done);
    case Outcome::Kind::Lost:
    case Outcome::Kind::FileError:
    case Outcome::Kind::PortError:
        break;
    }
    // A file refused before the transfer started is said in the error itself.
    QString message = o.reason == Outcome::Reason::None && o.kind == Outcome::Kind::FileError ? o.error.description
                                                                                               : Messages::ending(o);
    if (job.path != job.given) // the copy of a stream is nothing the user named
        message.replace(QLatin1Char('"') + job.path + QLatin1Char('"'), job.shown);
    return folded(message);
}

void TransferRunner::conclude(Job &job)
{
    if (job.concluded)
        return;
    job.concluded = true;
    const Outcome &o = *job.outcome;
    if (o.kind == Outcome::Kind::Completed) {
        if (!m_request.quiet) {
            report(job.upload ? QStringLiteral("%1: %2 received into %3")
                                    .arg(job.port.label(), plural(o.count, "record", "records"), job.shown)
                              : QStringLiteral("%1: %2 sent from %3")
                                    .arg(job.port.label(), plural(o.count, "line", "lines"), job.shown));
        }
    } else {
        report(QStringLiteral("%1, %2: %3").arg(job.port.label(), job.shown, describe(job)));
    }
    if (m_log.isOpen() && !writeLog(job)) {
        m_logFailed = true;
        report(QStringLiteral("cannot write the log \"%1\": %2").arg(m_log.fileName(), m_logError));
    }
    for (auto &j : m_jobs) {
        if (!j->concluded)
            return;
    }
    QCoreApplication::exit(0);
}

bool TransferRunner::writeLog(const Job &job)
{
    const Outcome &o = *job.outcome;
    const QJsonObject entry{
        {QStringLiteral("started"), job.started.toString(Qt::ISODateWithMs)},
        {QStringLiteral("ended"), job.ended.toString(Qt::ISODateWithMs)},
        {QStringLiteral("direction"), job.upload ? QStringLiteral("upload") : QStringLiteral("download")},
        {QStringLiteral("port"), job.port.given},
        {QStringLiteral("device"), job.port.target.device},
        {QStringLiteral("file"), job.given == QLatin1String("-") ? job.given : QFileInfo(job.given).absoluteFilePath()},
        {QStringLiteral("count"), o.count},
        {QStringLiteral("bytes"), o.bytes},
        {QStringLiteral("outcome"), outcomeName(o, job.interrupted)},
        {QStringLiteral("message"), describe(job)},
    };
    const QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
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
        e = errno ? errorFromErrno(errno) : Error{ErrorNumber::DeviceIo, m_log.errorString()};
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

void TransferRunner::showProgress(bool force)
{
    if (!m_progress)
        return;
    if (!force && m_lastDraw.isValid() && m_lastDraw.elapsed() < 100)
        return;
    m_lastDraw.start();
    QStringList parts;
    for (const auto &job : m_jobs) {
        if (job->outcome)
            continue;
        const double s = std::max<qint64>(job->clock.elapsed(), 1) / 1000.0;
        if (job->upload) {
            parts.append(QStringLiteral("%1: %2 records, %3/s")
                             .arg(job->port.shortName())
                             .arg(job->count)
                             .arg(job->count / s, 0, 'f', 0));
        } else {
            const double share = job->fileSize > 0 ? 100.0 * job->fileDone / job->fileSize : 100.0;
            const double rate = job->fileDone / s;
            const QString left = rate > 0 ? QString::number((job->fileSize - job->fileDone) / rate, 'f', 0) + QStringLiteral(" s left")
                                          : QStringLiteral("?");
            parts.append(QStringLiteral("%1: %2 lines, %3 of %4 bytes (%5%), %6")
                             .arg(job->port.shortName())
                             .arg(job->count)
                             .arg(job->fileDone)
                             .arg(job->fileSize)
                             .arg(share, 0, 'f', 0)
                             .arg(left));
        }
    }
    std::fprintf(stderr, "\r\033[K%s", qUtf8Printable(parts.join(QStringLiteral(" | "))));
    std::fflush(stderr);
    m_progressShown = true;
}

void TransferRunner::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}
