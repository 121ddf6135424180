#pragma once

#include "platform/Error.h"

#include <QMetaType>
#include <QString>

// Where a dialogue with the terminal stands.
enum class TransferState {
    Idle,           // nothing started, or the last transfer has ended
    AwaitingReply,  // a message of the dialogue is out and its reply is awaited
    Refused,        // the terminal refused ("NAK") or answered what the dialogue does not know
    TimedOut,       // no complete reply within the time-out
};

// How a dialogue stopped, with what it moved. Refused and TimedOut leave the
// port and the file open, as the windows are designed: a later reply can
// still carry the transfer on, and a new Start is the user's way out.
struct Outcome
{
    enum class Kind { Completed, Refused, TimedOut, Lost, FileError, PortError, Stopped };
    // What lies behind a Refused or TimedOut beyond the designed case.
    enum class Reason {
        None,
        UnexpectedReply,  // Refused: a reply that answers nothing the PC asked; not saved, not answered
        Stalled,          // TimedOut: the terminal stopped taking the bytes of a message
    };

    Kind kind = Kind::Completed;
    qint64 count = 0;  // records saved, or lines sent
    qint64 bytes = 0;  // bytes of those records or lines, without line endings
    QString message;   // what the user is told
    Error error;       // the platform's failure behind FileError, PortError and Lost
    Reason reason = Reason::None;
};

Q_DECLARE_METATYPE(Outcome)
