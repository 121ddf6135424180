#pragma once

#include "link/PortNames.h"
#include "transfer/Outcome.h"
#include "transfer/ReplyTimeout.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <optional>

class SerialPort;
class Timer;

// What the upload and the download dialogue share: the port's signals and the
// timer's ticks handled one at a time, the reply assembly, the reply time-out,
// the state, and one finish() for however a transfer ends.
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
    // Where the dialogue stands. Only setState() changes it.
    enum class State {
        Idle,           // nothing started yet
        AwaitingReply,  // a message is out (or still going out) and its reply is awaited
        Refused,        // the terminal refused or answered what the dialogue does not know
        TimedOut,       // no complete reply within the time-out
        Ended,          // the transfer ended; the port and the file are given back
    };

    /// The port has bytes for the dialogue: each front end connects the
    /// port's readyRead() here (the windows through their MSComm1_OnComm).
    /// Bytes that come while another handler runs are read once it ends.
    void portReadyRead();
    /// Runs a front end's handler (Start, with its dialogs) as one handler of
    /// this dialogue: bytes, a lost line and ticks that arrive meanwhile wait for it.
    void runHandler(const std::function<void()> &handler);
    /// Longest wait for a reply; 0 waits for ever. untilSilence: the longest
    /// time without any byte from the terminal while a reply is awaited, never
    /// cut short; otherwise (the windows' rule) five ticks of the timer, and
    /// any part of a reply stops the clock until the next message. Either way
    /// a message that cannot leave the PC for that long is a time-out.
    void setReplyTimeout(int ms, bool untilSilence = false);
    /// Ends the transfer where it stands: the file keeps what it has, the port
    /// is closed after its queued bytes. finished(Stopped) follows when a
    /// transfer was under way.
    void stop();

    /// For tests: the monotonic clock the silence rule reads.
    void setClock(ReplyTimeout::Clock clock) { m_timeout.setClock(std::move(clock)); }

    State state() const { return m_state; }
    /// Started and not ended: the port and the file are held.
    bool underWay() const { return m_state != State::Idle && m_state != State::Ended; }
    /// A message is out and its reply awaited, with no refusal or time-out since.
    bool inProgress() const { return m_state == State::AwaitingReply; }
    /// The port of the transfer that last started.
    PortTarget target() const { return m_target; }
    /// The bytes of a reply received so far, without its CR.
    const QByteArray &RxBuffer() const { return m_rxBuffer; }
    /// Records saved, or lines sent.
    qint64 RecordCount() const { return m_recordCount; }
    int TimeoutTicks() const { return m_timeout.ticks(); }

Q_SIGNALS:
    void finished(const Outcome &outcome);

protected:
    // The last message sent: what the next reply can answer. Part of the
    // state: setState() changes both.
    enum class Sent { Nothing, Read, Remove, Done, Down, LinePart, Line, Over };

    /// timer drives the reply time-out; null: none.
    Dialogue(SerialPort &port, Timer *timer, Outcome::Direction direction, QObject *parent);

    /// RxBuffer holds one complete reply.
    virtual void handleReply() = 0;
    /// Lets go of the file.
    virtual void release() = 0;
    /// The transfer's file, for the outcome.
    virtual QString path() const = 0;

    Sent sent() const { return m_sent; }
    void setState(State state, Sent sent);
    void setState(State state) { setState(state, m_sent); }
    /// Resets what a new transfer starts from.
    void prepare(const PortTarget &target);
    /// Opens the transfer's port; one still open from an earlier transfer is
    /// used as it is when it is the one asked for, closed first otherwise.
    Error openPort(const PortTarget &target);
    /// Sends a whole message; awaitReply starts the reply time-out.
    void send(const QByteArray &message, Sent sent, bool awaitReply = true);
    /// Every end goes through here: the port and the file are released as
    /// the kind says (Refused and TimedOut keep them), then it is reported.
    void finish(Outcome::Kind kind, Outcome::Reason reason = Outcome::Reason::None, const Error &error = {});

    SerialPort &m_port;
    ReplyTimeout m_timeout;
    QByteArray m_rxBuffer;
    qint64 m_recordCount = 0;  // wide: a terminal may hold more than 32767 records
    qint64 m_bytes = 0;

private:
    void receive();
    void lose(const Error &why);
    void handleTick();

    State m_state = State::Idle;
    Sent m_sent = Sent::Nothing;
    Outcome::Direction m_direction;
    PortTarget m_target;
    bool m_stalled = false;  // the last time-out left bytes the terminal would not take
    bool m_busy = false;     // a handler runs
    std::optional<Error> m_lostHeld;  // the line was lost while a handler ran
};
