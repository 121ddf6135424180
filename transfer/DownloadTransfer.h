#pragma once

#include "storage/LineReader.h"
#include "transfer/Dialogue.h"

#include <QByteArray>
#include <QString>

// The download dialogue: announces the file, answers each "ACK" with its next
// line and "OVER" at its end, and reports a reply that does not come in time.
// A line of any length goes out in pieces as the port takes them.
class DownloadTransfer : public Dialogue
{
    Q_OBJECT
public:
    /// timer1 ticks a fifth of the reply time-out apart (a second as the
    /// window has it); a reply missing for five ticks is reported.
    DownloadTransfer(SerialPort &port, Timer &timer1, QObject *parent = nullptr);

    /// Opens the input file, then the port, and announces the download. False
    /// when it could not start: finished() has said why and nothing was sent.
    bool begin(const QString &path, const PortTarget &target);

Q_SIGNALS:
    /// A line went out (its first piece, for a long one): its number, and the
    /// bytes of the file done and in all. RecordCount() counts only the lines
    /// the terminal acknowledged.
    void lineSent(const QByteArray &line, qint64 count, qint64 fileDone, qint64 fileSize);

protected:
    void handleReply() override;
    void release() override { m_file.close(); }
    QString path() const override { return m_path; }

private:
    void answerAck();
    void feedLine();
    bool sendPiece();

    QByteArray m_currentLine;  // the piece being sent
    qint64 m_lineBytes = 0;    // bytes of the line going out
    LineReader m_file;
    QString m_path;
};
