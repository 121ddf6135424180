#include "link/QtSerialPort.h"

#include "link/PortNames.h"

#include <QElapsedTimer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/file.h>
#include <unistd.h>
#endif

QtSerialPort::QtSerialPort(QObject *parent)
    : SerialPort(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, [this] { notify(CommEvent::Receive); });
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialPort::handleError);
    connect(&m_port, &QSerialPort::bytesWritten, this, &SerialPort::sent);
}

QtSerialPort::~QtSerialPort()
{
    // A window that goes away must not leave its terminal holding a half-sent message.
    if (m_port.isOpen())
        abortPort();
}

QString QtSerialPort::deviceName() const
{
    return m_device.isEmpty() ? deviceForComPort(m_commPort) : m_device;
}

Error QtSerialPort::setDevice(const QString &device)
{
    if (m_port.isOpen())
        return {ErrorNumber::PortAlreadyOpen, tr("Port already open")};
    m_device = device;
    return {};
}

Error QtSerialPort::setCommPort(int number)
{
    if (m_port.isOpen())
        return {ErrorNumber::PortAlreadyOpen, tr("Port already open")};
    if (number < 1 || number > 255)
        return {ErrorNumber::InvalidPortNumber, tr("Invalid port number %1").arg(number)};
    m_commPort = number;
    return {};
}

Error QtSerialPort::setSettings(const QString &text)
{
    const auto parsed = LineSettings::parse(text);
    if (!parsed)
        return {ErrorNumber::InvalidPropertyValue, tr("Invalid settings \"%1\"").arg(text)};
    if (m_port.isOpen()) {
        if (Error e = applyLineSettings(*parsed)) {
            applyLineSettings(m_settings); // put back what the port had
            return e;
        }
    }
    m_settings = *parsed;
    return {};
}

Error QtSerialPort::setHandshaking(int mode)
{
    if (mode < Handshaking::None || mode > Handshaking::RtsCts)
        return {ErrorNumber::InvalidPropertyValue, tr("Unsupported handshaking %1").arg(mode)};
    if (m_port.isOpen()) {
        if (Error e = applyHandshaking(mode)) {
            applyHandshaking(m_handshaking);
            return e;
        }
    }
    m_handshaking = mode;
    return {};
}

Error QtSerialPort::setInputLen(int length)
{
    if (length < 0)
        return {ErrorNumber::InvalidPropertyValue, tr("Invalid input length %1").arg(length)};
    m_inputLen = length;
    return {};
}

Error QtSerialPort::applyLineSettings(const LineSettings &s)
{
    static const QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::EvenParity,
                                                   QSerialPort::OddParity, QSerialPort::MarkParity,
                                                   QSerialPort::SpaceParity};
    static const QSerialPort::StopBits stops[] = {QSerialPort::OneStop, QSerialPort::OneAndHalfStop,
                                                  QSerialPort::TwoStop};
    const bool ok = m_port.setBaudRate(s.baud)
                    && m_port.setParity(parities[static_cast<int>(s.parity)])
                    && m_port.setDataBits(static_cast<QSerialPort::DataBits>(s.dataBits))
                    && m_port.setStopBits(stops[static_cast<int>(s.stopBits)]);
    return ok ? Error{} : portError(ErrorNumber::InvalidPropertyValue);
}

Error QtSerialPort::applyHandshaking(int mode)
{
    const QSerialPort::FlowControl flow = mode == Handshaking::RtsCts    ? QSerialPort::HardwareControl
                                          : mode == Handshaking::XonXoff ? QSerialPort::SoftwareControl
                                                                         : QSerialPort::NoFlowControl;
    return m_port.setFlowControl(flow) ? Error{} : portError(ErrorNumber::InvalidPropertyValue);
}

Error QtSerialPort::portError(int number) const
{
    return {number, m_port.errorString()};
}

Error QtSerialPort::setPortOpen(bool open)
{
    if (!open) {
        if (!m_port.isOpen())
            return {ErrorNumber::PortNotOpen, tr("Port is not open")};
        // close() drops what Qt still buffers; give the last message its
        // chance to reach the line, but never hang on a stalled one.
        QElapsedTimer waited;
        waited.start();
        while (m_port.isOpen() && m_port.bytesToWrite() > 0 && waited.elapsed() < CloseDrainMs)
            m_port.waitForBytesWritten(int(CloseDrainMs - waited.elapsed()));
        if (!m_port.isOpen())
            return {};
        if (m_port.bytesToWrite() > 0)
            m_port.clear(QSerialPort::Output);
        m_port.close();
        m_commEvent = CommEvent::None;
        return {};
    }

    if (m_port.isOpen())
        return {ErrorNumber::PortAlreadyOpen, tr("Port already open")};
    m_port.clearError();
    m_port.setPortName(deviceName());
    if (Error e = applyLineSettings(m_settings))
        return e;
    if (Error e = applyHandshaking(m_handshaking))
        return e;
    if (!m_port.open(QIODevice::ReadWrite)) {
        switch (m_port.error()) {
        case QSerialPort::DeviceNotFoundError: return portError(ErrorNumber::InvalidPortNumber);
        case QSerialPort::PermissionError: return portError(ErrorNumber::PermissionDenied);
        default: return portError(ErrorNumber::HardwareNotAvailable);
        }
    }
    if (Error e = lockDevice())
        return e;
    // Terminals and some adapters wait for DTR before they talk; RTS stays
    // with the RTS/CTS handshake. A pseudo-terminal has no modem lines, and
    // some Windows drivers (virtual and Bluetooth ports) refuse DTR with an
    // error Qt cannot classify: the port still carries data, so it is kept.
    if (!m_port.setDataTerminalReady(true))
        m_port.clearError();
    // Whatever the device held from before belongs to no reply of ours.
    m_port.clear(QSerialPort::Input);
    m_commEvent = CommEvent::None;
    m_lastFailure = {};
    return {};
}

Error QtSerialPort::lockDevice()
{
#ifdef Q_OS_UNIX
    // Qt's lock file is named after the name given and root passes TIOCEXCL:
    // one device under two names would carry two dialogues. A lock on the
    // open device itself holds against any name, any process, and root.
    int result;
    do {
        result = ::flock(int(m_port.handle()), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) {
        m_port.close();
        return {ErrorNumber::PermissionDenied, tr("Device or resource busy")};
    }
#endif
    return {};
}

void QtSerialPort::abortPort()
{
    if (!m_port.isOpen() || m_closing)
        return;
    // clear() on a dead device reports errors of its own; they are this close.
    m_closing = true;
    // With RTS/CTS and a dead terminal the kernel would hold the close for
    // its closing wait; nothing queued is worth that.
    m_port.clear(QSerialPort::Output);
    m_port.close();
    m_closing = false;
}

Error QtSerialPort::output(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return {ErrorNumber::PortNotOpen, tr("Port is not open")};
#ifdef Q_OS_UNIX
    // A message, with nothing of ours queued ahead, goes to the device at
    // once: QSerialPort would switch its write notifier on and off for every
    // message, waking the event loop twice per exchange, measurably slower
    // than the terminal's next reply. Long pieces, what the device does not
    // take now, and any failure go through QSerialPort, which sends them as
    // the device takes them. (Filling the device ourselves while QSerialPort
    // is about to write makes its next write fail on a full buffer.)
    QByteArray rest = bytes;
    if (bytes.size() <= FlushLimit && m_port.bytesToWrite() == 0) {
        qint64 written;
        do {
            written = ::write(int(m_port.handle()), bytes.constData(), size_t(bytes.size()));
        } while (written < 0 && errno == EINTR);
        if (written == bytes.size())
            return {};
        if (written > 0)
            rest = bytes.mid(written);
    }
    if (m_port.write(rest) != rest.size())
        return portError(ErrorNumber::DeviceIo);
    return {};
#else
    if (m_port.write(bytes) != bytes.size())
        return portError(ErrorNumber::DeviceIo);
    // Hand a message to the system now rather than on the next turn of the
    // event loop: the terminal waits for each answer. A long line's pieces go
    // out as the line takes them (flushing those stalls on a full buffer).
    if (m_port.bytesToWrite() <= FlushLimit)
        m_port.flush();
    return {};
#endif
}

QByteArray QtSerialPort::input()
{
    if (!m_port.isOpen())
        return {};
    return m_inputLen == 0 ? m_port.readAll() : m_port.read(m_inputLen);
}

void QtSerialPort::notify(int event)
{
    m_commEvent = event;
    Q_EMIT onComm();
}

void QtSerialPort::handleError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::ResourceError:
        // A pulled adapter floods these until the port is closed: close on the
        // first one and say so once.
        if (!m_port.isOpen() || m_closing)
            return;
        m_lastFailure = {ErrorNumber::DeviceIo, m_port.errorString()};
        abortPort();
        notify(CommEvent::Lost);
        return;
    case QSerialPort::NoError:
    case QSerialPort::UnsupportedOperationError: // modem lines on a pseudo-terminal
    case QSerialPort::TimeoutError:
    case QSerialPort::NotOpenError:
    case QSerialPort::DeviceNotFoundError:       // open failures are returned by setPortOpen
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
    case QSerialPort::UnknownError:
        return;
    }
}
