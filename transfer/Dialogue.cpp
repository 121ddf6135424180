#include "transfer/Dialogue.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "platform/Timer.h"

#include <utility>

Dialogue::Dialogue(SerialPort &port, Timer *timer, Outcome::Direction direction, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_timeout(timer)
    , m_direction(direction)
{
    connect(&m_port, &SerialPort::lineLost, this, [this](const Error &why) {
        if (m_busy)
            m_lostHeld = why;
        else
            runHandler([this, why] { lose(why); });
    });
    connect(&m_port, &SerialPort::bytesWritten, this, [this] {
        m_timeout.progressed();
        m_stalled = false;
    });
    if (timer) {
        connect(timer, &Timer::tick, this, [this] {
            // A tick while one of the front end's boxes is open is dropped: one
            // time-out at a time, and no handler runs inside another.
            if (!m_busy)
                runHandler([this] { handleTick(); });
        });
    }
}

void Dialogue::portReadyRead()
{
    if (!m_busy)
        runHandler([this] { receive(); });
}

void Dialogue::runHandler(const std::function<void()> &handler)
{
    m_busy = true;
    handler();
    for (;;) {
        if (m_port.bytesAvailable() > 0)
            receive();
        else if (m_lostHeld)
            lose(*std::exchange(m_lostHeld, std::nullopt));
        else
            break;
    }
    m_busy = false;
}

void Dialogue::setState(State state, Sent sent)
{
    m_state = state;
    m_sent = sent;
}

void Dialogue::setReplyTimeout(int ms, bool untilSilence)
{
    m_timeout.setTimeoutMs(ms, untilSilence ? ReplyTimeout::Rule::Silence : ReplyTimeout::Rule::Ticks);
}

void Dialogue::prepare(const PortTarget &target)
{
    m_recordCount = 0;
    m_bytes = 0;
    m_target = target;
    setState(State::Idle, Sent::Nothing);
    m_stalled = false;
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

void Dialogue::send(const QByteArray &message, Sent sent, bool awaitReply)
{
    // A failed write is the port going away; its lineLost() reports it.
    m_port.write(frame(message));
    if (awaitReply) {
        setState(State::AwaitingReply, sent);
        m_timeout.start();
    } else {
        setState(m_state, sent);
    }
}

void Dialogue::lose(const Error &why)
{
    if (underWay())
        finish(Outcome::Kind::Lost, Outcome::Reason::None, why);
}

void Dialogue::receive()
{
    const QByteArray input = m_port.readAll();
    if (input.isEmpty())
        return;
    if (m_timeout.rule() == ReplyTimeout::Rule::Ticks)
        m_timeout.stop();
    else
        m_timeout.heard();
    if (!assembleReply(m_rxBuffer, input))
        return;
    m_timeout.stop();
    handleReply();
}

void Dialogue::handleTick()
{
    const bool sending = m_sent == Sent::LinePart || m_port.bytesToWrite() > 0;
    const ReplyTimeout::Verdict verdict = m_timeout.count(sending);
    if (verdict == ReplyTimeout::Verdict::Wait)
        return;
    if (verdict == ReplyTimeout::Verdict::Silent && m_timeout.rule() == ReplyTimeout::Rule::Ticks
        && !m_rxBuffer.isEmpty())
        return;
    const bool stalled = verdict == ReplyTimeout::Verdict::Stalled;
    if (stalled)
        m_stalled = true;
    finish(Outcome::Kind::TimedOut, stalled ? Outcome::Reason::Stalled : Outcome::Reason::None);
    m_timeout.stop();
    m_timeout.resetTicks();
}

void Dialogue::stop()
{
    if (underWay())
        finish(Outcome::Kind::Stopped);
    else
        m_port.close();
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
    if (kind == Kind::Refused) {
        outcome.reply = m_rxBuffer;
        outcome.asked = m_sent == Sent::Read ? QByteArrayLiteral("READ")
                        : m_sent == Sent::Remove ? QByteArrayLiteral("REMOVE")
                                                 : QByteArray();
    }
    if (kind == Kind::Refused || kind == Kind::TimedOut) {
        // As designed: the port and the file stay with the window.
        setState(kind == Kind::Refused ? State::Refused : State::TimedOut);
    } else {
        // Ended first: what the port says while it closes belongs to no transfer.
        setState(State::Ended);
        m_timeout.stop();
        if (kind == Kind::Completed) {
            // The last message is handed to the line before the port closes.
            m_port.close();
            release();
        } else if (kind == Kind::Stopped) {
            release();
            // Bytes a terminal stopped taking would hold the close for as long
            // as the system waits for them.
            if (m_stalled)
                m_port.abort();
            m_port.close();
        } else {
            // Nothing more goes out: a dead line, or a record the terminal must keep.
            m_port.abort();
            release();
            m_rxBuffer.clear();
        }
    }
    outcome.count = m_recordCount;
    outcome.bytes = m_bytes;
    Q_EMIT finished(outcome);
}
