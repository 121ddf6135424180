#pragma once

#include "storage/LineReader.h"
#include "transfer/Dialogue.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

// The download dialogue: reads the file through once (in slices, so that the
// windows stay responsive and a stop is heard at once), announces it,
// answers each "ACK" with its next line and "OVER" at its end, and reports a
// reply that does not come in time. A line of any length goes out in pieces
// as the port takes them. A file that changes while it is sent is never
// reported as sent: "OVER" does not go out.
class DownloadTransfer : public Dialogue
{
    Q_OBJECT
public:
    /// Bytes of the file read through at a time before "DOWN".
    static constexpr qint64 ScanSlice = 4 * 1024 * 1024;

    /// timer ticks a fifth of the reply time-out apart (a second as the
    /// window has it); a reply missing for five ticks is reported.
    DownloadTransfer(SerialPort &port, Timer &timer, QObject *parent = nullptr);

    /// Opens the input file, then the port, reads the file through and
    /// announces the download. False when it could not start: finished() has
    /// said why and nothing was sent.
    bool begin(const QString &path, const PortTarget &target);

Q_SIGNALS:
    /// A line began to leave: its first piece, its number, and the bytes of
    /// the file done and in all. count() counts only the lines the terminal
    /// acknowledged.
    void lineSent(const QByteArray &line, qint64 count, qint64 fileDone, qint64 fileSize);

protected:
    bool answer(const QByteArray &reply) override;
    QByteArray lastMessage(qint64 &length) const override;
    void written() override;
    void release() override;
    QString path() const override { return m_path; }

private:
    void scanSome();
    void nextLine();
    bool sendPiece();
    void failRead(const Error &e);

    QByteArray m_lineHead;   // the line going out, or its first ChunkSize bytes
    qint64 m_lineBytes = 0;  // bytes of the line going out, so far
    LineReader m_file;
    QString m_path;
    QTimer m_scan;
};
