#include "transfer/UploadTransfer.h"

#include "link/Framing.h"

UploadTransfer::UploadTransfer(SerialPort &port, Timer *timer, QObject *parent)
    : Dialogue(port, timer, Outcome::Direction::Upload, parent)
{
}

bool UploadTransfer::begin(const QString &path, const PortTarget &target, RecordFile::Mode mode)
{
    // Records go only to the file chosen for this transfer: an earlier one
    // that still holds its file (stopped on "NAK", say) gives it up now.
    release();
    prepare(target);
    m_path = path;
    if (Error e = m_file.open(path, mode)) {
        finish(Outcome::Kind::FileError, Outcome::Reason::OpenFile, e);
        return false;
    }
    if (Error e = openPort(target)) {
        m_file.discard();
        finish(Outcome::Kind::PortError, Outcome::Reason::None, e);
        return false;
    }
    // The file is durable where it is before any record can be removed; a
    // replacement takes the name with its first record.
    if (Error e = m_file.commit()) {
        m_file.discard();
        finish(Outcome::Kind::FileError, Outcome::Reason::OpenFile, e);
        return false;
    }
    send("READ", Sent::Read);
    return true;
}

void UploadTransfer::handleReply()
{
    // Two messages read together, or a record where none was asked for, are
    // not what the terminal was asked: saving and answering them would have
    // it delete a record the PC never received. Stopped as on "NAK": nothing
    // saved, nothing answered, the port and the file left open with every
    // record so far.
    if (m_rxBuffer.contains(MessageEnd)
        || (sent() != Sent::Read && m_rxBuffer != "NAK" && m_rxBuffer != "NEXT" && m_rxBuffer != "OVER")) {
        finish(Outcome::Kind::Refused, Outcome::Reason::UnexpectedReply);
        m_rxBuffer.clear();
        return;
    }
    if (m_rxBuffer == "NAK") {
        finish(Outcome::Kind::Refused);
        // What the terminal says next is a reply of its own, not a record
        // with "NAK" in front of it.
        m_rxBuffer.clear();
    } else if (m_rxBuffer == "NEXT") {
        m_rxBuffer.clear();
        send("READ", Sent::Read);
    } else if (m_rxBuffer == "OVER") {
        send("DONE", Sent::Done, false);
        finish(Outcome::Kind::Completed);
    } else {
        storeRecord();
    }
}

void UploadTransfer::storeRecord()
{
    if (!underWay())
        return; // no transfer of this dialogue holds a file: nothing is removed
    if (Error e = m_file.writeLine(m_rxBuffer)) {
        // Without the record on disk the terminal must keep it: no "REMOVE".
        finish(Outcome::Kind::FileError, Outcome::Reason::SaveRecord, e);
        return;
    }
    ++m_recordCount;
    m_bytes += m_rxBuffer.size();
    // The terminal waits for this answer; the display can wait for it.
    send("REMOVE", Sent::Remove);
    Q_EMIT recordSaved(m_rxBuffer, m_recordCount);
    m_rxBuffer.clear();
}
