#pragma once

#include "link/PortNames.h"
#include "storage/RecordFile.h"
#include "transfer/CommDispatch.h"
#include "transfer/Outcome.h"
#include "transfer/ReplyTimeout.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class SerialPort;
class Timer;

// The upload dialogue: asks the terminal for its records, writes each as one
// line of the output file and tells the terminal to remove it only once it is
// on disk. Front ends (the Upload window, the command line) start it, show
// its progress and report how it finished.
class UploadTransfer : public QObject
{
    Q_OBJECT
public:
    /// timer drives the optional reply time-out; null: none (as in the window).
    explicit UploadTransfer(SerialPort &port, Timer *timer = nullptr, QObject *parent = nullptr);

    /// Opens the output file as mode says, then the port; puts the file in
    /// place and asks for the first record. False when it could not start:
    /// finished() has said why, nothing was sent and the files are as before.
    bool begin(const QString &path, const PortTarget &target, RecordFile::Mode mode);
    /// The serial port's notification.
    void MSComm1_OnComm();
    /// Runs a front end's handler (Start, with its dialogs) as one handler of
    /// this dialogue: notifications that arrive meanwhile wait for its end.
    void runHandler(const std::function<void()> &handler) { m_dispatch.run(handler); }
    /// Longest wait for a complete reply; 0 (the default) waits for ever.
    void setReplyTimeout(int ms);
    /// Ends the transfer where it stands: the port is closed after its queued
    /// bytes, the file keeps every record so far. finished(Stopped) follows
    /// when a transfer was under way.
    void stop();

    TransferState state() const { return m_state; }
    /// A message is out and its reply awaited, with no refusal or time-out since.
    bool inProgress() const { return m_state == TransferState::AwaitingReply; }
    /// The port of the transfer that last started.
    PortTarget target() const { return m_target; }
    QString path() const { return m_path; }
    const QByteArray &RxBuffer() const { return m_rxBuffer; }
    qint64 RecordCount() const { return m_recordCount; }

Q_SIGNALS:
    /// A record is on disk and "REMOVE" went out for it.
    void recordSaved(const QByteArray &record, qint64 count);
    void finished(const Outcome &outcome);

private:
    void handleComm(int event);
    void handleTick();
    void handleReply();
    void storeRecord();
    void fail(Outcome::Kind kind, const QString &message, const Error &error = {});
    void finish(Outcome::Kind kind, const QString &message, const Error &error = {});
    void send(const QByteArray &word, bool awaitReply = true);

    SerialPort &m_port;
    ReplyTimeout m_timeout;
    TransferState m_state = TransferState::Idle;
    PortTarget m_target;
    QString m_path;
    QByteArray m_rxBuffer;
    qint64 m_recordCount = 0;  // wide: a terminal may hold more than 32767 records
    qint64 m_bytes = 0;
    RecordFile m_file;
    CommDispatch m_dispatch;
};
