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
    : QObject(parent)
    , m_port(port)
    , m_timer1(timer1)
    , m_timeout(&timer1, port)
    , m_dispatch(port, [this](int event) { handleComm(event); })
{
    m_timer1.stop();
    m_timeout.setTimeoutMs(ReplyTimeout::TickLimit * TickIntervalMs);
    connect(&m_port, &SerialPort::onComm, this, &DownloadTransfer::MSComm1_OnComm);
    connect(&m_port, &SerialPort::sent, this, &DownloadTransfer::feedLine);
    connect(&m_timer1, &Timer::tick, this, &DownloadTransfer::Timer1_Timer);
}

void DownloadTransfer::setReplyTimeout(int ms, bool strict)
{
    m_timeout.setTimeoutMs(ms);
    m_strictTimeout = strict;
}

bool DownloadTransfer::begin(const QString &path, const PortTarget &target)
{
    m_recordCount = 0;
    m_bytes = 0;
    m_target = target;
    m_state = TransferState::Idle;
    // A new Start ends whatever an earlier transfer of this window left behind.
    m_timeout.stop();
    m_lineOpen = false;
    m_file.close();
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

void DownloadTransfer::MSComm1_OnComm()
{
    m_dispatch.notify();
}

void DownloadTransfer::Timer1_Timer()
{
    // A tick while one of this window's boxes is open is dropped: one
    // "Timed Out !!" at a time, and no handler runs inside another.
    if (m_dispatch.busy())
        return;
    m_dispatch.run([this] { handleTick(); });
}

void DownloadTransfer::handleComm(int event)
{
    if (event == CommEvent::Lost) {
        if (!m_file.isOpen())
            return;
        fail(Outcome::Kind::Lost,
             Messages::connectionLost(m_port.lastFailure()) + QLatin1String("\n\n")
                 + tr("Lines of \"%1\" sent: %2.").arg(m_file.path()).arg(m_recordCount),
             m_port.lastFailure());
        return;
    }
    if (event != CommEvent::Receive)
        return;
    const QByteArray input = m_port.input();
    if (input.isEmpty())
        return; // a replayed notification whose bytes were already taken
    if (!m_strictTimeout)
        m_timeout.stop();
    if (!assembleReply(m_rxBuffer, input))
        return;
    m_timeout.stop();

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
    ++m_recordCount;
    m_rxBuffer.clear();
    m_state = TransferState::AwaitingReply;
    m_lineOpen = true;
    if (!sendPiece())
        return;
    const QByteArray first = m_currentLine;
    feedLine();
    Q_EMIT lineSent(first, m_recordCount, m_file.position(), m_file.size());
}

bool DownloadTransfer::sendPiece()
{
    bool ended = false;
    if (Error e = m_file.readPiece(m_currentLine, ended)) {
        fail(Outcome::Kind::FileError, tr("Cannot read \"%1\": %2.").arg(m_file.path(), e.description), e);
        return false;
    }
    m_bytes += m_currentLine.size();
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

void DownloadTransfer::handleTick()
{
    if (m_lineOpen || !m_timeout.count())
        return;
    if (!m_strictTimeout && !m_rxBuffer.isEmpty())
        return;
    m_state = TransferState::TimedOut;
    finish(Outcome::Kind::TimedOut, QStringLiteral("Timed Out !!"));
    m_timeout.stop();
    m_timeout.resetTicks();
}

void DownloadTransfer::fail(Outcome::Kind kind, const QString &message, const Error &error)
{
    m_timeout.stop();
    m_lineOpen = false;
    m_port.abortPort();
    m_file.close();
    m_rxBuffer.clear();
    m_state = TransferState::Idle;
    finish(kind, message, error);
}

void DownloadTransfer::stop()
{
    const bool underWay = m_file.isOpen();
    m_timeout.stop();
    m_lineOpen = false;
    if (m_port.portOpen())
        m_port.setPortOpen(false);
    m_file.close();
    m_state = TransferState::Idle;
    if (underWay)
        finish(Outcome::Kind::Stopped, tr("The transfer was stopped."));
}

void DownloadTransfer::finish(Outcome::Kind kind, const QString &message, const Error &error)
{
    Q_EMIT finished(Outcome{kind, m_recordCount, m_bytes, message, error});
}
