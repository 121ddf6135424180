#include "transfer/DownloadProtocol.h"

using Kind = Outcome::Kind;
using Reason = Outcome::Reason;

Protocol::Actions DownloadProtocol::scanned()
{
    m_lineHead.clear();
    m_lineBytes = 0;
    return {ask(QByteArrayLiteral("DOWN"), State::AwaitingAck)};
}

Protocol::Actions DownloadProtocol::reply(const QByteArray &reply)
{
    if (state() == State::AwaitingLastAck) {
        // Stopped: whatever answers the last line ends it.
        if (reply == "ACK")
            counted(m_lineBytes);
        return {finish(Kind::Stopped)};
    }
    if (reply == "ACK") {
        if (sending())
            return {}; // before the whole line went out it answers nothing sent
        if (state() == State::AwaitingLineAck)
            counted(m_lineBytes); // only now has the terminal taken the line
        return {{Action::Do::SendLine}};
    }
    const bool echo = reply != "NAK"
                      && (state() == State::AwaitingAck ? isEcho(reply, QByteArrayLiteral("DOWN"), 4)
                                                        : isEcho(reply, m_lineHead, m_lineBytes));
    Action refused = finish(Kind::Refused, echo ? Reason::Echo : Reason::None);
    refused.keepReply = true;
    return {refused};
}

void DownloadProtocol::lineStarted()
{
    m_lineHead.clear();
    m_lineBytes = 0;
    messageOut(State::SendingLine);
}

void DownloadProtocol::linePiece(QByteArrayView piece)
{
    if (m_lineHead.size() < LineHeadBytes)
        m_lineHead.append(piece.first(qMin(piece.size(), LineHeadBytes - m_lineHead.size())));
    m_lineBytes += piece.size();
}

void DownloadProtocol::lineLeft(bool drained)
{
    if (state() == State::SendingLine)
        setState(State::AwaitingLineAck);
    else if (state() == State::Ending && drained)
        setState(State::AwaitingLastAck); // the line has left whole
}

Protocol::Actions DownloadProtocol::fileEnded()
{
    return {{Action::Do::Tell, QByteArrayLiteral("OVER")}, finish(Kind::Completed)};
}
