#pragma once

#include "link/PortNames.h"
#include "transfer/CommDispatch.h"
#include "transfer/Outcome.h"
#include "transfer/ReplyTimeout.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class SerialPort;
class Timer;

// What the upload and the download dialogue share: the port's notifications
// and the timer's ticks handled one at a time, the reply assembly, the reply
// time-out, the state, and one finished() for however a transfer ends.
class Dialogue : public QObject
{
    Q_OBJECT
public:
    /// The serial port's notification.
    void MSComm1_OnComm();
    /// Runs a front end's handler (Start, with its dialogs) as one handler of
    /// this dialogue: notifications and ticks that arrive meanwhile wait for it.
    void runHandler(const std::function<void()> &handler) { m_dispatch.run(handler); }
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

    TransferState state() const { return m_state; }
    /// A message is out and its reply awaited, with no refusal or time-out since.
    bool inProgress() const { return m_state == TransferState::AwaitingReply; }
    /// The port of the transfer that last started.
    PortTarget target() const { return m_target; }
    const QByteArray &RxBuffer() const { return m_rxBuffer; }
    /// Records saved, or lines sent.
    qint64 RecordCount() const { return m_recordCount; }
    int TimeoutTicks() const { return m_timeout.ticks(); }

Q_SIGNALS:
    void finished(const Outcome &outcome);

protected:
    /// timer drives the reply time-out; null: none.
    Dialogue(SerialPort &port, Timer *timer, QObject *parent);

    /// RxBuffer holds one complete reply.
    virtual void handleReply() = 0;
    /// The transfer's file is open: a transfer is under way.
    virtual bool transferOpen() const = 0;
    /// What was moved before the line was lost, for the message.
    virtual QString movedSoFar() const = 0;
    /// Lets go of the file (and whatever else the transfer holds but the port).
    virtual void release() = 0;
    /// Bytes of a message still wait to go out (beyond the port's own queue).
    virtual bool sending() const { return false; }
    /// A tick of the timer, under the rule that handlers never nest.
    void tick();

    /// Resets what a new transfer starts from.
    void prepare(const PortTarget &target);
    /// Ends the transfer at once, on a dead line or a failed file: the port is
    /// closed without waiting for its queued bytes.
    void fail(Outcome::Kind kind, const QString &message, const Error &error = {});
    void finish(Outcome::Kind kind, const QString &message, const Error &error = {},
                Outcome::Reason reason = Outcome::Reason::None);

    SerialPort &m_port;
    ReplyTimeout m_timeout;
    TransferState m_state = TransferState::Idle;
    QByteArray m_rxBuffer;
    qint64 m_recordCount = 0;  // wide: a terminal may hold more than 32767 records
    qint64 m_bytes = 0;

private:
    void handleComm(int event);
    void handleTick();

    PortTarget m_target;
    bool m_stalled = false;  // the last time-out left bytes the terminal would not take
    CommDispatch m_dispatch;
};
