#include "tools/SimTerminal.h"

#include <QFile>

#include <algorithm>
#include <deque>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace simterm {

namespace {

using Clock = std::chrono::steady_clock;
constexpr char CR = '\r';

QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(errno)));
}

// Splits bytes into k pieces of nearly equal size, the longer ones first, so
// the last piece (which holds the CR) is never longer than the others.
// The reply with one flipped bit in its last byte (an empty reply gains a byte).
QByteArray corrupted(QByteArray reply)
{
    if (reply.isEmpty())
        return QByteArray(1, '?');
    reply.back() = char(reply.back() ^ 0x01);
    if (reply.back() == '\r' || reply.back() == '\n')
        reply.back() = '?';
    return reply;
}

std::vector<QByteArray> splitInto(const QByteArray &bytes, int k)
{
    const qsizetype n = bytes.size();
    k = int(std::clamp<qsizetype>(k, 1, std::max<qsizetype>(n, 1)));
    std::vector<QByteArray> pieces;
    qsizetype pos = 0;
    for (int i = 0; i < k; ++i) {
        const qsizetype len = n / k + (i < n % k ? 1 : 0);
        pieces.push_back(bytes.mid(pos, len));
        pos += len;
    }
    return pieces;
}

} // namespace

struct SimTerminal::Impl {
    Options opt;
    Clock::time_point start = Clock::now();

    int master = -1;
    int slave = -1;      // held open so a PC closing its port causes no hang-up
    int wake = -1;       // eventfd: stop() interrupts poll and every sleep
    QString slavePath;
    QString link;
    QString error;
    bool ok = false;

    std::thread worker;
    std::atomic<bool> stopping{false};
    std::atomic<bool> hangupRequested{false};
    std::atomic<bool> running{false};

    // Serialises writes to and closing of the master fd.
    std::mutex ioMutex;
    Clock::time_point txFree{};   // when the simulated line is free to send
    Clock::time_point rxFree{};   // when the last PC byte finished arriving

    mutable std::mutex m;         // guards everything below
    std::deque<QByteArray> records;   // front removal stays cheap for long uploads
    bool recordOutstanding = false;   // front record sent, no REMOVE yet
    std::int64_t refilled = 0;
    bool downloading = false;
    bool uploadDone = false;
    bool downloadDone = false;
    bool hungUp = false;
    std::atomic<bool> docked{true};
    std::vector<QByteArray> lines;
    QByteArray received;
    std::vector<QByteArray> messages;
    int replies = 0;
    std::int64_t messageCount = 0;
    std::int64_t lineCount = 0;
    std::vector<TranscriptChunk> transcript;
    std::vector<MessageTiming> msgTimings;
    std::vector<ReplyTiming> replyTimings;
    QFile transcriptFile;

    // Worker-only state.
    std::int64_t bytesRead = 0;
    QByteArray pending;
    std::int64_t pendingFirstByte = 0;

    std::int64_t micros() const
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    }

    Clock::duration byteTime() const
    {
        // 10 bits per byte on the line: start, 8 data, stop.
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / opt.baud));
    }

    void log(Direction dir, const QByteArray &bytes, std::int64_t at)
    {
        std::lock_guard lock(m);
        TranscriptChunk chunk{at, dir, bytes};
        if (transcriptFile.isOpen()) {
            transcriptFile.write(formatTranscriptLine(chunk));
            transcriptFile.flush();
        }
        if (!opt.lean)
            transcript.push_back(std::move(chunk));
    }

    // Returns false if stop() was requested meanwhile.
    bool sleepUntil(Clock::time_point until)
    {
        for (;;) {
            if (stopping)
                return false;
            const auto now = Clock::now();
            if (now >= until)
                return true;
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
            timespec ts{time_t(left.count() / 1000000000), long(left.count() % 1000000000)};
            pollfd p{wake, POLLIN, 0};
            ppoll(&p, 1, &ts, nullptr);
        }
    }

    // Writes everything unless the fd is closed or stop() is requested.
    // Caller holds ioMutex.
    bool writeAllLocked(const char *data, qsizetype len)
    {
        while (len > 0) {
            if (master < 0 || stopping)
                return false;
            const ssize_t n = ::write(master, data, size_t(len));
            if (n > 0) {
                data += n;
                len -= n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                // The PC is not reading; wait for room without spinning.
                pollfd p[2] = {{master, POLLOUT, 0}, {wake, POLLIN, 0}};
                ::poll(p, 2, 100);
                continue;
            }
            return false;
        }
        return true;
    }

    // One piece of a reply, paced to the line rate when a baud is set: the
    // bytes are handed over in small groups, each once the line could have
    // carried it, measured against a running clock rather than per-byte sleeps.
    bool writePaced(const QByteArray &bytes)
    {
        std::unique_lock lock(ioMutex);
        if (opt.baud <= 0) {
            const bool done = writeAllLocked(bytes.constData(), bytes.size());
            if (done)
                log(Direction::FromTerminal, bytes, micros());
            return done;
        }
        const qsizetype group = std::max(1, opt.baud / 10 / 500);   // ~2 ms of line time
        for (qsizetype pos = 0; pos < bytes.size(); pos += group) {
            const QByteArray part = bytes.mid(pos, group);
            // Within one piece the line sends without gaps: a late wake-up
            // must not stretch the line time of the groups after it.
            const auto begin = pos == 0 ? std::max(Clock::now(), txFree) : txFree;
            const auto finish = begin + byteTime() * part.size();
            lock.unlock();
            if (!sleepUntil(finish))
                return false;
            lock.lock();
            if (!writeAllLocked(part.constData(), part.size()))
                return false;
            txFree = finish;
            log(Direction::FromTerminal, part, micros());
        }
        return true;
    }

    void hangUp()
    {
        {
            std::lock_guard io(ioMutex);
            if (master >= 0)
                ::close(master);
            if (slave >= 0)
                ::close(slave);
            master = slave = -1;
        }
        // The device node of a pulled adapter vanishes too.
        removeLink();
        std::lock_guard lock(m);
        hungUp = true;
    }

    void removeLink()
    {
        if (link.isEmpty())
            return;
        const QByteArray path = QFile::encodeName(link);
        char target[4096];
        const ssize_t n = ::readlink(path.constData(), target, sizeof target - 1);
        // Only remove the link if it is still ours.
        if (n > 0 && QByteArray(target, n) == QFile::encodeName(slavePath))
            ::unlink(path.constData());
        link.clear();
    }

    // Bytes without a CR, until the PC stops taking them or 20 MiB have gone.
    void babble()
    {
        const QByteArray junk(64 * 1024, 'x');
        for (int i = 0; i < 320 && !stopping; ++i) {
            if (!writePaced(junk))
                return;
        }
    }

    void sendReply(const QByteArray &text)
    {
        QByteArray wire = text + (opt.crlfEndings ? QByteArray("\r\n") : QByteArray("\r"));
        if (opt.doubleReplies)
            wire += wire;
        if (opt.replyDelay.count() > 0 && !sleepUntil(Clock::now() + opt.replyDelay))
            return;
        const auto pieces = splitInto(wire, opt.splitPieces);
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0 && opt.pauseBetweenPieces.count() > 0
                && !sleepUntil(Clock::now() + opt.pauseBetweenPieces))
                return;
            if (!writePaced(pieces[i]))
                return;
        }
        const std::int64_t at = micros();
        std::lock_guard lock(m);
        if (!opt.lean)
            replyTimings.push_back({text, at});
    }

    void handleMessage(const QByteArray &msg, std::int64_t firstByte, std::int64_t crAt,
                       Clock::time_point lineArrival)
    {
        std::optional<QByteArray> reply;
        std::optional<Options::Session> ended;
        std::function<void()> effect;
        bool stored = false;
        {
            std::lock_guard lock(m);
            ++messageCount;
            if (!opt.lean) {
                messages.push_back(msg);
                msgTimings.push_back({msg, firstByte, crAt});
            }
            if (hungUp || opt.manual || !docked)
                return;
            if (opt.silentAfterReplies >= 0 && replies >= opt.silentAfterReplies)
                return;
        }
        if (opt.hangupAfterReplies >= 0) {
            int sent;
            {
                std::lock_guard lock(m);
                sent = replies;
            }
            if (sent >= opt.hangupAfterReplies) {
                hangUp();
                return;
            }
        }
        if (opt.baud > 0 && !sleepUntil(lineArrival))
            return;

        std::unique_lock lock(m);
        if (downloading) {
            if (msg == "OVER") {
                downloading = false;
                downloadDone = true;
                ended = Options::Session::Download;
            } else {
                effect = [this, msg, &stored] {
                    ++lineCount;
                    if (!opt.lean)
                        lines.push_back(msg);
                    stored = true;
                };
                reply = QByteArray("ACK");
            }
        } else if (msg == "READ") {
            if (records.empty()) {
                effect = [this] { recordOutstanding = false; };
                reply = QByteArray("OVER");
            } else {
                effect = [this] { recordOutstanding = true; };
                reply = records.front();
            }
        } else if (msg == "REMOVE") {
            if (recordOutstanding) {
                effect = [this] {
                    records.pop_front();
                    recordOutstanding = false;
                };
                reply = QByteArray("NEXT");
            } else {
                reply = QByteArray("NAK");
            }
        } else if (msg == "DONE") {
            recordOutstanding = false;
            for (int i = 0; i < opt.refillAfterDone; ++i)
                records.push_back("refill;" + QByteArray::number(++refilled));
            uploadDone = true;
            ended = Options::Session::Upload;
        } else if (msg == "DOWN") {
            effect = [this] {
                recordOutstanding = false;
                downloading = true;
            };
            reply = QByteArray("ACK");
        } else {
            reply = QByteArray("NAK");
        }

        bool endless = false;
        bool loneCr = false;
        if (reply) {
            ++replies;
            if (replies == opt.nakAtReply)
                reply = opt.sayText.isNull() ? QByteArray("NAK") : opt.sayText; // refused: the request has no effect
            else if (effect)
                effect();
            if (replies == opt.corruptAtReply)
                reply = corrupted(*reply);
            endless = replies == opt.endlessAtReply;
            loneCr = replies == opt.loneCrAtReply;
        }
        lock.unlock();

        // Outside our lock: the callbacks may call back into accessors.
        if (stored && opt.lineStored)
            opt.lineStored(msg);
        if (ended && opt.sessionEnded)
            opt.sessionEnded(*ended);
        // The noise comes a moment before the reply, so it is read alone.
        if (loneCr && writePaced("\r"))
            sleepUntil(Clock::now() + std::chrono::milliseconds(50));
        if (endless)
            babble();
        else if (reply)
            sendReply(*reply);
    }

    void handleBytes(const QByteArray &chunk, std::int64_t at)
    {
        log(Direction::FromPc, chunk, at);
        if (opt.echo && docked) {
            QByteArray back = chunk;
            if (opt.echoCrAsLf)
                back.replace('\r', '\n');
            writePaced(back);
        }
        if (!opt.lean) {
            std::lock_guard lock(m);
            received += chunk;
        }
        const auto readTime = Clock::now();
        for (char c : chunk) {
            if (opt.baud > 0)
                rxFree = std::max(readTime, rxFree) + byteTime();
            if (pending.isEmpty() && pendingFirstByte < 0)
                pendingFirstByte = at;
            if (c != CR) {
                pending.append(c);
                continue;
            }
            const QByteArray msg = pending;
            const std::int64_t first = pendingFirstByte;
            pending.clear();
            pendingFirstByte = -1;
            handleMessage(msg, first, at, rxFree);
            if (stopping)
                return;
        }
    }

    void run()
    {
        // Paced sleeps end on time rather than up to the default 50 us late.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        pendingFirstByte = -1;
        char buf[4096];
        while (!stopping) {
            int fd;
            {
                std::lock_guard io(ioMutex);
                fd = master;
            }
            // A terminal that stopped reading leaves the PC's bytes on the line.
            const bool reading = opt.stopReadingAfterBytes < 0 || bytesRead < opt.stopReadingAfterBytes;
            pollfd p[2] = {{wake, POLLIN, 0}, {fd, POLLIN, 0}};
            const int r = ::poll(p, fd >= 0 && reading ? 2 : 1, -1);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (stopping)
                break;
            if (p[0].revents & POLLIN) {
                std::uint64_t count;
                [[maybe_unused]] auto n = ::read(wake, &count, sizeof count);
            }
            if (hangupRequested.exchange(false) && fd >= 0) {
                hangUp();
                continue;
            }
            if (fd < 0 || !reading)
                continue;
            if (p[1].revents & POLLIN) {
                size_t want = sizeof buf;
                if (opt.stopReadingAfterBytes >= 0)
                    want = size_t(std::min<std::int64_t>(std::int64_t(want), opt.stopReadingAfterBytes - bytesRead));
                const ssize_t n = ::read(fd, buf, want);
                if (n > 0) {
                    bytesRead += n;
                    handleBytes(QByteArray(buf, n), micros());
                    continue;
                }
            }
            if (p[1].revents & (POLLHUP | POLLERR)) {
                // Not expected while we hold the slave open; avoid spinning.
                sleepUntil(Clock::now() + std::chrono::milliseconds(10));
            }
        }
        running = false;
    }
};

SimTerminal::SimTerminal(std::vector<QByteArray> records, Options options)
    : d(std::make_unique<Impl>())
{
    d->opt = std::move(options);
    d->docked = d->opt.docked;
    d->records.assign(std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));

    // Raw from the very start: before the program opens the port, the default
    // line discipline would echo and turn CR into LF.
    termios tio{};
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (::openpty(&d->master, &d->slave, nullptr, &tio, nullptr) != 0) {
        d->error = errnoText("openpty");
        d->master = d->slave = -1;
        return;
    }
    ::fcntl(d->master, F_SETFD, FD_CLOEXEC);
    ::fcntl(d->slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(d->master, F_SETFL, ::fcntl(d->master, F_GETFL) | O_NONBLOCK);

    char name[256];
    if (::ttyname_r(d->slave, name, sizeof name) != 0) {
        d->error = errnoText("ttyname_r");
        return;
    }
    d->slavePath = QString::fromLocal8Bit(name);

    d->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d->wake < 0) {
        d->error = errnoText("eventfd");
        return;
    }

    if (!d->opt.linkPath.isEmpty()) {
        const QByteArray path = QFile::encodeName(d->opt.linkPath);
        struct stat st{};
        if (::lstat(path.constData(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                d->error = QStringLiteral("%1 exists and is not a symlink").arg(d->opt.linkPath);
                return;
            }
            ::unlink(path.constData());
        }
        if (::symlink(name, path.constData()) != 0) {
            d->error = errnoText("symlink");
            return;
        }
        d->link = d->opt.linkPath;
    }

    if (!d->opt.transcriptPath.isEmpty()) {
        d->transcriptFile.setFileName(d->opt.transcriptPath);
        if (!d->transcriptFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            d->error = QStringLiteral("transcript: %1").arg(d->transcriptFile.errorString());
            return;
        }
    }

    d->running = true;
    d->worker = std::thread([this] { d->run(); });
    d->ok = true;
}

SimTerminal::~SimTerminal()
{
    stop();
    std::lock_guard io(d->ioMutex);
    if (d->master >= 0)
        ::close(d->master);
    if (d->slave >= 0)
        ::close(d->slave);
    if (d->wake >= 0)
        ::close(d->wake);
    d->master = d->slave = d->wake = -1;
}

void SimTerminal::stop()
{
    d->stopping = true;
    if (d->wake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(d->wake, &one, sizeof one);
    }
    if (d->worker.joinable())
        d->worker.join();
    d->running = false;
    d->removeLink();
}

void SimTerminal::hangUpNow()
{
    d->hangupRequested = true;
    if (d->wake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(d->wake, &one, sizeof one);
    }
}

void SimTerminal::setDocked(bool docked)
{
    d->docked = docked;
}

bool SimTerminal::isOk() const { return d->ok; }
QString SimTerminal::errorString() const { return d->error; }
QString SimTerminal::slavePath() const { return d->slavePath; }
QString SimTerminal::linkPath() const { return d->opt.linkPath; }
bool SimTerminal::isRunning() const { return d->running; }

bool SimTerminal::hungUp() const
{
    std::lock_guard lock(d->m);
    return d->hungUp;
}

bool SimTerminal::sendRaw(const QByteArray &bytes)
{
    std::lock_guard io(d->ioMutex);
    if (!d->writeAllLocked(bytes.constData(), bytes.size()))
        return false;
    d->log(Direction::FromTerminal, bytes, d->micros());
    return true;
}

#define SIMTERM_GETTER(type, name, member) \
    type SimTerminal::name() const         \
    {                                      \
        std::lock_guard lock(d->m);        \
        return d->member;                  \
    }

std::vector<QByteArray> SimTerminal::remainingRecords() const
{
    std::lock_guard lock(d->m);
    return {d->records.begin(), d->records.end()};
}

SIMTERM_GETTER(std::vector<QByteArray>, downloadedLines, lines)
SIMTERM_GETTER(QByteArray, receivedBytes, received)
SIMTERM_GETTER(std::vector<QByteArray>, receivedMessages, messages)
SIMTERM_GETTER(int, repliesSent, replies)
SIMTERM_GETTER(bool, uploadDone, uploadDone)
SIMTERM_GETTER(bool, downloadDone, downloadDone)
SIMTERM_GETTER(bool, inDownload, downloading)
SIMTERM_GETTER(std::vector<TranscriptChunk>, transcript, transcript)
SIMTERM_GETTER(std::vector<MessageTiming>, messageTimings, msgTimings)
SIMTERM_GETTER(std::vector<ReplyTiming>, replyTimings, replyTimings)
#undef SIMTERM_GETTER

int SimTerminal::messagesReceived() const
{
    std::lock_guard lock(d->m);
    return int(d->messageCount);
}

std::int64_t SimTerminal::linesStored() const
{
    std::lock_guard lock(d->m);
    return d->lineCount;
}

std::int64_t SimTerminal::elapsedMicros() const { return d->micros(); }

std::vector<QByteArray> parseRecordFile(const QByteArray &contents)
{
    std::vector<QByteArray> out;
    qsizetype pos = 0;
    while (pos < contents.size()) {
        const qsizetype end = contents.indexOf("\r\n", pos);
        if (end < 0) {
            out.push_back(contents.mid(pos));
            break;
        }
        out.push_back(contents.mid(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

std::vector<QByteArray> generateRecords(int count, int size)
{
    static const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::vector<QByteArray> out;
    out.reserve(size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        QByteArray r = QByteArray::number(i + 1).rightJustified(8, '0') + ';';
        // Shift the filler per record so no two records look alike.
        for (int j = 0; r.size() < size; ++j)
            r.append(alphabet.at((i + j) % alphabet.size()));
        r.truncate(std::max(size, 0));
        out.push_back(r);
    }
    return out;
}

std::vector<QByteArray> sampleRecords()
{
    return {
        "4006381333931;12;Pencils HB",
        "4006381333948;3;Pencils 2B",
        "5012345678900;40;Envelopes C5 white",
        "4001234567893;7;Stapler, metal",
        "9780201633610;1;Design Patterns (book)",
        "4008496559992;25;Ballpoint pens blue",
    };
}

QByteArray formatTranscriptLine(const TranscriptChunk &chunk)
{
    QByteArray printable;
    printable.reserve(chunk.bytes.size());
    for (char c : chunk.bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            printable += "\\r";
        else if (c == '\n')
            printable += "\\n";
        else if (u >= 0x20 && u < 0x7f)
            printable += c;
        else
            printable += '.';
    }
    return QByteArray::number(qint64(chunk.micros)) + ' '
        + (chunk.direction == Direction::FromPc ? "PC" : "TERM") + ' '
        + chunk.bytes.toHex(' ') + "  " + printable + '\n';
}

} // namespace simterm
