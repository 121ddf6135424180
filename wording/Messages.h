#pragma once

#include "link/PortAssignment.h"
#include "link/PortDiagnosis.h"
#include "link/PortNames.h"
#include "platform/Error.h"
#include "transfer/Outcome.h"

#include <QString>

// Texts of the messages both transfer windows and the command line show when
// the platform fails them or the terminal does what no designed box covers,
// so every front end words the same trouble the same way. Each front end
// words an outcome in a table of its own (the windows' boxes, the command
// line's sentences); this is what those tables share.
namespace Messages {
/// The program's own words for how a transfer ended: a lost line, a file or
/// port that failed, a reply that answers nothing asked, a terminal that
/// stopped taking data. Empty for the ends the windows have designed boxes for.
/// heldHere: how the front end says that another transfer of its own holds
/// the port (%1 the device, %2 the device it leads to); empty: a plain
/// "another transfer of this program".
QString ending(const Outcome &outcome, const QString &heldHere = {});
QString cannotOpenFile(const QString &path, const Error &error, bool forWriting);
/// "Cannot open COMn (device): reason." and what to do about it, from what
/// was found out when it failed and the serial ports the system lists.
QString cannotOpenPort(const PortTarget &target, const Error &error, const PortDiagnosis::Findings &findings,
                       const QList<SerialPortListing> &ports, const QString &heldHere = {});
QString connectionLost(const Error &error);
/// Bytes from the terminal, readable between double quotes on one line: CR
/// and LF as \r and \n, " and \ after a backslash, other bytes outside
/// printable ASCII as \xHH.
QString escapedBytes(const QByteArray &bytes);
/// A reply as it can be shown: escaped, cut to a readable length.
QString quotedReply(const QByteArray &reply);
/// A message on one line, as a log or the journal shows it: its lines
/// joined by one space each, without their indents.
QString oneLine(const QString &message);
/// What most likely lies behind bytes that never became a reply ended by CR.
QString unendedReply(const QByteArray &bytes);
}
