#pragma once

#include "transfer/Outcome.h"

#include <QString>

// How quillan-cli and collect word the end of a transfer or of a docking:
// one sentence on one line, for the terminal, the journal and the log's
// "message" (whose "outcome" name is ExitStatus's). The one table for both.
namespace OutcomeWords {
struct Context
{
    QString shown;       // the file or the store as messages name it
    int timeoutMs = 0;   // the reply time-out
    bool collect = false; // a docking of the collecting service
    QString copy;        // a copy made of a stream, named by shown instead; empty: none
};
/// How it ended, "" for an upload or download that completed.
QString ended(const Outcome &o, const Context &c);
/// Collect: bytes that never became a reply ended by CR, at a poll.
QString noise(const QByteArray &bytes);
/// Collect: the record whose "REMOVE" was not answered, after a docking's sentence.
QString unconfirmed(qint64 record);
}
