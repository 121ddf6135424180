#pragma once

#include "link/PortNames.h"
#include "storage/LineReader.h"
#include "transfer/CommDispatch.h"
#include "transfer/Outcome.h"
#include "transfer/ReplyTimeout.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class SerialPort;
class Timer;

// The download dialogue: announces the file, answers each "ACK" with its next
// line and "OVER" at its end, and reports a reply that does not come in time.
// A line of any length goes out in pieces as the port takes them.
class DownloadTransfer : public QObject
{
    Q_OBJECT
public:
    /// Timer1 ticks once a second; a reply missing for five ticks is reported.
    static constexpr int TickIntervalMs = 1000;

    DownloadTransfer(SerialPort &port, Timer &timer1, QObject *parent = nullptr);

    /// Opens the input file, then the port, and announces the download. False
    /// when it could not start: finished() has said why and nothing was sent.
    bool begin(const QString &path, const PortTarget &target);
    void MSComm1_OnComm();
    void Timer1_Timer();
    /// Runs a front end's handler (Start, with its dialogs) as one handler of
    /// this dialogue: notifications and ticks wait for its end.
    void runHandler(const std::function<void()> &handler) { m_dispatch.run(handler); }
    /// Longest wait for a reply (five ticks); 0 waits for ever. strict: a
    /// reply must be complete within it (the window's rule instead waits
    /// without limit once any part of a reply has come).
    void setReplyTimeout(int ms, bool strict = false);
    /// Ends the transfer where it stands: timer stopped, port closed after its
    /// queued bytes, file closed. finished(Stopped) follows when a transfer
    /// was under way.
    void stop();

    TransferState state() const { return m_state; }
    bool inProgress() const { return m_state == TransferState::AwaitingReply; }
    PortTarget target() const { return m_target; }
    const QByteArray &RxBuffer() const { return m_rxBuffer; }
    int TimeoutTicks() const { return m_timeout.ticks(); }
    qint64 RecordCount() const { return m_recordCount; }

Q_SIGNALS:
    /// A line went out (its first piece, for a long one): its number, and the
    /// bytes of the file done and in all.
    void lineSent(const QByteArray &line, qint64 count, qint64 fileDone, qint64 fileSize);
    void finished(const Outcome &outcome);

private:
    void handleComm(int event);
    void handleTick();
    void answerAck();
    void feedLine();
    bool sendPiece();
    void fail(Outcome::Kind kind, const QString &message, const Error &error = {});
    void finish(Outcome::Kind kind, const QString &message, const Error &error = {});

    SerialPort &m_port;
    Timer &m_timer1;
    ReplyTimeout m_timeout;
    bool m_strictTimeout = false;
    TransferState m_state = TransferState::Idle;
    PortTarget m_target;
    QByteArray m_rxBuffer;
    QByteArray m_currentLine;  // the piece being sent
    bool m_lineOpen = false;   // pieces of the current line are still to go
    qint64 m_recordCount = 0;  // lines sent
    qint64 m_bytes = 0;
    LineReader m_file;
    CommDispatch m_dispatch;
};
