#include "transfer/UploadProtocol.h"

#include "link/Framing.h"

using Kind = Outcome::Kind;
using Reason = Outcome::Reason;

Protocol::Actions UploadProtocol::start()
{
    restart(State::AwaitingRecord);
    return {ask(QByteArrayLiteral("READ"), State::AwaitingRecord)};
}

Protocol::Actions UploadProtocol::reply(const QByteArray &reply)
{
    const bool afterRemove = state() == State::AwaitingNext;
    // What answers nothing asked is neither saved nor answered: saving and
    // answering it would have the terminal delete a record the PC never
    // received.
    if (isEcho(reply, afterRemove ? QByteArrayLiteral("REMOVE") : QByteArrayLiteral("READ"), afterRemove ? 6 : 4))
        return {finish(Kind::Refused, Reason::Echo)};
    if (reply.contains(MessageEnd)) // several messages read together
        return {finish(Kind::Refused, Reason::UnexpectedReply)};
    if (reply == "NAK")
        return {finish(Kind::Refused)};
    if (reply == "OVER")
        return {{Action::Do::Tell, QByteArrayLiteral("DONE")}, finish(Kind::Completed)};
    if (afterRemove)
        return {reply == "NEXT" ? ask(QByteArrayLiteral("READ"), State::AwaitingRecord) : finish(Kind::Refused, Reason::UnexpectedReply)};
    if (reply == "NEXT")
        return {finish(Kind::Refused, Reason::UnexpectedReply)};
    if (reply.isEmpty()) {
        // The terminal's empty record, or noise just ahead of a reply: told
        // apart by whether the line stays quiet after it.
        setState(State::ConfirmingEmpty);
        return {{Action::Do::AwaitQuiet}};
    }
    return {{Action::Do::Save, reply}};
}

Protocol::Actions UploadProtocol::saved(qint64 bytes)
{
    counted(bytes);
    return {ask(QByteArrayLiteral("REMOVE"), State::AwaitingNext)};
}

Protocol::Actions UploadProtocol::quiet()
{
    if (state() != State::ConfirmingEmpty)
        return {};
    setState(State::AwaitingRecord);
    return {{Action::Do::Save, QByteArray()}};
}

Protocol::Actions UploadProtocol::noise()
{
    setState(State::AwaitingRecord);
    Action refused = finish(Kind::Refused, Reason::EmptyReply);
    refused.keepReply = true; // what came stays for a held transfer
    return {refused};
}
