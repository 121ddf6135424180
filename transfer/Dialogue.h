#pragma once

#include "link/PortNames.h"
#include "transfer/Outcome.h"
#include "transfer/ReplyTimeout.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <optional>

class QTimer;
class SerialPort;
class Timer;

// What the upload and the download dialogue share: the port wired in one
// place and its signals handled one at a time, the reply assembly, the rule
// for a reply that answers nothing asked, the reply time-out, the state, and
// one finish() for however a transfer ends.
//
// Handlers never nest: a modal box runs a nested event loop, so bytes can
// arrive while a handler still waits for the user. They stay in the port and
// are read once the running handler has ended; a lost line is held likewise.
// The port does not announce bytes that arrive while its own signal is being
// handled, so what is waiting is looked at after every handler.
class Dialogue : public QObject
{
    Q_OBJECT
public:
    /// What the dialogue awaits. Only setState() changes it.
    enum class State {
        Idle,            // no transfer holds the port or a file
        Preparing,       // download: the file is read through before "DOWN"
        AwaitingRecord,  // "READ" is out: a record, "OVER" or "NAK" answers it
        AwaitingNext,    // "REMOVE" is out: "NEXT" (or "OVER", "NAK")
        ConfirmingEmpty, // a CR alone answered "READ": the empty record once the line stays quiet
        AwaitingAck,     // "DOWN" is out: "ACK" asks for the first line
        SendingLine,     // a line is leaving piece by piece: nothing answers it yet
        AwaitingLineAck, // a whole line is out: "ACK" says the terminal took it
        Ending,          // asked to stop while a line leaves: let finish leaving
        AwaitingLastAck, // asked to stop, the line out whole: its answer is awaited, then the end
    };
    /// What becomes of a transfer the terminal refused or let time out.
    enum class Halt {
        Hold,  // the windows: port and file kept, a later reply that answers what was asked carries it on
        End,   // the command line: the transfer ends there
    };
    /// Replies longer than this without a CR are no terminal's: a wrong baud
    /// rate or another device on the port.
    static constexpr qsizetype MaxReplyBytes = 16 * 1024 * 1024;
    /// How long the line must stay quiet after a CR alone for it to be the
    /// terminal's empty record rather than noise ahead of a reply.
    static constexpr int EmptyRecordGuardMs = 200;

    /// Runs a front end's handler (Start, with its dialogs) as one handler of
    /// this dialogue: bytes, a lost line and ticks that arrive meanwhile wait for it.
    void runHandler(const std::function<void()> &handler);
    /// Longest wait for a reply; 0 waits for ever. Rule::Silence: the longest
    /// time without any byte from the terminal while a reply is awaited, never
    /// cut short; Rule::Ticks (the windows): five ticks of the timer, and any
    /// part of a reply stops the clock until the next message. Either way a
    /// message that cannot leave the PC for that long is a time-out.
    void setReplyTimeout(int ms, ReplyTimeout::Rule rule = ReplyTimeout::Rule::Ticks);
    void setHalt(Halt halt) { m_halt = halt; }
    /// The port stays open when a transfer ends (for the next one on it).
    void setKeepPortOpen(bool keep) { m_keepPortOpen = keep; }
    /// Ends the transfer between two messages: a line that has begun to leave
    /// is let finish first and its answer is awaited, within the reply
    /// time-out, so that no late "ACK" meets the port's next transfer (unless
    /// the terminal stopped taking it, or this is the second stop). The file
    /// keeps what it has. finished(Stopped) follows when a transfer was under way.
    void stop();

    /// For tests: the monotonic clock the silence rule reads.
    void setClock(ReplyTimeout::Clock clock) { m_timeout.setClock(std::move(clock)); }

    State state() const { return m_state; }
    /// Started and not ended: the port and the file are held.
    bool underWay() const { return m_state != State::Idle; }
    /// The terminal refused or let time run out, and nothing went out since.
    bool halted() const { return m_halted; }
    /// The port of the transfer that last started.
    PortTarget target() const { return m_target; }
    /// The bytes of a reply received so far, without its CR.
    const QByteArray &pendingReply() const { return m_rxBuffer; }
    /// Records saved, or lines the terminal acknowledged.
    qint64 count() const { return m_count; }
    /// Ticks of the reply time-out since the last message.
    int ticks() const { return m_timeout.ticks(); }

Q_SIGNALS:
    void finished(const Outcome &outcome);

protected:
    /// timer drives the reply time-out; null: none.
    Dialogue(SerialPort &port, Timer *timer, Outcome::Direction direction, QObject *parent);

    /// One complete reply, without its CR. True: keep it in front of the
    /// next reply (as the download does after a refusal).
    virtual bool answer(const QByteArray &reply) = 0;
    /// The message the next reply answers, for telling an echo: its bytes
    /// (a long line's first piece) and its whole length.
    virtual QByteArray lastMessage(qint64 &length) const = 0;
    /// Bytes of a message left the PC (the download feeds its line here).
    virtual void written() {}
    /// The line stayed quiet after an empty reply (awaitQuiet()).
    virtual void quietAfterEmpty() {}
    /// Lets go of the file.
    virtual void release() = 0;
    /// The transfer's file, for the outcome.
    virtual QString path() const = 0;

    SerialPort &port() { return m_port; }
    void setState(State state) { m_state = state; }
    /// A new transfer on target: counts, what was received and the clock start again.
    void reset(const PortTarget &target);
    /// Opens the transfer's port; one still open from an earlier transfer is
    /// used as it is when it is the one asked for (what it holds is dropped),
    /// closed first otherwise.
    Error openPort(const PortTarget &target);
    /// Sends a whole message and awaits the reply to it.
    void ask(const QByteArray &message, State awaiting);
    /// Sends a whole message that ends the dialogue ("DONE", "OVER").
    void tell(const QByteArray &message);
    /// A message is out, or has begun to leave: the clock runs, nothing is halted.
    void messageOut(State next);
    /// An empty reply to "READ": quietAfterEmpty() once the line stays quiet
    /// for EmptyRecordGuardMs; a byte before that stops the transfer as noise.
    void awaitQuiet();
    /// A record saved or a line acknowledged, of this many bytes.
    void counted(qint64 bytes);
    /// The reply is the PC's own message coming back.
    bool isEcho(const QByteArray &reply) const;
    /// The terminal said what the dialogue does not take from it now.
    void refuse(Outcome::Reason reason = Outcome::Reason::None) { finish(Outcome::Kind::Refused, reason); }
    /// Every end goes through here: released as the kind and the halt rule
    /// say (a held refusal or time-out keeps the port and the file), then reported.
    void finish(Outcome::Kind kind, Outcome::Reason reason = Outcome::Reason::None, const Error &error = {});

private:
    void connectPort(Timer *timer);
    void receive();
    void lose(const Error &why);
    void handleTick();
    void end(Outcome::Kind kind, Outcome::Reason reason);
    QByteArray askedWord() const;

    SerialPort &m_port;
    ReplyTimeout m_timeout;
    QTimer *m_quietGuard;
    State m_state = State::Idle;
    bool m_halted = false;
    Halt m_halt = Halt::Hold;
    bool m_keepPortOpen = false;
    Outcome::Direction m_direction;
    PortTarget m_target;
    QByteArray m_rxBuffer;
    qint64 m_count = 0;  // wide: a terminal may hold more than 32767 records
    qint64 m_bytes = 0;
    // Dispatch: one handler at a time; a lost line waits for the running one.
    bool m_handling = false;
    std::optional<Error> m_lostMeanwhile;
};
