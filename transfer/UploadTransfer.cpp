#include "transfer/UploadTransfer.h"

#include "link/Framing.h"

UploadTransfer::UploadTransfer(SerialPort &port, Timer *timer, QObject *parent)
    : Dialogue(port, timer, Outcome::Direction::Upload, parent)
{
    // Before the front ends hear of it: a reader of the store can tell the
    // record that may come again.
    connect(this, &Dialogue::finished, this, [this](const Outcome &o) {
        if (m_sink && o.unconfirmed)
            m_sink->unconfirmed();
    });
}

Error UploadTransfer::openFile()
{
    if (Error e = m_file.open(m_path, m_mode))
        return e;
    // The file is durable where it is before any record can be removed; a
    // replacement takes the name with its first record.
    if (Error e = m_file.commit()) {
        m_file.discard();
        return e;
    }
    return {};
}

bool UploadTransfer::begin(const QString &path, const PortTarget &target, RecordFile::Mode mode)
{
    // Records go only to the file chosen for this transfer: an earlier one
    // that still holds its file (stopped on "NAK", say) gives it up now.
    release();
    reset(target);
    m_path = path;
    m_mode = mode;
    if (m_sink) {
        // Nothing goes to the terminal while its records have nowhere to go.
        if (Error e = m_sink->begin(target)) {
            finish(Outcome::Kind::FileError, Outcome::Reason::OpenFile, e);
            return false;
        }
    } else if (!m_openLate) {
        if (Error e = m_file.open(path, mode)) {
            finish(Outcome::Kind::FileError, Outcome::Reason::OpenFile, e);
            return false;
        }
    }
    if (Error e = openPort(target)) {
        m_file.discard();
        finish(Outcome::Kind::PortError, Outcome::Reason::None, e);
        return false;
    }
    if (!m_openLate && !m_sink) {
        if (Error e = m_file.commit()) {
            m_file.discard();
            finish(Outcome::Kind::FileError, Outcome::Reason::OpenFile, e);
            return false;
        }
    }
    ask("READ", State::AwaitingRecord);
    return true;
}

QByteArray UploadTransfer::lastMessage(qint64 &length) const
{
    const QByteArray sent = state() == State::AwaitingRecord ? QByteArrayLiteral("READ")
                            : state() == State::AwaitingNext ? QByteArrayLiteral("REMOVE")
                                                             : QByteArray();
    length = sent.size();
    return sent;
}

bool UploadTransfer::answer(const QByteArray &reply)
{
    // What answers nothing asked is neither saved nor answered: saving and
    // answering it would have the terminal delete a record the PC never
    // received. Stopped as on "NAK", with every record so far in the file.
    if (isEcho(reply)) {
        refuse(Outcome::Reason::Echo);
    } else if (reply.contains(MessageEnd)) { // several messages read together
        refuse(Outcome::Reason::UnexpectedReply);
    } else if (reply == "NAK") {
        refuse();
    } else if (reply == "OVER") {
        tell("DONE");
        finish(Outcome::Kind::Completed);
    } else if (state() == State::AwaitingNext) {
        if (reply == "NEXT")
            ask("READ", State::AwaitingRecord);
        else
            refuse(Outcome::Reason::UnexpectedReply);
    } else if (state() != State::AwaitingRecord || reply == "NEXT") {
        refuse(Outcome::Reason::UnexpectedReply);
    } else if (reply.isEmpty()) {
        // The terminal's empty record, or noise just ahead of a reply: told
        // apart by whether the line stays quiet after it.
        awaitQuiet();
    } else {
        storeRecord(reply);
    }
    // What the terminal says next is a reply of its own.
    return false;
}

void UploadTransfer::storeRecord(const QByteArray &record)
{
    if (m_sink) {
        if (Error e = m_sink->write(record, count() == 0)) {
            // Not kept for good (a commit whose outcome is unknown included):
            // no "REMOVE".
            finish(Outcome::Kind::FileError, Outcome::Reason::SaveRecord, e);
            return;
        }
    } else {
        if (!m_file.isOpen()) {
            if (Error e = openFile()) {
                finish(Outcome::Kind::FileError, Outcome::Reason::OpenFile, e);
                return;
            }
        }
        if (Error e = m_file.writeLine(record)) {
            // Without the record on disk the terminal must keep it: no "REMOVE".
            finish(Outcome::Kind::FileError, Outcome::Reason::SaveRecord, e);
            return;
        }
    }
    counted(record.size());
    // The terminal waits for this answer; the display can wait for it.
    ask("REMOVE", State::AwaitingNext);
    Q_EMIT recordSaved(record, count());
}

void UploadTransfer::quietAfterEmpty()
{
    storeRecord(QByteArray());
}
