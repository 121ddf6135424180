#include "transfer/UploadTransfer.h"

#include "platform/FileDialog.h"
#include "storage/FileExist.h"
#include "link/Framing.h"
#include "platform/MessageBox.h"
#include "transfer/Messages.h"
#include "link/SerialPort.h"
#include "link/SetCommPort.h"

UploadTransfer::UploadTransfer(SerialPort &port, FileDialog &dialog, MessageBox &box, UploadView &view,
                               const qint16 &comPortNumber, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_dialog(dialog)
    , m_box(box)
    , m_view(view)
    , m_comPortNumber(comPortNumber)
    , m_dispatch(port, [this](int event) { handleComm(event); })
{
    connect(&m_port, &SerialPort::onComm, this, &UploadTransfer::MSComm1_OnComm);
}

void UploadTransfer::UploadFromRS232()
{
    // Start waits in a file dialog and maybe a box; what the port announces
    // meanwhile is handled once Start has ended, not inside it.
    m_dispatch.run([this] { start(); });
}

void UploadTransfer::start()
{
    m_recordCount = 0;

    m_dialog.setCancelError(true);
    m_dialog.setFilter(QStringLiteral("*.txt"));
    m_dialog.setDialogTitle(QStringLiteral("Save Files"));
    if (m_dialog.setAction(FileDialog::ShowSave))
        return;

    QString path = m_dialog.fileName();
    if (!path.contains(QLatin1Char('.'))) {
        path += QStringLiteral(".txt");
        m_dialog.setFileName(path);
    }

    if (FileExist(path)) {
        const auto answer = m_box.show({QStringLiteral("File exists !! Replace file?? "), QStringLiteral("Warning"),
                                        MessageBox::Buttons::YesNo, MessageBox::Icon::Information});
        if (answer != MessageBox::Answer::Yes)
            return;
    }

    // Records go only to the file chosen for this transfer: an earlier one
    // that still holds its file (stopped on "NAK", say) gives it up now.
    m_file.close();
    if (Error e = m_file.open(path)) {
        if (m_port.portOpen())
            m_port.abortPort();
        m_box.show({Messages::cannotOpenFile(path, e, true), {}, MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        return;
    }

    if (Error e = openTransferPort(m_port, m_comPortNumber)) {
        const bool created = m_file.createdByOpen();
        m_file.close();
        if (created)
            QFile::remove(path); // nothing was written; leave no stray empty file
        m_box.show({Messages::cannotOpenPort(m_comPortNumber, m_port.deviceName(), e), {},
                    MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        return;
    }

    m_view.setText1(QString());
    m_rxBuffer.clear();
    m_recordCount = 0;
    send("READ");
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
        const QString path = m_file.path();
        stopTransfer();
        m_box.show({Messages::connectionLost(m_port.lastFailure())
                        + QLatin1String("\n\n")
                        + tr("Records saved in \"%1\": %2.").arg(path).arg(m_recordCount),
                    {}, MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        return;
    }
    if (event != CommEvent::Receive)
        return;
    const QByteArray input = m_port.input();
    if (input.isEmpty())
        return; // nothing new: a replayed notification whose bytes were taken
    if (!assembleReply(m_rxBuffer, input))
        return;
    handleReply();
}

void UploadTransfer::handleReply()
{
    if (m_rxBuffer == "NAK") {
        m_box.show({QStringLiteral("error"), {}, MessageBox::Buttons::Ok, MessageBox::Icon::None});
        // What the terminal says next is a reply of its own, not a record
        // with "NAK" in front of it.
        m_rxBuffer.clear();
    } else if (m_rxBuffer == "NEXT") {
        m_rxBuffer.clear();
        send("READ");
    } else if (m_rxBuffer == "OVER") {
        m_view.setLabel2(QString::number(m_recordCount));
        send("DONE");
        if (m_recordCount == 0)
            m_box.show({QStringLiteral("NO Data Received !!"), QStringLiteral("Information"), MessageBox::Buttons::Ok,
                        MessageBox::Icon::Information});
        else
            m_box.show({QString::number(m_recordCount) + QStringLiteral(" records received !!"),
                        QStringLiteral("Information"), MessageBox::Buttons::Ok, MessageBox::Icon::None});
        if (m_port.portOpen())
            m_port.setPortOpen(false);
        m_file.close();
    } else {
        storeRecord();
    }
}

void UploadTransfer::storeRecord()
{
    m_view.setText1(QString::fromLatin1(m_rxBuffer));
    if (Error e = m_file.writeLine(m_rxBuffer)) {
        // Without the record on disk the terminal must keep it: no "REMOVE".
        const QString path = m_file.isOpen() ? m_file.path() : m_dialog.fileName();
        stopTransfer();
        m_box.show({tr("Record %1 could not be saved in \"%2\": %3.").arg(m_recordCount + 1).arg(path, e.description)
                        + QLatin1String("\n\n")
                        + tr("The transfer was stopped. The terminal keeps this record and the ones after it; "
                             "records saved before it: %1.")
                              .arg(m_recordCount),
                    {}, MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        return;
    }
    ++m_recordCount;
    m_view.setLabel2(QString::number(m_recordCount));
    m_rxBuffer.clear();
    send("REMOVE");
}

void UploadTransfer::stopTransfer()
{
    m_port.abortPort();
    m_file.close();
    m_rxBuffer.clear();
}

void UploadTransfer::abandon()
{
    if (m_port.portOpen())
        m_port.setPortOpen(false);
    m_file.close();
}

void UploadTransfer::send(const QByteArray &word)
{
    // A failed write is the port going away; its Lost notification reports it.
    m_port.output(frame(word));
}
