#pragma once

#include "link/PortNames.h"
#include "storage/LineReader.h"
#include "storage/RecordFile.h"
#include "transfer/DownloadProtocol.h"
#include "transfer/Outcome.h"
#include "transfer/ReplyTimeout.h"
#include "transfer/UploadProtocol.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>

class RecordSink;
class SerialPort;
class Timer;

// Runs the upload or the download protocol over a port: owns the port's
// signals, the one reply clock, the receive buffer and the file (or the
// store), does what the protocol decides and tells it what came of it. What
// differs between the windows, the command line and the collecting service
// is one Policy given at construction.
class Transfer : public QObject
{
    Q_OBJECT
public:
    enum class Policy {
        // As the windows are designed: a refusal or time-out holds the port
        // and the file (a later reply can carry the transfer on), five ticks
        // of the timer are the time-out, and an upload's file is made at Start.
        Window,
        // quillan-cli upload/download: a refusal or time-out ends the
        // transfer; the time-out is silence on a monotonic clock; a new file
        // that got no record is removed.
        Command,
        // quillan-cli collect: as Command, and the file is made with the first
        // record (an empty cradle makes none); the port stays open between polls.
        Collect,
    };
    /// What reaches the transfer from outside, for a gate (setGate()).
    enum class Input { Bytes, Written, Lost, Tick, Quiet, Slice };
    /// Runs handler now, or later, or never (a tick); see setGate().
    using Gate = std::function<void(Input, const std::function<void()> &handler)>;
    using State = Protocol::State;

    /// Bytes of the file read through at a time before "DOWN".
    static constexpr qint64 ScanSlice = 4 * 1024 * 1024;
    /// How long the line must stay quiet after a CR alone for it to be the
    /// terminal's empty record rather than noise ahead of a reply.
    static constexpr int EmptyRecordGuardMs = 200;

    /// timer drives the reply time-out; null: none.
    Transfer(Outcome::Direction direction, Policy policy, SerialPort &port, Timer *timer, QObject *parent = nullptr);
    ~Transfer() override;

    /// Longest wait for a reply; 0 waits for ever (the windows: five seconds).
    /// Under Window, five ticks of the timer, any part of a reply stopping the
    /// clock until the next message; otherwise the longest time without any
    /// byte from the terminal, never cut short. Either way a message that
    /// cannot leave the PC for that long is a time-out.
    void setReplyTimeout(int ms);
    /// An upload's records go to sink instead of a file (begin()'s path and
    /// mode then unused); it stays the caller's.
    void setSink(RecordSink *sink) { m_sink = sink; }
    /// Every input goes through gate, which may hold it while a handler of its
    /// own runs (the windows, whose boxes run nested event loops) and catch
    /// up afterwards. Without one, inputs are handled as they come.
    void setGate(Gate gate) { m_gate = std::move(gate); }
    /// For a gate: handles bytes that wait in the port; false: none waited.
    bool catchUpBytes();
    /// For a gate: feeds the line that bytes leaving meanwhile made room for.
    void catchUpWritten() { written(); }

    /// Opens the file (an upload's as mode says), then the port, and starts
    /// the dialogue. False when it could not start: finished() has said why,
    /// nothing was sent and the files are as before. An earlier transfer
    /// that still holds its port and file (stopped on "NAK") gives them up.
    bool begin(const QString &path, const PortTarget &target, RecordFile::Mode mode = RecordFile::Mode::Create);
    /// Ends the transfer between two messages: a line that has begun to leave
    /// is let finish first and its answer is awaited, within the reply
    /// time-out (unless the terminal stopped taking it, or this is the second
    /// stop). finished(Stopped) follows when a transfer was under way; an
    /// idle port kept open is closed.
    void stop();

    State state() const { return protocol().state(); }
    /// Started and not ended: the port and the file are held.
    bool underWay() const { return protocol().underWay(); }
    /// The terminal refused or let time run out, and nothing went out since.
    bool halted() const { return protocol().halted(); }
    /// The port of the transfer that last started.
    PortTarget target() const { return m_target; }
    /// The bytes of a reply received so far, without its CR.
    const QByteArray &pendingReply() const { return m_rxBuffer; }
    /// Records saved, or lines the terminal acknowledged.
    qint64 count() const { return protocol().count(); }
    /// Ticks of the reply time-out since the last message.
    int ticks() const { return m_timeout.ticks(); }
    /// For tests: the monotonic clock the silence rule reads.
    void setClock(ReplyTimeout::Clock clock) { m_timeout.setClock(std::move(clock)); }

Q_SIGNALS:
    /// Upload: a record is kept and "REMOVE" went out for it.
    void recordSaved(const QByteArray &record, qint64 count);
    /// Download: a line began to leave: its first piece, its number, and the
    /// bytes of the file done and in all.
    void lineSent(const QByteArray &line, qint64 count, qint64 fileDone, qint64 fileSize);
    void finished(const Outcome &outcome);

private:
    const Protocol &protocol() const;
    Protocol &protocol();
    void dispatch(Input input, const std::function<void()> &handler);
    void receive();
    void written();
    void tick();
    void lose(const Error &why);
    void run(const Protocol::Actions &actions);
    void save(const QByteArray &record);
    void scanSome();
    void nextLine();
    bool sendPiece(QByteArray *piece = nullptr);
    void failRead(const Error &e);
    void finish(const Protocol::Action &end, const Error &error = {});
    void fail(Outcome::Kind kind, Outcome::Reason reason, const Error &error);
    void release(Outcome::Kind kind, Outcome::Reason reason);
    Error openPort(const PortTarget &target);
    std::optional<Outcome::PortFindings> diagnose(const Error &error);

    Outcome::Direction m_direction;
    Policy m_policy;
    SerialPort &m_port;
    ReplyTimeout m_timeout;
    UploadProtocol m_upload;
    DownloadProtocol m_download;
    Gate m_gate;
    QTimer m_quietGuard;  // upload: the quiet after an empty reply
    QTimer m_scan;        // download: the next slice of the file to read through
    PortTarget m_target;
    QString m_path;
    QByteArray m_rxBuffer;
    RecordFile m_file;
    RecordFile::Mode m_mode = RecordFile::Mode::Create;
    RecordSink *m_sink = nullptr;
    LineReader m_lines;
    Error::Kind m_portFailed = Error::Kind::None;  // how the port last failed to open; None: it opened
};
