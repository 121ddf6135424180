#include "transfer/Dialogue.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "platform/Timer.h"

#include <QTimer>

#include <utility>

Dialogue::Dialogue(SerialPort &port, Timer *timer, Outcome::Direction direction, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_timeout(timer)
    , m_quietGuard(new QTimer(this))
    , m_direction(direction)
{
    m_quietGuard->setSingleShot(true);
    m_quietGuard->setInterval(EmptyRecordGuardMs);
    connect(m_quietGuard, &QTimer::timeout, this, [this] {
        if (m_handling) { // a box is open: looked at again later
            m_quietGuard->start();
            return;
        }
        runHandler([this] {
            if (m_state != State::ConfirmingEmpty)
                return;
            m_state = State::AwaitingRecord;
            quietAfterEmpty();
        });
    });
    connectPort(timer);
}

void Dialogue::connectPort(Timer *timer)
{
    // Every signal the dialogue hears, here. Each runs as one handler; what
    // comes while a front end's box is open waits for the handler to end (a
    // tick is dropped: one time-out at a time).
    connect(&m_port, &SerialPort::readyRead, this, [this] {
        if (!m_handling)
            runHandler([this] { receive(); });
    });
    connect(&m_port, &SerialPort::bytesWritten, this, [this] {
        m_timeout.progressed();
        if (!m_handling)
            runHandler([this] { written(); });
    });
    connect(&m_port, &SerialPort::lineLost, this, [this](const Error &why) {
        if (m_handling)
            m_lostMeanwhile = why;
        else
            runHandler([this, why] { lose(why); });
    });
    if (timer) {
        connect(timer, &Timer::tick, this, [this] {
            if (!m_handling)
                runHandler([this] { handleTick(); });
        });
    }
}

void Dialogue::runHandler(const std::function<void()> &handler)
{
    m_handling = true;
    handler();
    for (;;) {
        if (m_port.bytesAvailable() > 0)
            receive();
        else if (m_lostMeanwhile)
            lose(*std::exchange(m_lostMeanwhile, std::nullopt));
        else
            break;
    }
    // Bytes that left while a box was open were not followed by a piece.
    written();
    m_handling = false;
}

void Dialogue::setReplyTimeout(int ms, ReplyTimeout::Rule rule)
{
    m_timeout.setTimeoutMs(ms, rule);
}

void Dialogue::reset(const PortTarget &target)
{
    m_count = 0;
    m_bytes = 0;
    m_target = target;
    m_halted = false;
    m_state = State::Idle;
    m_timeout.stop();
    m_rxBuffer.clear();
}

Error Dialogue::openPort(const PortTarget &target)
{
    if (m_port.isOpen()) {
        if (m_port.device() == target.device)
            return {};
        m_port.close();
    }
    return m_port.open(target);
}

void Dialogue::messageOut(State next)
{
    m_halted = false;
    m_state = next;
    m_timeout.start();
}

void Dialogue::awaitQuiet()
{
    m_state = State::ConfirmingEmpty;
    m_quietGuard->start();
}

void Dialogue::ask(const QByteArray &message, State awaiting)
{
    // A failed write is the port going away; its lineLost() reports it.
    m_port.write(frame(message));
    messageOut(awaiting);
}

void Dialogue::tell(const QByteArray &message)
{
    m_port.write(frame(message));
}

void Dialogue::counted(qint64 bytes)
{
    ++m_count;
    m_bytes += bytes;
}

bool Dialogue::isEcho(const QByteArray &reply) const
{
    qint64 length = 0;
    const QByteArray sent = lastMessage(length);
    if (sent.isEmpty())
        return false;
    if (sent.size() < length) // a long line, known by its first piece and its length
        return reply.size() >= length && reply.startsWith(sent);
    // As sent, or with the CR that came back too (turned into LF, or CR LF, by
    // a terminal or cable) and whatever the terminal said after it.
    if (!reply.startsWith(sent))
        return false;
    const QByteArrayView tail = QByteArrayView(reply).sliced(sent.size());
    return tail.isEmpty() || tail.startsWith('\n') || tail.startsWith(MessageEnd);
}

void Dialogue::lose(const Error &why)
{
    if (underWay())
        finish(Outcome::Kind::Lost, Outcome::Reason::None, why);
}

void Dialogue::receive()
{
    const QByteArray input = m_port.readAll();
    if (input.isEmpty() || m_state == State::Idle || m_state == State::Preparing)
        return; // nothing of ours awaits it
    if (m_state == State::ConfirmingEmpty) {
        // Bytes right after a CR alone: that CR was noise ahead of them, not
        // the terminal's empty record. What came stays for a held transfer.
        m_quietGuard->stop();
        m_state = State::AwaitingRecord;
        m_rxBuffer = input;
        refuse(Outcome::Reason::EmptyReply);
        return;
    }
    // While a line leaves, only its bytes moving keep the clock from running out.
    if (m_state != State::SendingLine && m_state != State::Ending)
        m_timeout.heard();
    if (!assembleReply(m_rxBuffer, input)) {
        if (m_rxBuffer.size() > MaxReplyBytes)
            refuse(Outcome::Reason::EndlessReply);
        return;
    }
    if (!answer(m_rxBuffer))
        m_rxBuffer.clear();
}

void Dialogue::handleTick()
{
    if (m_state == State::Idle || m_state == State::Preparing || m_state == State::ConfirmingEmpty || m_halted)
        return; // a tick the stopped timer had queued, or the quiet after an empty reply
    const bool sending = m_state == State::SendingLine || m_state == State::Ending || m_port.bytesToWrite() > 0;
    const ReplyTimeout::Verdict verdict = m_timeout.count(sending);
    if (verdict == ReplyTimeout::Verdict::Wait)
        return;
    if (m_state == State::Ending || m_state == State::AwaitingLastAck) {
        finish(Outcome::Kind::Stopped,
               m_state == State::Ending ? Outcome::Reason::CutShort : Outcome::Reason::None);
        return;
    }
    if (verdict == ReplyTimeout::Verdict::Silent && m_timeout.rule() == ReplyTimeout::Rule::Ticks
        && !m_rxBuffer.isEmpty())
        return;
    finish(Outcome::Kind::TimedOut,
           verdict == ReplyTimeout::Verdict::Stalled ? Outcome::Reason::Stalled : Outcome::Reason::None);
    // Counted afresh once the front end has told it (as designed, after its box).
    m_timeout.resetTicks();
}

void Dialogue::stop()
{
    switch (m_state) {
    case State::Idle:
        m_port.close();
        return;
    case State::Ending: // asked again: at once
        finish(Outcome::Kind::Stopped, Outcome::Reason::CutShort);
        return;
    case State::SendingLine:
    case State::AwaitingLineAck:
        // The terminal must not keep half a line: one that has begun to
        // leave finishes first, unless the terminal stopped taking it. Then
        // its answer is awaited: the port's next transfer must not meet it.
        if (m_halted)
            break;
        if (m_state == State::SendingLine || m_port.bytesToWrite() > 0) {
            m_state = State::Ending;
            written();
        } else {
            m_state = State::AwaitingLastAck;
        }
        return;
    default:
        break;
    }
    finish(Outcome::Kind::Stopped);
}

QByteArray Dialogue::askedWord() const
{
    switch (m_state) {
    case State::AwaitingRecord:
    case State::ConfirmingEmpty: return QByteArrayLiteral("READ");
    case State::AwaitingNext: return QByteArrayLiteral("REMOVE");
    case State::AwaitingAck: return QByteArrayLiteral("DOWN");
    default: return {};
    }
}

void Dialogue::finish(Outcome::Kind kind, Outcome::Reason reason, const Error &error)
{
    using Kind = Outcome::Kind;
    Outcome outcome;
    outcome.kind = kind;
    outcome.reason = reason;
    outcome.direction = m_direction;
    outcome.error = error;
    outcome.path = path();
    outcome.port = m_target;
    outcome.waitedMs = m_timeout.timeoutMs();
    outcome.count = m_count;
    outcome.bytes = m_bytes;
    if (kind == Kind::Refused || kind == Kind::TimedOut)
        outcome.asked = askedWord();
    outcome.unconfirmed = m_state == State::AwaitingNext && kind != Kind::Completed;
    if (kind == Kind::Refused || kind == Kind::TimedOut)
        outcome.reply = m_rxBuffer.left(reason == Outcome::Reason::EndlessReply ? 256 : m_rxBuffer.size());
    if ((kind == Kind::Refused || kind == Kind::TimedOut) && m_halt == Halt::Hold
        && reason != Outcome::Reason::EndlessReply) {
        // As designed: the port and the file stay with the window, and a
        // later reply that answers what was asked carries the transfer on.
        m_halted = true;
        m_timeout.stop();
    } else {
        end(kind, reason);
    }
    Q_EMIT finished(outcome);
}

void Dialogue::end(Outcome::Kind kind, Outcome::Reason reason)
{
    using Kind = Outcome::Kind;
    // Idle first: what the port says while it closes belongs to no transfer.
    m_state = State::Idle;
    m_halted = false;
    m_timeout.stop();
    m_quietGuard->stop();
    m_rxBuffer.clear();
    m_rxBuffer.squeeze(); // an endless reply's memory goes with it
    // Bytes the terminal stopped taking would hold the close for as long as
    // the system waits for them; after a lost line, a file error or a
    // refusal nothing more may go out. Otherwise the last message is handed
    // to the line first.
    const bool drop = m_timeout.stalled() || reason == Outcome::Reason::CutShort
                      || (kind != Kind::Completed && kind != Kind::Stopped);
    const bool kept = m_keepPortOpen && kind != Kind::Stopped && !m_timeout.stalled(); // for the next transfer
    if (!kept && drop)
        m_port.abort();
    else if (!kept)
        m_port.close();
    release();
}
