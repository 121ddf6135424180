#include "transfer/UploadTransfer.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "link/SetCommPort.h"
#include "platform/Timer.h"
#include "transfer/Messages.h"

UploadTransfer::UploadTransfer(SerialPort &port, Timer *timer, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_timeout(timer, port)
    , m_dispatch(port, [this](int event) { handleComm(event); })
{
    connect(&m_port, &SerialPort::onComm, this, &UploadTransfer::MSComm1_OnComm);
    if (timer)
        connect(timer, &Timer::tick, this, [this] {
            if (!m_dispatch.busy())
                m_dispatch.run([this] { handleTick(); });
        });
}

void UploadTransfer::setReplyTimeout(int ms)
{
    m_timeout.setTimeoutMs(ms);
}

bool UploadTransfer::begin(const QString &path, const PortTarget &target, RecordFile::Mode mode)
{
    m_recordCount = 0;
    m_bytes = 0;
    m_path = path;
    m_target = target;
    m_timeout.stop();
    m_state = TransferState::Idle;
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

void UploadTransfer::MSComm1_OnComm()
{
    m_dispatch.notify();
}

void UploadTransfer::handleComm(int event)
{
    if (event == CommEvent::Lost) {
        if (!m_file.isOpen())
            return;
        fail(Outcome::Kind::Lost,
             Messages::connectionLost(m_port.lastFailure()) + QLatin1String("\n\n")
                 + tr("Records saved in \"%1\": %2.").arg(m_file.path()).arg(m_recordCount),
             m_port.lastFailure());
        return;
    }
    if (event != CommEvent::Receive)
        return;
    const QByteArray input = m_port.input();
    if (input.isEmpty())
        return; // nothing new: a replayed notification whose bytes were taken
    if (!assembleReply(m_rxBuffer, input))
        return;
    m_timeout.stop();
    handleReply();
}

void UploadTransfer::handleTick()
{
    if (!m_timeout.count())
        return;
    m_timeout.stop();
    m_timeout.resetTicks();
    m_state = TransferState::TimedOut;
    finish(Outcome::Kind::TimedOut, QStringLiteral("Timed Out !!"));
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
    // The terminal waits for this answer; the display can wait for it.
    send("REMOVE");
    Q_EMIT recordSaved(m_rxBuffer, m_recordCount);
    m_rxBuffer.clear();
}

void UploadTransfer::fail(Outcome::Kind kind, const QString &message, const Error &error)
{
    // A dead line or a lost record ends it at once: nothing more goes out.
    m_timeout.stop();
    m_port.abortPort();
    m_file.close();
    m_rxBuffer.clear();
    m_state = TransferState::Idle;
    finish(kind, message, error);
}

void UploadTransfer::stop()
{
    const bool underWay = m_file.isOpen();
    m_timeout.stop();
    if (m_port.portOpen())
        m_port.setPortOpen(false);
    m_file.close();
    m_state = TransferState::Idle;
    if (underWay)
        finish(Outcome::Kind::Stopped, tr("The transfer was stopped."));
}

void UploadTransfer::finish(Outcome::Kind kind, const QString &message, const Error &error)
{
    Q_EMIT finished(Outcome{kind, m_recordCount, m_bytes, message, error});
}

void UploadTransfer::send(const QByteArray &word, bool awaitReply)
{
    // A failed write is the port going away; its Lost notification reports it.
    m_port.output(frame(word));
    if (awaitReply)
        m_timeout.start();
}
