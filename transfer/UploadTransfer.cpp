#include "transfer/UploadTransfer.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "link/SetCommPort.h"
#include "transfer/Messages.h"

UploadTransfer::UploadTransfer(SerialPort &port, Timer *timer, QObject *parent)
    : Dialogue(port, timer, parent)
{
}

bool UploadTransfer::begin(const QString &path, const PortTarget &target, RecordFile::Mode mode)
{
    prepare(target);
    setAsked(Asked::Nothing);
    // Records go only to the file chosen for this transfer: an earlier one
    // that still holds its file (stopped on "NAK", say) gives it up now.
    release();
    if (Error e = m_file.open(path, mode)) {
        if (m_port.portOpen())
            m_port.abortPort();
        finish(Outcome::Kind::FileError, Messages::cannotOpenFile(path, e, true), e);
        return false;
    }
    if (Error e = openTransferPort(m_port, target)) {
        m_file.discard();
        finish(Outcome::Kind::PortError, Messages::cannotOpenPort(target, e), e);
        return false;
    }
    // The file is durable where it is before any record can be removed; a
    // replacement takes the name with its first record.
    if (Error e = m_file.commit()) {
        m_file.discard();
        m_port.setPortOpen(false);
        finish(Outcome::Kind::FileError, Messages::cannotOpenFile(path, e, true), e);
        return false;
    }
    m_rxBuffer.clear();
    m_state = TransferState::AwaitingReply;
    send("READ");
    setAsked(Asked::Record);
    return true;
}

QString UploadTransfer::movedSoFar() const
{
    return tr("Records saved in \"%1\": %2.").arg(m_file.path()).arg(m_recordCount);
}

void UploadTransfer::handleReply()
{
    // Two messages read together, or a record where none was asked for, are
    // not what the terminal was asked: saving and answering them would have
    // it delete a record the PC never received.
    if (m_rxBuffer.contains(MessageEnd)
        || (m_asked != Asked::Record && m_rxBuffer != "NAK" && m_rxBuffer != "NEXT" && m_rxBuffer != "OVER")) {
        refuseUnexpected();
        return;
    }
    if (m_rxBuffer == "NAK") {
        m_state = TransferState::Refused;
        finish(Outcome::Kind::Refused, QStringLiteral("error"));
        // What the terminal says next is a reply of its own, not a record
        // with "NAK" in front of it.
        m_rxBuffer.clear();
    } else if (m_rxBuffer == "NEXT") {
        m_rxBuffer.clear();
        send("READ");
        setAsked(Asked::Record);
    } else if (m_rxBuffer == "OVER") {
        send("DONE", false);
        setAsked(Asked::Nothing);
        m_state = TransferState::Idle;
        finish(Outcome::Kind::Completed, m_recordCount == 0
                                             ? QStringLiteral("NO Data Received !!")
                                             : QString::number(m_recordCount) + QStringLiteral(" records received !!"));
        if (m_port.portOpen())
            m_port.setPortOpen(false);
        release();
    } else {
        storeRecord();
    }
}

void UploadTransfer::refuseUnexpected()
{
    // Stopped as on "NAK": nothing saved, nothing answered, the port and
    // the file left open with every record so far.
    const QByteArray reply = m_rxBuffer;
    m_rxBuffer.clear();
    m_state = TransferState::Refused;
    const QString asked = m_asked == Asked::Record ? QStringLiteral("READ")
                          : m_asked == Asked::Next ? QStringLiteral("REMOVE")
                                                   : QString();
    const QString what = asked.isEmpty()
                             ? tr("The terminal sent \"%1\" unasked.").arg(Messages::quotedReply(reply))
                             : tr("The terminal answered \"%1\" with \"%2\".").arg(asked, Messages::quotedReply(reply));
    finish(Outcome::Kind::Refused,
           what + QLatin1Char(' ')
               + tr("That is not an answer the transfer understands: it was not saved and not answered, and the "
                    "transfer was stopped.")
               + QLatin1String("\n\n") + movedSoFar(),
           {}, Outcome::Reason::UnexpectedReply);
}

void UploadTransfer::storeRecord()
{
    if (!m_file.isOpen())
        return; // no transfer of this dialogue holds a file: nothing is removed
    if (Error e = m_file.writeLine(m_rxBuffer)) {
        // Without the record on disk the terminal must keep it: no "REMOVE".
        const QString path = m_file.path();
        fail(Outcome::Kind::FileError,
             tr("Record %1 could not be saved in \"%2\": %3.").arg(m_recordCount + 1).arg(path, e.description)
                 + QLatin1String("\n\n")
                 + tr("The transfer was stopped. The terminal keeps this record and the ones after it; "
                      "records saved before it: %1.")
                       .arg(m_recordCount),
             e);
        return;
    }
    ++m_recordCount;
    m_bytes += m_rxBuffer.size();
    m_state = TransferState::AwaitingReply;
    // The terminal waits for this answer; the display can wait for it.
    send("REMOVE");
    setAsked(Asked::Next);
    Q_EMIT recordSaved(m_rxBuffer, m_recordCount);
    m_rxBuffer.clear();
}

void UploadTransfer::send(const QByteArray &word, bool awaitReply)
{
    // A failed write is the port going away; its Lost notification reports it.
    m_port.output(frame(word));
    if (awaitReply) {
        m_state = TransferState::AwaitingReply;
        m_timeout.start();
    }
}
