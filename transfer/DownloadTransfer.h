#pragma once

#include "transfer/CommDispatch.h"
#include "storage/LineReader.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class FileDialog;
class MessageBox;
class SerialPort;
class Timer;

// What the DownLoad window shows of a transfer.
class DownloadView
{
public:
    virtual ~DownloadView() = default;
    virtual void setText1(const QString &text) = 0;
};

// The DownLoad window's dialogue with the terminal: Start, the send handler
// and the reply time-out.
class DownloadTransfer : public QObject
{
    Q_OBJECT
public:
    /// Timer1 ticks once a second; a reply missing for this many ticks is reported.
    static constexpr int TimeoutTickLimit = 5;
    static constexpr int TickIntervalMs = 1000;

    DownloadTransfer(SerialPort &port, FileDialog &dialog, MessageBox &box, DownloadView &view, Timer &timer1,
                     const qint16 &comPortNumber, QObject *parent = nullptr);

    /// Start: choose the input file, open it and the port, announce the download.
    void DownloadFromRS232();
    void MSComm1_OnComm();
    void Timer1_Timer();
    /// The window was closed: stop the timer, release the port and the file.
    void abandon();

    const QByteArray &RxBuffer() const { return m_rxBuffer; }
    const QByteArray &CurrentLine() const { return m_currentLine; }
    int TimeoutTicks() const { return m_timeoutTicks; }
    qint64 RecordCount() const { return m_recordCount; }
    bool running() const { return m_file.isOpen(); }

private:
    void start();
    void handleComm(int event);
    void handleTick();
    void answerAck();
    void stopTransfer();
    void send(const QByteArray &message);

    SerialPort &m_port;
    FileDialog &m_dialog;
    MessageBox &m_box;
    DownloadView &m_view;
    Timer &m_timer1;
    const qint16 &m_comPortNumber;

    QByteArray m_rxBuffer;
    QByteArray m_currentLine;
    int m_timeoutTicks = 0;
    qint64 m_recordCount = 0;  // lines sent; nothing shows it
    LineReader m_file;
    CommDispatch m_dispatch;
};
