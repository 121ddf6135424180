#pragma once

#include "link/PortNames.h"
#include "platform/Error.h"

#include <QByteArray>
#include <QString>

// Somewhere other than a text file that an upload keeps its records (a
// database table): each record is kept for good when write() returns, so
// that the terminal may then be told to delete it.
class RecordSink
{
public:
    virtual ~RecordSink() = default;
    /// Ready for a new transfer on target (connected, the table checked);
    /// nothing is written. Called before anything is sent to the terminal.
    virtual Error begin(const PortTarget &target) = 0;
    /// Keeps record for good; first: the transfer's first record.
    virtual Error write(const QByteArray &record, bool first) = 0;
    /// The last record written was answered "REMOVE", and the terminal said
    /// nothing more: it may send it again.
    virtual void unconfirmed() = 0;
    /// How messages name it (never with a password).
    virtual QString shown() const = 0;
};
