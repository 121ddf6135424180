#include "transfer/DownloadTransfer.h"

#include "platform/FileDialog.h"
#include "link/Framing.h"
#include "platform/MessageBox.h"
#include "transfer/Messages.h"
#include "link/SerialPort.h"
#include "link/SetCommPort.h"
#include "platform/Timer.h"

DownloadTransfer::DownloadTransfer(SerialPort &port, FileDialog &dialog, MessageBox &box, DownloadView &view,
                                   Timer &timer1, const qint16 &comPortNumber, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_dialog(dialog)
    , m_box(box)
    , m_view(view)
    , m_timer1(timer1)
    , m_comPortNumber(comPortNumber)
    , m_dispatch(port, [this](int event) { handleComm(event); })
{
    connect(&m_port, &SerialPort::onComm, this, &DownloadTransfer::MSComm1_OnComm);
    connect(&m_timer1, &Timer::tick, this, &DownloadTransfer::Timer1_Timer);
}

void DownloadTransfer::DownloadFromRS232()
{
    // Start waits in a file dialog and maybe a box; what the port announces
    // meanwhile is handled once Start has ended, not inside it.
    m_dispatch.run([this] { start(); });
}

void DownloadTransfer::start()
{
    m_recordCount = 0;

    m_dialog.setCancelError(true);
    m_dialog.setFilter(QStringLiteral("*.txt"));
    m_dialog.setDialogTitle(QStringLiteral("Open download file"));
    if (m_dialog.setAction(FileDialog::ShowOpen).number == ErrorNumber::DialogCancelled)
        return;
    const QString path = m_dialog.fileName();

    // A new Start ends whatever an earlier transfer of this window left behind.
    m_timer1.stop();
    m_file.close();
    if (Error e = m_file.open(path)) {
        if (m_port.portOpen())
            m_port.abortPort();
        m_box.show({Messages::cannotOpenFile(path, e, false), {}, MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        return;
    }

    if (Error e = openTransferPort(m_port, m_comPortNumber)) {
        m_file.close();
        m_box.show({Messages::cannotOpenPort(m_comPortNumber, m_port.deviceName(), e), {},
                    MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        return;
    }

    m_timeoutTicks = 0;
    m_timer1.start();
    m_view.setText1(QString());
    m_rxBuffer.clear();
    m_currentLine.clear();
    send("DOWN");
}

void DownloadTransfer::MSComm1_OnComm()
{
    m_dispatch.notify();
}

void DownloadTransfer::Timer1_Timer()
{
    // A tick while one of this window's boxes is open is dropped: one
    // "Timed Out !!" at a time, and no handler runs inside another.
    if (m_dispatch.busy())
        return;
    m_dispatch.run([this] { handleTick(); });
}

void DownloadTransfer::handleComm(int event)
{
    if (event == CommEvent::Lost) {
        if (!m_file.isOpen())
            return;
        const QString path = m_file.path();
        stopTransfer();
        m_box.show({Messages::connectionLost(m_port.lastFailure()) + QLatin1String("\n\n")
                        + tr("Lines of \"%1\" sent: %2.").arg(path).arg(m_recordCount),
                    {}, MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        return;
    }
    if (event != CommEvent::Receive)
        return;
    const QByteArray input = m_port.input();
    if (input.isEmpty())
        return; // a replayed notification whose bytes were already taken
    m_timer1.stop();
    if (!assembleReply(m_rxBuffer, input))
        return;

    if (m_rxBuffer == "NAK")
        m_box.show({QStringLiteral("Error - NAK"), {}, MessageBox::Buttons::Ok, MessageBox::Icon::None});
    else if (m_rxBuffer == "ACK")
        answerAck();
    else
        m_box.show({QStringLiteral("Unknown Command !!"), {}, MessageBox::Buttons::Ok, MessageBox::Icon::None});
}

void DownloadTransfer::answerAck()
{
    if (!m_file.isOpen())
        return; // no transfer of this window is running
    if (m_file.atEnd()) {
        send("OVER");
        m_port.setPortOpen(false); // waits, bounded, until "OVER" is on the line
        m_view.setText1(QStringLiteral("Over !!"));
        m_rxBuffer.clear();
        m_file.close();
        m_recordCount = 0;
        return;
    }
    if (Error e = m_file.readLine(m_currentLine)) {
        const QString path = m_file.path();
        stopTransfer();
        m_box.show({tr("Cannot read \"%1\": %2.").arg(path, e.description), {}, MessageBox::Buttons::Ok,
                    MessageBox::Icon::Critical});
        return;
    }
    m_timeoutTicks = 0;
    m_timer1.start();
    m_view.setText1(QString::fromLatin1(m_currentLine));
    ++m_recordCount;
    m_rxBuffer.clear();
    send(m_currentLine);
}

void DownloadTransfer::handleTick()
{
    ++m_timeoutTicks;
    if (m_rxBuffer.isEmpty() && m_timeoutTicks >= TimeoutTickLimit) {
        m_box.show({QStringLiteral("Timed Out !!"), QStringLiteral("Terminal download"), MessageBox::Buttons::Ok,
                    MessageBox::Icon::None});
        m_timer1.stop();
        m_timeoutTicks = 0;
    }
}

void DownloadTransfer::stopTransfer()
{
    m_timer1.stop();
    m_port.abortPort();
    m_file.close();
    m_rxBuffer.clear();
}

void DownloadTransfer::abandon()
{
    m_timer1.stop();
    if (m_port.portOpen())
        m_port.setPortOpen(false);
    m_file.close();
}

void DownloadTransfer::send(const QByteArray &message)
{
    // A failed write is the port going away; its Lost notification reports it.
    m_port.output(frame(message));
}
