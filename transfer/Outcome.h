#pragma once

#include "link/PortAssignment.h"
#include "link/PortDiagnosis.h"
#include "link/PortNames.h"
#include "platform/Error.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <optional>

// How a dialogue stopped, with what it moved and why, in typed values: each
// front end words it its own way (the windows with their designed boxes, the
// command line with its own words and exit status). Refused and TimedOut
// leave the port and the file open, as the windows are designed: a later
// reply can still carry the transfer on, and a new Start is the user's way out.
struct Outcome
{
    enum class Kind { Completed, Refused, TimedOut, Lost, FileError, PortError, Stopped };
    // What lies behind the kind beyond the designed case.
    enum class Reason {
        None,
        UnexpectedReply,  // Refused: a reply that answers nothing the PC asked; not saved, not answered
        Echo,             // Refused: the PC's own message came back (echo on, a loopback plug, a wrong cable)
        EmptyReply,       // Refused: a CR alone where a record was asked for, and bytes right after it (noise)
        EndlessReply,     // Refused: more than Protocol::MaxReplyBytes without a CR; the transfer ends
        Stalled,          // TimedOut: the terminal stopped taking the bytes of a message
        CutShort,         // Stopped: ended at once while a line was leaving; the terminal may hold part of it
        OpenFile,         // FileError: the transfer's file could not be opened
        SaveRecord,       // FileError: record count + 1 could not be saved
        ReadLine,         // FileError: the next line could not be read
        FileChanged,      // FileError: the file changed while it was being sent; "OVER" did not go out
    };
    enum class Direction { Upload, Download };

    Kind kind = Kind::Completed;
    Reason reason = Reason::None;
    Direction direction = Direction::Upload;
    qint64 count = 0;  // records saved, or lines sent
    qint64 bytes = 0;  // bytes of those records or lines, without line endings
    QByteArray reply;  // Refused: the reply that caused it, without its CR; TimedOut: what came of one
    QByteArray asked;  // Refused: the command word the PC sent last; empty: none was awaiting a reply
    Error error;       // the platform's failure behind FileError, PortError and Lost
    QString path;      // the transfer's file
    PortTarget port;   // the port it opened, or tried to
    int waitedMs = 0;  // TimedOut: the reply time-out
    // Upload: "REMOVE" went out for the last record and no answer came: the
    // terminal may hold it still and send it again (it is in the file).
    bool unconfirmed = false;
    // PortError: what was found out about the port once, when it would not
    // open (who holds it, its group, ModemManager), and the serial devices
    // present. None when the error says it all, or when the collecting
    // service's port fails again as it did at its last poll.
    struct PortFindings
    {
        PortDiagnosis::Findings findings;
        QList<SerialPortListing> ports;
    };
    std::optional<PortFindings> diagnosis;
};

Q_DECLARE_METATYPE(Outcome)
