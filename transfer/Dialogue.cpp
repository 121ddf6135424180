#include "transfer/Dialogue.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "link/SetCommPort.h"
#include "platform/Timer.h"

Dialogue::Dialogue(SerialPort &port, Timer *timer, Outcome::Direction direction, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_timeout(timer)
    , m_direction(direction)
    , m_dispatch(port, [this](int event) { handleComm(event); })
{
    connect(&m_port, &SerialPort::onComm, this, [this] { m_dispatch.notify(); });
    connect(&m_port, &SerialPort::sent, this, [this] {
        m_timeout.progressed();
        m_stalled = false;
    });
    if (timer) {
        connect(timer, &Timer::tick, this, [this] {
            // A tick while one of the front end's boxes is open is dropped: one
            // time-out at a time, and no handler runs inside another.
            if (!m_dispatch.busy())
                m_dispatch.run([this] { handleTick(); });
        });
    }
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
    return openTransferPort(m_port, target);
}

void Dialogue::send(const QByteArray &message, Sent sent, bool awaitReply)
{
    // A failed write is the port going away; its Lost notification reports it.
    m_port.output(frame(message));
    if (awaitReply) {
        setState(State::AwaitingReply, sent);
        m_timeout.start();
    } else {
        setState(m_state, sent);
    }
}

void Dialogue::handleComm(int event)
{
    if (event == CommEvent::Lost) {
        if (underWay())
            finish(Outcome::Kind::Lost, Outcome::Reason::None, m_port.lastFailure());
        return;
    }
    if (event != CommEvent::Receive)
        return;
    const QByteArray input = m_port.input();
    if (input.isEmpty())
        return; // nothing new: a replayed notification whose bytes were taken
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
    else if (m_port.portOpen())
        m_port.setPortOpen(false);
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
    switch (kind) {
    case Kind::Refused:
    case Kind::TimedOut:
        // As designed: the port and the file stay with the window.
        setState(kind == Kind::Refused ? State::Refused : State::TimedOut);
        break;
    case Kind::Completed:
        // The last message is handed to the line before the port closes.
        m_timeout.stop();
        if (m_port.portOpen())
            m_port.setPortOpen(false);
        release();
        setState(State::Ended);
        break;
    case Kind::Stopped:
        m_timeout.stop();
        release();
        // Bytes a terminal stopped taking would hold the close for as long as
        // the system waits for them.
        if (m_stalled && m_port.portOpen())
            m_port.abortPort();
        if (m_port.portOpen())
            m_port.setPortOpen(false);
        setState(State::Ended);
        break;
    case Kind::Lost:
    case Kind::FileError:
    case Kind::PortError:
        // Nothing more goes out: a dead line, or a record the terminal must keep.
        m_timeout.stop();
        m_port.abortPort();
        release();
        m_rxBuffer.clear();
        setState(State::Ended);
        break;
    }
    outcome.count = m_recordCount;
    outcome.bytes = m_bytes;
    Q_EMIT finished(outcome);
}
