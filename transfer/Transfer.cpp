#include "transfer/Transfer.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "platform/Timer.h"
#include "transfer/RecordSink.h"

using Kind = Outcome::Kind;
using Reason = Outcome::Reason;
using Do = Protocol::Action::Do;

namespace {
// Pieces of a long line are queued while the port holds less than this.
constexpr qint64 FeedLowWater = LineReader::ChunkSize;

Protocol::Halt haltFor(Transfer::Policy policy)
{
    return policy == Transfer::Policy::Window ? Protocol::Halt::Hold : Protocol::Halt::End;
}
}

Transfer::Transfer(Outcome::Direction direction, Policy policy, SerialPort &port, Timer *timer, QObject *parent)
    : QObject(parent)
    , m_direction(direction)
    , m_policy(policy)
    , m_port(port)
    , m_timeout(timer)
    , m_upload(haltFor(policy))
    , m_download(haltFor(policy))
{
    if (policy == Policy::Window)
        setReplyTimeout(ReplyTimeout::DefaultMs);
    m_quietGuard.setSingleShot(true);
    m_quietGuard.setInterval(EmptyRecordGuardMs);
    connect(&m_quietGuard, &QTimer::timeout, this, [this] { dispatch(Input::Quiet, [this] { run(m_upload.quiet()); }); });
    m_scan.setSingleShot(true);
    m_scan.setInterval(0);
    connect(&m_scan, &QTimer::timeout, this, [this] { dispatch(Input::Slice, [this] { scanSome(); }); });
    // Every signal the transfer hears, here.
    connect(&m_port, &SerialPort::readyRead, this, [this] { dispatch(Input::Bytes, [this] { receive(); }); });
    connect(&m_port, &SerialPort::bytesWritten, this, [this] {
        m_timeout.progressed();
        dispatch(Input::Written, [this] { written(); });
    });
    connect(&m_port, &SerialPort::lineLost, this,
            [this](const Error &why) { dispatch(Input::Lost, [this, why] { lose(why); }); });
    if (timer)
        connect(timer, &Timer::tick, this, [this] { dispatch(Input::Tick, [this] { tick(); }); });
}

Transfer::~Transfer() = default;

const Protocol &Transfer::protocol() const
{
    if (m_direction == Outcome::Direction::Upload)
        return m_upload;
    return m_download;
}

Protocol &Transfer::protocol()
{
    if (m_direction == Outcome::Direction::Upload)
        return m_upload;
    return m_download;
}

void Transfer::setReplyTimeout(int ms)
{
    m_timeout.setTimeoutMs(ms, m_policy == Policy::Window ? ReplyTimeout::Rule::Ticks : ReplyTimeout::Rule::Silence);
}

void Transfer::dispatch(Input input, const std::function<void()> &handler)
{
    if (m_gate)
        m_gate(input, handler);
    else
        handler();
}

bool Transfer::catchUpBytes()
{
    if (m_port.bytesAvailable() <= 0)
        return false;
    receive();
    return true;
}

Error Transfer::openPort(const PortTarget &target)
{
    // One still open from an earlier transfer is used as it is when it is
    // the one asked for (what it holds is dropped), closed first otherwise.
    if (m_port.isOpen()) {
        if (m_port.device() == target.device)
            return {};
        m_port.close();
    }
    return m_port.open(target);
}

std::optional<Outcome::PortFindings> Transfer::diagnose(const Error &error)
{
    // Once, when the port fails: who holds it now, not when someone words it.
    // A service polling a port that stays busy looks again only when the
    // failure changes; these two say all there is already.
    const bool again = m_policy == Policy::Collect && error.kind == m_portFailed;
    m_portFailed = error.kind;
    if (again || error.kind == Error::Kind::NotPermitted || error.kind == Error::Kind::NoDescriptors)
        return std::nullopt;
    return Outcome::PortFindings{PortDiagnosis::diagnose(m_target.device, error.kind), listSerialPorts()};
}

bool Transfer::begin(const QString &path, const PortTarget &target, RecordFile::Mode mode)
{
    // Records go only to the file chosen for this transfer: an earlier one
    // that still holds its file (stopped on "NAK", say) gives it up now.
    m_file.close(m_policy != Policy::Window);
    m_lines.close();
    m_scan.stop();
    m_quietGuard.stop();
    m_timeout.stop();
    protocol().clear();
    m_target = target;
    m_path = path;
    m_mode = mode;
    m_rxBuffer.clear();
    const bool upload = m_direction == Outcome::Direction::Upload;
    // The collecting service makes its file with the first record: an empty
    // cradle makes none, and a first record that cannot be saved leaves none.
    const bool fileNow = upload && !m_sink && m_policy != Policy::Collect;
    // Nothing goes to the terminal while its records have nowhere to go, or
    // while the file to send cannot be read.
    Error e = !upload ? m_lines.openFile(path) : m_sink ? m_sink->begin(target) : fileNow ? m_file.open(path, mode) : Error();
    if (e) {
        fail(Kind::FileError, Reason::OpenFile, e);
        return false;
    }
    if ((e = openPort(target))) {
        m_file.discard();
        m_lines.close();
        fail(Kind::PortError, Reason::None, e);
        return false;
    }
    m_portFailed = Error::Kind::None;
    // The file is durable where it is before any record can be removed.
    if (fileNow && (e = m_file.commit())) {
        m_file.discard();
        fail(Kind::FileError, Reason::OpenFile, e);
        return false;
    }
    if (upload) {
        run(m_upload.start());
    } else {
        m_download.start();
        scanSome(); // a small file is read through at once
    }
    return true;
}

void Transfer::run(const Protocol::Actions &actions)
{
    for (const Protocol::Action &a : actions) {
        switch (a.what) {
        case Do::Ask:
            // A failed write is the port going away; its lineLost() reports it.
            m_port.write(frame(a.bytes));
            m_timeout.start();
            break;
        case Do::Tell:
            m_port.write(frame(a.bytes));
            break;
        case Do::Save:
            save(a.bytes);
            break;
        case Do::AwaitQuiet:
            m_quietGuard.start();
            break;
        case Do::SendLine:
            nextLine();
            break;
        case Do::Finish:
            finish(a);
            break;
        }
    }
}

void Transfer::receive()
{
    const QByteArray input = m_port.readAll();
    if (input.isEmpty() || !protocol().listening())
        return; // nothing of ours awaits it
    if (state() == State::ConfirmingEmpty) {
        // Bytes right after a CR alone: that CR was noise ahead of them.
        m_quietGuard.stop();
        m_rxBuffer = input;
        run(m_upload.noise());
        return;
    }
    // While a line leaves, only its bytes moving keep the clock from running out.
    if (!protocol().sending())
        m_timeout.heard();
    if (!assembleReply(m_rxBuffer, input)) {
        if (m_rxBuffer.size() > Protocol::MaxReplyBytes)
            run(protocol().endless());
        return;
    }
    const Protocol::Actions actions =
        m_direction == Outcome::Direction::Upload ? m_upload.reply(m_rxBuffer) : m_download.reply(m_rxBuffer);
    // What the terminal says next is a reply of its own, but after a
    // refusal the protocol may keep this one in front of it.
    run(actions);
    if (actions.isEmpty() || !actions.back().keepReply)
        m_rxBuffer.clear();
}

void Transfer::written()
{
    if (m_direction != Outcome::Direction::Download || !m_download.sending())
        return;
    while (!halted() && !m_lines.atLineStart() && m_port.isOpen() && m_port.bytesToWrite() < FeedLowWater) {
        if (!sendPiece())
            return;
    }
    if (m_lines.atLineStart())
        m_download.lineLeft(m_port.bytesToWrite() == 0);
}

void Transfer::tick()
{
    if (!protocol().clockRuns())
        return;
    const bool sending = protocol().sending() || m_port.bytesToWrite() > 0;
    const Protocol::Actions actions =
        protocol().timedOut(m_timeout.count(sending), m_timeout.rule(), !m_rxBuffer.isEmpty());
    run(actions);
    // Counted afresh once the front end has told it (as designed, after its box).
    if (!actions.isEmpty() && actions.back().kind == Kind::TimedOut)
        m_timeout.resetTicks();
}

void Transfer::lose(const Error &why)
{
    if (underWay())
        fail(Kind::Lost, Reason::None, why);
}

void Transfer::stop()
{
    if (!underWay()) {
        m_port.close();
        return;
    }
    const Protocol::Actions actions = protocol().stop(m_port.bytesToWrite() > 0);
    run(actions);
    if (state() == State::Ending)
        written(); // the line's last pieces go out
}

void Transfer::save(const QByteArray &record)
{
    if (m_sink) {
        if (Error e = m_sink->write(record, count() == 0)) {
            // Not kept for good (a commit whose outcome is unknown included): no "REMOVE".
            fail(Kind::FileError, Reason::SaveRecord, e);
            return;
        }
    } else {
        if (!m_file.isOpen()) {
            Error e = m_file.open(m_path, m_mode);
            if (!e && (e = m_file.commit()))
                m_file.discard();
            if (e) {
                fail(Kind::FileError, Reason::OpenFile, e);
                return;
            }
        }
        if (Error e = m_file.writeLine(record)) {
            // Without the record on disk the terminal must keep it: no "REMOVE".
            fail(Kind::FileError, Reason::SaveRecord, e);
            return;
        }
    }
    // The terminal waits for this answer; the display can wait for it.
    run(m_upload.saved(record.size()));
    Q_EMIT recordSaved(record, count());
}

void Transfer::scanSome()
{
    if (state() != State::Preparing)
        return;
    bool done = false;
    if (Error e = m_lines.scan(ScanSlice, done)) {
        failRead(e);
        return;
    }
    if (!done) {
        m_scan.start(); // the windows stay responsive, a stop is heard at once
        return;
    }
    run(m_download.scanned());
}

void Transfer::nextLine()
{
    if (m_lines.atEnd()) {
        // Never "OVER" for a file that is not what was read through.
        if (Error e = m_lines.checkUnchanged())
            failRead(e);
        else
            run(m_download.fileEnded());
        return;
    }
    m_download.lineStarted();
    m_timeout.start();
    QByteArray first;
    if (!sendPiece(&first))
        return;
    written();
    Q_EMIT lineSent(first, count() + 1, m_lines.position(), m_lines.size());
}

bool Transfer::sendPiece(QByteArray *piece)
{
    QByteArray read;
    bool ended = false;
    if (Error e = m_lines.readPiece(read, ended)) {
        failRead(e);
        return false;
    }
    m_download.linePiece(read);
    m_port.write(ended ? frame(read) : read);
    if (piece)
        *piece = std::move(read);
    return true;
}

void Transfer::failRead(const Error &e)
{
    fail(Kind::FileError, e.kind == Error::Kind::Changed ? Reason::FileChanged : Reason::ReadLine, e);
}

void Transfer::fail(Outcome::Kind kind, Outcome::Reason reason, const Error &error)
{
    finish(protocol().fail(kind, reason), error);
}

void Transfer::finish(const Protocol::Action &end, const Error &error)
{
    Outcome outcome;
    outcome.kind = end.kind;
    outcome.reason = end.reason;
    outcome.direction = m_direction;
    outcome.error = error;
    outcome.path = m_sink ? m_sink->shown() : m_path;
    outcome.port = m_target;
    outcome.waitedMs = m_timeout.timeoutMs();
    outcome.count = protocol().count();
    outcome.bytes = protocol().bytes();
    outcome.asked = end.bytes;
    outcome.unconfirmed = end.unconfirmed;
    if (end.kind == Kind::PortError)
        outcome.diagnosis = diagnose(error);
    if (end.kind == Kind::Refused || end.kind == Kind::TimedOut)
        outcome.reply = m_rxBuffer.left(end.reason == Reason::EndlessReply ? 256 : m_rxBuffer.size());
    if (end.held)
        m_timeout.stop();
    else
        release(end.kind, end.reason);
    // Before the front ends hear of it: a reader of the store can tell the
    // record that may come again.
    if (m_sink && outcome.unconfirmed)
        m_sink->unconfirmed();
    Q_EMIT finished(outcome);
}

void Transfer::release(Outcome::Kind kind, Outcome::Reason reason)
{
    m_timeout.stop();
    m_quietGuard.stop();
    m_scan.stop();
    m_rxBuffer.clear();
    m_rxBuffer.squeeze(); // an endless reply's memory goes with it
    // Bytes the terminal stopped taking would hold the close for as long as
    // the system waits for them; after a lost line, a file error or a
    // refusal nothing more may go out. Otherwise the last message is handed
    // to the line first.
    const bool drop = m_timeout.stalled() || reason == Reason::CutShort || (kind != Kind::Completed && kind != Kind::Stopped);
    // The collecting service keeps its port for the next poll.
    const bool kept = m_policy == Policy::Collect && kind != Kind::Stopped && !m_timeout.stalled();
    if (!kept && drop)
        m_port.abort();
    else if (!kept)
        m_port.close();
    // The one rule for a new file that got no record: the windows keep it,
    // as designed; the command line removes it (a script's next plain run
    // would find it), as it removes one whose first record failed.
    m_file.close(m_policy != Policy::Window);
    m_lines.close();
}
