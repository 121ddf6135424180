#pragma once

#include "transfer/Protocol.h"

// The upload's rules: asks for the records one by one and has each kept
// before the terminal is told to remove it. A reply is a record only as the
// answer to "READ", never the PC's own "READ" coming back, and an empty one
// only once the line has stayed quiet after it (a CR just ahead of a reply is
// noise): keeping a record on the terminal is always safe, deleting one the
// PC did not see never is.
class UploadProtocol : public Protocol
{
public:
    explicit UploadProtocol(Halt halt) : Protocol(halt) {}

    /// A new upload: "READ".
    Actions start();
    /// One complete reply, without its CR.
    Actions reply(const QByteArray &reply);
    /// The record of the last Save is kept: "REMOVE".
    Actions saved(qint64 bytes);
    /// The line stayed quiet after an empty reply: the empty record.
    Actions quiet();
    /// Bytes came right after an empty reply: it was noise ahead of them.
    Actions noise();
};
