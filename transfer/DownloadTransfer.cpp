#include "transfer/DownloadTransfer.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "platform/Timer.h"

namespace {
// Pieces of a long line are queued while the port holds less than this.
constexpr qint64 FeedLowWater = LineReader::ChunkSize;
}

DownloadTransfer::DownloadTransfer(SerialPort &port, Timer &timer1, QObject *parent)
    : Dialogue(port, &timer1, Outcome::Direction::Download, parent)
{
    timer1.stop();
    setReplyTimeout(ReplyTimeout::DefaultMs);
    connect(&m_port, &SerialPort::bytesWritten, this, &DownloadTransfer::feedLine);
}

bool DownloadTransfer::begin(const QString &path, const PortTarget &target)
{
    // A new Start ends whatever an earlier transfer of this window left behind.
    release();
    prepare(target);
    m_path = path;
    if (Error e = m_file.open(path)) {
        finish(Outcome::Kind::FileError, Outcome::Reason::OpenFile, e);
        return false;
    }
    if (Error e = openPort(target)) {
        finish(Outcome::Kind::PortError, Outcome::Reason::None, e);
        return false;
    }
    m_currentLine.clear();
    send("DOWN", Sent::Down);
    return true;
}

void DownloadTransfer::handleReply()
{
    if (m_rxBuffer == "ACK")
        answerAck();
    else
        finish(Outcome::Kind::Refused);
}

void DownloadTransfer::answerAck()
{
    if (!underWay())
        return; // no transfer of this window is running
    if (sent() == Sent::LinePart) {
        // An answer before the whole line went out answers nothing we sent.
        m_rxBuffer.clear();
        return;
    }
    if (sent() == Sent::Line) {
        // Only now has the terminal taken the line.
        ++m_recordCount;
        m_bytes += m_lineBytes;
    }
    m_rxBuffer.clear();
    if (m_file.atEnd()) {
        send("OVER", Sent::Over, false);
        finish(Outcome::Kind::Completed);
        m_recordCount = 0;
        return;
    }
    m_timeout.start();
    setState(State::AwaitingReply, Sent::LinePart);
    m_lineBytes = 0;
    if (!sendPiece())
        return;
    const QByteArray first = m_currentLine;
    feedLine();
    Q_EMIT lineSent(first, m_recordCount + 1, m_file.position(), m_file.size());
}

bool DownloadTransfer::sendPiece()
{
    bool ended = false;
    if (Error e = m_file.readPiece(m_currentLine, ended)) {
        finish(Outcome::Kind::FileError, Outcome::Reason::ReadLine, e);
        return false;
    }
    m_lineBytes += m_currentLine.size();
    if (ended) {
        setState(state(), Sent::Line);
        m_port.write(frame(m_currentLine));
    } else {
        m_port.write(m_currentLine);
    }
    return true;
}

void DownloadTransfer::feedLine()
{
    while (sent() == Sent::LinePart && underWay() && m_port.isOpen() && m_port.bytesToWrite() < FeedLowWater) {
        if (!sendPiece())
            return;
    }
}
