#include "transfer/DownloadTransfer.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "link/SetCommPort.h"
#include "platform/Timer.h"
#include "transfer/Messages.h"

namespace {
// Pieces of a long line are queued while the port holds less than this.
constexpr qint64 FeedLowWater = LineReader::ChunkSize;
}

DownloadTransfer::DownloadTransfer(SerialPort &port, Timer &timer1, QObject *parent)
    : Dialogue(port, &timer1, parent)
{
    timer1.stop();
    setReplyTimeout(ReplyTimeout::TickLimit * TickIntervalMs);
    connect(&m_port, &SerialPort::sent, this, &DownloadTransfer::feedLine);
}

bool DownloadTransfer::begin(const QString &path, const PortTarget &target)
{
    prepare(target);
    // A new Start ends whatever an earlier transfer of this window left behind.
    release();
    if (Error e = m_file.open(path)) {
        if (m_port.portOpen())
            m_port.abortPort();
        finish(Outcome::Kind::FileError, Messages::cannotOpenFile(path, e, false), e);
        return false;
    }
    if (Error e = openTransferPort(m_port, target)) {
        m_file.close();
        finish(Outcome::Kind::PortError, Messages::cannotOpenPort(target, e), e);
        return false;
    }
    m_rxBuffer.clear();
    m_currentLine.clear();
    m_state = TransferState::AwaitingReply;
    m_port.output(frame("DOWN"));
    m_timeout.start();
    return true;
}

QString DownloadTransfer::movedSoFar() const
{
    return tr("Lines of \"%1\" the terminal acknowledged: %2.").arg(m_file.path()).arg(m_recordCount);
}

void DownloadTransfer::release()
{
    m_lineOpen = false;
    m_lineOut = false;
    m_file.close();
}

void DownloadTransfer::handleReply()
{
    if (m_rxBuffer == "ACK") {
        answerAck();
        return;
    }
    m_state = TransferState::Refused;
    finish(Outcome::Kind::Refused,
           m_rxBuffer == "NAK" ? QStringLiteral("Error - NAK") : QStringLiteral("Unknown Command !!"));
}

void DownloadTransfer::answerAck()
{
    if (!m_file.isOpen())
        return; // no transfer of this window is running
    if (m_lineOpen) {
        // An answer before the whole line went out answers nothing we sent.
        m_rxBuffer.clear();
        return;
    }
    if (m_lineOut) {
        // Only now has the terminal taken the line.
        m_lineOut = false;
        ++m_recordCount;
        m_bytes += m_lineBytes;
    }
    if (m_file.atEnd()) {
        m_port.output(frame("OVER"));
        m_port.setPortOpen(false); // waits, bounded, until "OVER" is on the line
        m_rxBuffer.clear();
        m_file.close();
        m_state = TransferState::Idle;
        finish(Outcome::Kind::Completed, QStringLiteral("Over !!"));
        m_recordCount = 0;
        return;
    }
    m_timeout.start();
    m_rxBuffer.clear();
    m_state = TransferState::AwaitingReply;
    m_lineOpen = true;
    m_lineOut = true;
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
        fail(Outcome::Kind::FileError, tr("Cannot read \"%1\": %2.").arg(m_file.path(), e.description), e);
        return false;
    }
    m_lineBytes += m_currentLine.size();
    if (ended) {
        m_lineOpen = false;
        m_port.output(frame(m_currentLine));
    } else {
        m_port.output(m_currentLine);
    }
    return true;
}

void DownloadTransfer::feedLine()
{
    while (m_lineOpen && m_file.isOpen() && m_port.portOpen() && m_port.bytesToWrite() < FeedLowWater) {
        if (!sendPiece())
            return;
    }
}
