#include "transfer/Protocol.h"

#include "link/Framing.h"

void Protocol::restart(State first)
{
    m_count = 0;
    m_bytes = 0;
    m_halted = false;
    m_state = first;
}

void Protocol::messageOut(State next)
{
    m_halted = false;
    m_state = next;
}

Protocol::Action Protocol::ask(const QByteArray &message, State awaiting)
{
    messageOut(awaiting);
    return {Action::Do::Ask, message};
}

void Protocol::counted(qint64 bytes)
{
    ++m_count;
    m_bytes += bytes;
}

QByteArray Protocol::askedWord() const
{
    switch (m_state) {
    case State::AwaitingRecord:
    case State::ConfirmingEmpty: return QByteArrayLiteral("READ");
    case State::AwaitingNext: return QByteArrayLiteral("REMOVE");
    case State::AwaitingAck: return QByteArrayLiteral("DOWN");
    default: return {};
    }
}

Protocol::Action Protocol::finish(Outcome::Kind kind, Outcome::Reason reason)
{
    using Kind = Outcome::Kind;
    Action a{Action::Do::Finish};
    a.kind = kind;
    a.reason = reason;
    if (kind == Kind::Refused || kind == Kind::TimedOut)
        a.bytes = askedWord();
    a.unconfirmed = m_state == State::AwaitingNext && kind != Kind::Completed;
    // As the windows are designed: port and file stay, and a later reply
    // that answers what was asked carries the transfer on.
    a.held = (kind == Kind::Refused || kind == Kind::TimedOut) && m_halt == Halt::Hold
             && reason != Outcome::Reason::EndlessReply;
    if (a.held)
        m_halted = true;
    else
        m_state = State::Idle, m_halted = false;
    return a;
}

Protocol::Action Protocol::fail(Outcome::Kind kind, Outcome::Reason reason)
{
    return finish(kind, reason);
}

Protocol::Actions Protocol::timedOut(ReplyTimeout::Verdict verdict, ReplyTimeout::Rule rule, bool partial)
{
    if (verdict == ReplyTimeout::Verdict::Wait || !clockRuns())
        return {}; // a tick the stopped timer had queued, or the quiet after an empty reply
    if (m_state == State::Ending || m_state == State::AwaitingLastAck)
        return {finish(Outcome::Kind::Stopped,
                       m_state == State::Ending ? Outcome::Reason::CutShort : Outcome::Reason::None)};
    // Under the windows' rule part of a reply stops the clock.
    if (verdict == ReplyTimeout::Verdict::Silent && rule == ReplyTimeout::Rule::Ticks && partial)
        return {};
    return {finish(Outcome::Kind::TimedOut,
                   verdict == ReplyTimeout::Verdict::Stalled ? Outcome::Reason::Stalled : Outcome::Reason::None)};
}

Protocol::Actions Protocol::stop(bool queued)
{
    switch (m_state) {
    case State::Idle:
        return {};
    case State::Ending: // asked again: at once
        return {finish(Outcome::Kind::Stopped, Outcome::Reason::CutShort)};
    case State::SendingLine:
    case State::AwaitingLineAck:
        // The terminal must not keep half a line: one that has begun to
        // leave finishes first, unless the terminal stopped taking it. Then
        // its answer is awaited: the port's next transfer must not meet it.
        if (m_halted)
            break;
        m_state = m_state == State::SendingLine || queued ? State::Ending : State::AwaitingLastAck;
        return {};
    default:
        break;
    }
    return {finish(Outcome::Kind::Stopped)};
}

bool Protocol::isEcho(const QByteArray &reply, const QByteArray &sent, qint64 length)
{
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
