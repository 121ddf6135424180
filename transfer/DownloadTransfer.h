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
    /// Timer1 ticks once a second; a reply missing for five ticks is reported.
    static constexpr int TickIntervalMs = 1000;

    DownloadTransfer(SerialPort &port, Timer &timer1, QObject *parent = nullptr);

    /// Opens the input file, then the port, and announces the download. False
    /// when it could not start: finished() has said why and nothing was sent.
    bool begin(const QString &path, const PortTarget &target);
    void Timer1_Timer() { tick(); }

Q_SIGNALS:
    /// A line went out (its first piece, for a long one): its number, and the
    /// bytes of the file done and in all. RecordCount() counts only the lines
    /// the terminal acknowledged.
    void lineSent(const QByteArray &line, qint64 count, qint64 fileDone, qint64 fileSize);

protected:
    void handleReply() override;
    bool transferOpen() const override { return m_file.isOpen(); }
    QString movedSoFar() const override;
    void release() override;
    // A line still going out is not a silent terminal.
    bool sending() const override { return m_lineOpen; }

private:
    void answerAck();
    void feedLine();
    bool sendPiece();

    QByteArray m_currentLine;  // the piece being sent
    bool m_lineOpen = false;   // pieces of the current line are still to go
    bool m_lineOut = false;    // a line went out and its "ACK" is awaited
    qint64 m_lineBytes = 0;    // bytes of that line
    LineReader m_file;
};
