#pragma once

#include "transfer/Protocol.h"

// The download's rules: once the file is read through, "DOWN"; each "ACK"
// is answered with the next line and the file's end with "OVER". A line goes
// out in pieces as the port takes them; only a line the terminal
// acknowledged counts, and an "ACK" before the whole line is out answers
// nothing sent. A refused reply stays in front of the next one, as designed.
class DownloadProtocol : public Protocol
{
public:
    explicit DownloadProtocol(Halt halt) : Protocol(halt) {}

    /// A new download: the file is read through first.
    void start() { restart(State::Preparing); }
    /// The file is read through: "DOWN".
    Actions scanned();
    /// One complete reply, without its CR.
    Actions reply(const QByteArray &reply);
    /// Bytes of an echo that tell a line: a long line is known by its
    /// beginning and its length.
    static constexpr qsizetype LineHeadBytes = 64 * 1024;

    /// A line begins to leave: nothing answers it until it is out whole.
    void lineStarted();
    /// A piece of the line went to the port.
    void linePiece(QByteArrayView piece);
    /// The whole line is handed to the port; drained: it has left the PC too.
    void lineLeft(bool drained);
    /// The file has no more lines and is as it was read: "OVER".
    Actions fileEnded();

private:
    QByteArray m_lineHead;   // the line going out, or its first LineHeadBytes
    qint64 m_lineBytes = 0;  // bytes of the line going out, so far
};
