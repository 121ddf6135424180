#pragma once

#include "transfer/CommDispatch.h"
#include "storage/RecordFile.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class FileDialog;
class MessageBox;
class SerialPort;

// What the Upload window shows of a transfer.
class UploadView
{
public:
    virtual ~UploadView() = default;
    virtual void setText1(const QString &text) = 0;
    virtual void setLabel2(const QString &text) = 0;
};

// The Upload window's dialogue with the terminal: Start and the receive
// handler. Records are on disk before the terminal is told to remove them.
class UploadTransfer : public QObject
{
    Q_OBJECT
public:
    UploadTransfer(SerialPort &port, FileDialog &dialog, MessageBox &box, UploadView &view,
                   const qint16 &comPortNumber, QObject *parent = nullptr);

    /// Start: choose the output file, open it and the port, ask for the first record.
    void UploadFromRS232();
    /// The serial port's notification.
    void MSComm1_OnComm();
    /// The window was closed: release the port and the file, keeping what was written.
    void abandon();

    const QByteArray &RxBuffer() const { return m_rxBuffer; }
    qint64 RecordCount() const { return m_recordCount; }
    /// True from Start until the transfer has ended or was stopped.
    bool running() const { return m_file.isOpen(); }

private:
    void start();
    void handleComm(int event);
    void handleReply();
    void storeRecord();
    void stopTransfer();
    void send(const QByteArray &word);

    SerialPort &m_port;
    FileDialog &m_dialog;
    MessageBox &m_box;
    UploadView &m_view;
    const qint16 &m_comPortNumber;

    QByteArray m_rxBuffer;
    qint64 m_recordCount = 0;  // wide: a terminal may hold more than 32767 records
    RecordFile m_file;
    CommDispatch m_dispatch;
};
