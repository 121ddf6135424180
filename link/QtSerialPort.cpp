#include "link/QtSerialPort.h"

#include <QElapsedTimer>

#ifdef Q_OS_UNIX
#include "platform/SystemError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

QtSerialPort::QtSerialPort(QObject *parent)
    : SerialPort(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialPort::readyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialPort::handleError);
    connect(&m_port, &QSerialPort::bytesWritten, this, &SerialPort::bytesWritten);
}

QtSerialPort::~QtSerialPort()
{
    // A window that goes away must not leave its terminal holding a half-sent message.
    abort();
}

Error QtSerialPort::open(const PortTarget &target)
{
    if (m_port.isOpen())
        return {Error::Kind::PortAlreadyOpen, tr("Port already open")};
    m_port.clearError();
    m_device = target.device;
    m_port.setPortName(m_device);
    if (!m_port.setBaudRate(BaudRate) || !m_port.setDataBits(DataBits) || !m_port.setParity(Parity)
        || !m_port.setStopBits(StopBits) || !m_port.setFlowControl(FlowControl))
        return portError(Error::Kind::InvalidValue);
    if (!m_port.open(QIODevice::ReadWrite)) {
        if (Error e = unclassifiedFailure())
            return e;
        switch (m_port.error()) {
        case QSerialPort::DeviceNotFoundError: return portError(Error::Kind::NotFound);
        case QSerialPort::PermissionError: return portError(Error::Kind::PermissionDenied);
        default: return portError(Error::Kind::Io);
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
    return {};
}

void QtSerialPort::close()
{
    // close() drops what Qt still buffers; give the last message its
    // chance to reach the line, but never hang on a stalled one.
    QElapsedTimer waited;
    waited.start();
    while (m_port.isOpen() && m_port.bytesToWrite() > 0 && waited.elapsed() < CloseDrainMs)
        m_port.waitForBytesWritten(int(CloseDrainMs - waited.elapsed()));
    if (!m_port.isOpen())
        return;
    if (m_port.bytesToWrite() > 0)
        m_port.clear(QSerialPort::Output);
    m_port.close();
}

Error QtSerialPort::unclassifiedFailure() const
{
#ifdef Q_OS_UNIX
    // Qt calls a device a service's sandbox forbids "unknown", and a lock
    // file it cannot make for want of descriptors a busy port.
    if (m_port.errorString() == qt_error_string(EPERM))
        return {Error::Kind::NotPermitted, m_port.errorString()};
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe < 0 && (errno == EMFILE || errno == ENFILE))
        return errorFromErrno(errno);
    if (probe >= 0)
        ::close(probe);
#endif
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
        return {Error::Kind::PermissionDenied, tr("Device or resource busy")};
    }
#endif
    return {};
}

void QtSerialPort::abort()
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

Error QtSerialPort::write(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return {Error::Kind::PortNotOpen, tr("Port is not open")};
    const bool nothingQueued = m_port.bytesToWrite() == 0;
    if (m_port.write(bytes) != bytes.size())
        return portError(Error::Kind::Io);
    // Hand a message to the system now rather than on the next turn of the
    // event loop: the terminal waits for each answer. The write notifier's
    // turn that follows keeps the loop awake while the terminal answers,
    // which on a virtual machine's idle CPUs answers sooner than a write of
    // our own that lets it sleep at once. A long line's pieces go out as the
    // line takes them: flushing one behind others could meet a full device
    // buffer, which Qt reports as a failed write.
    if (nothingQueued && bytes.size() <= FlushLimit)
        m_port.flush();
    return {};
}

void QtSerialPort::handleError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::ResourceError: {
        // A pulled adapter floods these until the port is closed: close on the
        // first one and say so once.
        if (!m_port.isOpen() || m_closing)
            return;
        const Error why{Error::Kind::Io, m_port.errorString()};
        abort();
        Q_EMIT lineLost(why);
        return;
    }
    case QSerialPort::NoError:
    case QSerialPort::UnsupportedOperationError: // modem lines on a pseudo-terminal
    case QSerialPort::TimeoutError:
    case QSerialPort::NotOpenError:
    case QSerialPort::DeviceNotFoundError:       // open failures are returned by open()
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
    case QSerialPort::UnknownError:
        return;
    }
}
