#pragma once

#include "link/PortNames.h"
#include "platform/Error.h"

#include <QByteArray>
#include <QObject>

// The serial port a transfer drives, as Qt's: it is opened on a device with
// the link's fixed line settings, says what happened through signals on the
// thread that owns it, and is read and written in bytes. Every operation
// either succeeds or returns an Error and changes nothing.
class SerialPort : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialPort() override = default;

    /// Opens target.device at 115200 baud, 8 data bits, no parity, 1 stop
    /// bit, RTS/CTS handshake.
    virtual Error open(const PortTarget &target) = 0;
    /// Hands queued bytes to the line first, waiting a bounded time.
    virtual void close() = 0;
    /// Closes at once, dropping whatever has not been sent (for a dead line).
    virtual void abort() = 0;
    virtual bool isOpen() const = 0;
    /// The device opened last.
    virtual QString device() const = 0;
    /// Queues the bytes in order; does not wait for the transmission.
    virtual Error write(const QByteArray &bytes) = 0;
    /// Bytes queued by write() and not yet handed to the system; 0 once a
    /// message has left the program.
    virtual qint64 bytesToWrite() const = 0;
    /// Takes the received bytes not read yet; empty if none.
    virtual QByteArray readAll() = 0;
    virtual qint64 bytesAvailable() const = 0;

Q_SIGNALS:
    /// Bytes were received: readAll() takes them. Bytes that arrive while a
    /// slot of this signal runs are not announced again.
    void readyRead();
    /// Some queued bytes were handed to the system.
    void bytesWritten();
    /// The device failed or vanished; the port has been closed.
    void lineLost(const Error &why);
};
