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
    // Records go only to the file chosen for this transfer: an earlier one
    // that still holds its file (stopped on "NAK", say) gives it up now.
    m_file.close();
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
    // The file takes its name (the old one kept beside it) only now that the
    // transfer can run, and durably, before any record can be removed.
    if (Error e = m_file.commit()) {
        m_file.discard();
        m_port.setPortOpen(false);
        finish(Outcome::Kind::FileError, Messages::cannotOpenFile(path, e, true), e);
        return false;
    }
    m_rxBuffer.clear();
    m_state = TransferState::AwaitingReply;
    send("READ");
    return true;
}

QString UploadTransfer::movedSoFar() const
{
    return tr("Records saved in \"%1\": %2.").arg(m_file.path()).arg(m_recordCount);
}

void UploadTransfer::handleReply()
{
    if (m_rxBuffer == "NAK") {
        m_state = TransferState::Refused;
        finish(Outcome::Kind::Refused, QStringLiteral("error"));
        // What the terminal says next is a reply of its own, not a record
        // with "NAK" in front of it.
        m_rxBuffer.clear();
    } else if (m_rxBuffer == "NEXT") {
        m_rxBuffer.clear();
        send("READ");
    } else if (m_rxBuffer == "OVER") {
        send("DONE", false);
        m_state = TransferState::Idle;
        finish(Outcome::Kind::Completed, m_recordCount == 0
                                             ? QStringLiteral("NO Data Received !!")
                                             : QString::number(m_recordCount) + QStringLiteral(" records received !!"));
        if (m_port.portOpen())
            m_port.setPortOpen(false);
        m_file.close();
    } else {
        storeRecord();
    }
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
