#include "transfer/DownloadTransfer.h"

#include "link/Framing.h"
#include "link/SerialPort.h"

namespace {
// Pieces of a long line are queued while the port holds less than this.
constexpr qint64 FeedLowWater = LineReader::ChunkSize;
}

DownloadTransfer::DownloadTransfer(SerialPort &port, Timer &timer, QObject *parent)
    : Dialogue(port, &timer, Outcome::Direction::Download, parent)
{
    setReplyTimeout(ReplyTimeout::DefaultMs);
    m_scan.setSingleShot(true);
    m_scan.setInterval(0);
    connect(&m_scan, &QTimer::timeout, this, [this] { runHandler([this] { scanSome(); }); });
}

void DownloadTransfer::release()
{
    m_scan.stop();
    m_file.close();
}

bool DownloadTransfer::begin(const QString &path, const PortTarget &target)
{
    // A new Start ends whatever an earlier transfer of this window left behind.
    release();
    reset(target);
    m_path = path;
    if (Error e = m_file.openFile(path)) {
        finish(Outcome::Kind::FileError, Outcome::Reason::OpenFile, e);
        return false;
    }
    if (Error e = openPort(target)) {
        release();
        finish(Outcome::Kind::PortError, Outcome::Reason::None, e);
        return false;
    }
    setState(State::Preparing);
    scanSome(); // a small file is read through at once
    return true;
}

void DownloadTransfer::scanSome()
{
    if (state() != State::Preparing)
        return;
    bool done = false;
    if (Error e = m_file.scan(ScanSlice, done)) {
        failRead(e);
        return;
    }
    if (!done) {
        m_scan.start();
        return;
    }
    m_lineHead.clear();
    m_lineBytes = 0;
    ask("DOWN", State::AwaitingAck);
}

void DownloadTransfer::failRead(const Error &e)
{
    finish(Outcome::Kind::FileError,
           e.kind == Error::Kind::Changed ? Outcome::Reason::FileChanged : Outcome::Reason::ReadLine, e);
}

QByteArray DownloadTransfer::lastMessage(qint64 &length) const
{
    if (state() == State::AwaitingAck) {
        length = 4;
        return QByteArrayLiteral("DOWN");
    }
    length = m_lineBytes;
    return m_lineHead;
}

bool DownloadTransfer::answer(const QByteArray &reply)
{
    if (state() == State::AwaitingLastAck) {
        // Stopped: whatever answers the last line ends it.
        if (reply == "ACK")
            counted(m_lineBytes);
        finish(Outcome::Kind::Stopped);
        return false;
    }
    if (reply == "ACK") {
        if (state() == State::SendingLine || state() == State::Ending)
            return false; // before the whole line went out it answers nothing we sent
        if (state() == State::AwaitingLineAck)
            counted(m_lineBytes); // only now has the terminal taken the line
        nextLine();
        return false;
    }
    // As designed, the refused reply stays in front of the next one.
    refuse(reply != "NAK" && isEcho(reply) ? Outcome::Reason::Echo : Outcome::Reason::None);
    return true;
}

void DownloadTransfer::nextLine()
{
    if (m_file.atEnd()) {
        // Never "OVER" for a file that is not what was read through.
        if (Error e = m_file.checkUnchanged()) {
            failRead(e);
            return;
        }
        tell("OVER");
        finish(Outcome::Kind::Completed);
        return;
    }
    m_lineHead.clear();
    m_lineBytes = 0;
    messageOut(State::SendingLine);
    if (!sendPiece())
        return;
    const QByteArray first = m_lineHead;
    written();
    Q_EMIT lineSent(first, count() + 1, m_file.position(), m_file.size());
}

bool DownloadTransfer::sendPiece()
{
    QByteArray piece;
    bool ended = false;
    if (Error e = m_file.readPiece(piece, ended)) {
        failRead(e);
        return false;
    }
    // What an echo is told by: the whole line, or the start of a long one.
    if (m_lineHead.size() < LineReader::ChunkSize)
        m_lineHead.append(piece.left(LineReader::ChunkSize - m_lineHead.size()));
    m_lineBytes += piece.size();
    port().write(ended ? frame(piece) : piece);
    return true;
}

void DownloadTransfer::written()
{
    const bool ending = state() == State::Ending;
    if (state() != State::SendingLine && !ending)
        return;
    while (!halted() && !m_file.atLineStart() && port().isOpen() && port().bytesToWrite() < FeedLowWater) {
        if (!sendPiece())
            return;
    }
    if (!m_file.atLineStart())
        return;
    if (!ending)
        setState(State::AwaitingLineAck);
    else if (port().bytesToWrite() == 0)
        setState(State::AwaitingLastAck); // the line has left whole
}
