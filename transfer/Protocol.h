#pragma once

#include "transfer/Outcome.h"
#include "transfer/ReplyTimeout.h"

#include <QByteArray>
#include <QVarLengthArray>

// What the upload and the download dialogue share as rules, apart from any
// port, timer or file: fed what the terminal said, what the clock says or a
// stop, a protocol returns what is to be done, in order, and keeps one State.
// The driver (Transfer) does each action and reports back what it did.
class Protocol
{
public:
    /// What the dialogue awaits. Only the protocol changes it.
    enum class State {
        Idle,            // no transfer
        Preparing,       // download: the file is read through before "DOWN"
        AwaitingRecord,  // "READ" is out: a record, "OVER" or "NAK" answers it
        AwaitingNext,    // "REMOVE" is out: "NEXT" (or "OVER", "NAK")
        ConfirmingEmpty, // a CR alone answered "READ": the empty record once the line stays quiet
        AwaitingAck,     // "DOWN" is out: "ACK" asks for the first line
        SendingLine,     // a line is leaving piece by piece: nothing answers it yet
        AwaitingLineAck, // a whole line is out: "ACK" says the terminal took it
        Ending,          // asked to stop while a line leaves: let it finish leaving
        AwaitingLastAck, // asked to stop, the line out whole: its answer is awaited, then the end
    };
    /// What becomes of a transfer the terminal refused or let time out.
    enum class Halt {
        Hold,  // the windows: a later reply that answers what was asked carries it on
        End,   // the command line: the transfer ends there
    };

    struct Action
    {
        enum class Do {
            Ask,         // send bytes (a message): its reply is awaited, the clock runs
            Tell,        // send bytes that end the dialogue: nothing answers them
            Save,        // keep bytes as a record; saved() once it is kept
            AwaitQuiet,  // watch the line stay quiet: quiet(), or noise()
            SendLine,    // the file's next line goes out (lineStarted()), or fileEnded() at its end
            Finish,      // the transfer ends as kind and reason say (held: port and file kept)
        };
        Action(Do what = Do::Finish, const QByteArray &bytes = {}) : what(what), bytes(bytes) {}

        Do what;
        QByteArray bytes;  // Ask, Tell, Save; Finish: the word the PC had asked last
        Outcome::Kind kind = Outcome::Kind::Completed;
        Outcome::Reason reason = Outcome::Reason::None;
        bool held = false;         // Finish: the transfer is held, not ended
        bool unconfirmed = false;  // Finish: "REMOVE" went out, unanswered
        bool keepReply = false;    // Finish: the reply stays in front of the next one
    };
    using Actions = QVarLengthArray<Action, 2>;

    /// Replies longer than this without a CR are no terminal's: a wrong baud
    /// rate or another device on the port.
    static constexpr qsizetype MaxReplyBytes = 16 * 1024 * 1024;

    State state() const { return m_state; }
    bool underWay() const { return m_state != State::Idle; }
    /// The terminal refused or let time run out, and nothing went out since.
    bool halted() const { return m_halted; }
    /// Records saved, or lines the terminal acknowledged, and their bytes.
    qint64 count() const { return m_count; }
    qint64 bytes() const { return m_bytes; }
    /// A message of the PC's is still leaving (a line in pieces).
    bool sending() const { return m_state == State::SendingLine || m_state == State::Ending; }
    /// Bytes from the terminal count as a reply now.
    bool listening() const { return m_state != State::Idle && m_state != State::Preparing; }

    /// No transfer: counts start again at the next.
    void clear() { restart(State::Idle); }
    /// The reply clock counts: a reply is awaited, and nothing is halted.
    bool clockRuns() const { return listening() && !m_halted && m_state != State::ConfirmingEmpty; }

    /// The reply grew past MaxReplyBytes without a CR.
    Actions endless() { return {finish(Outcome::Kind::Refused, Outcome::Reason::EndlessReply)}; }
    /// The reply clock's verdict at a tick; partial: part of a reply is in.
    Actions timedOut(ReplyTimeout::Verdict verdict, ReplyTimeout::Rule rule, bool partial);
    /// Asked to stop, between two messages: a line that has begun to leave
    /// is let finish first (queued: bytes of it wait in the port) and its
    /// answer awaited, unless the terminal stopped taking it; a second stop
    /// ends at once. Idle: nothing.
    Actions stop(bool queued);
    /// Ends here, for a reason the driver found (a lost line, a failed file).
    Action fail(Outcome::Kind kind, Outcome::Reason reason = Outcome::Reason::None);

protected:
    explicit Protocol(Halt halt) : m_halt(halt) {}

    /// A new transfer: counts start again.
    void restart(State first);
    void setState(State state) { m_state = state; }
    /// A message goes out, or begins to: nothing is halted any more.
    void messageOut(State next);
    /// A message goes out and awaits its reply.
    Action ask(const QByteArray &message, State awaiting);
    void counted(qint64 bytes);
    /// A refusal or a time-out is held under Halt::Hold; every other end goes to Idle.
    Action finish(Outcome::Kind kind, Outcome::Reason reason = Outcome::Reason::None);
    /// The reply is the PC's own message coming back: sent is the message
    /// (a long line's first piece), length its whole length.
    static bool isEcho(const QByteArray &reply, const QByteArray &sent, qint64 length);

private:
    /// The command word the PC sent last, while its reply is awaited.
    QByteArray askedWord() const;

    State m_state = State::Idle;
    Halt m_halt;
    bool m_halted = false;
    qint64 m_count = 0;  // wide: a terminal may hold more than 32767 records
    qint64 m_bytes = 0;
};
