#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// Codes of CommEvent. Receive is the one the transfer windows act on; Lost
// tells them the device failed or vanished and the port has been closed.
namespace CommEvent {
inline constexpr int None = 0;
inline constexpr int Receive = 2;
inline constexpr int Lost = 1100;
}

namespace Handshaking {
inline constexpr int None = 0;
inline constexpr int XonXoff = 1;
inline constexpr int RtsCts = 2;
}

// The serial port component a transfer window drives. Every operation either
// succeeds or returns an Error and changes nothing. Notifications arrive on the
// thread that owns the object, through onComm().
class SerialPort : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialPort() override = default;

    virtual Error setCommPort(int number) = 0;
    virtual int commPort() const = 0;
    /// The device to open; empty: the one the port number maps to.
    virtual Error setDevice(const QString &device) = 0;
    /// Line speed and format, "baud,parity,data,stop", e.g. "115200,n,8,1".
    virtual Error setSettings(const QString &settings) = 0;
    virtual QString settings() const = 0;
    virtual Error setHandshaking(int mode) = 0;
    virtual int handshaking() const = 0;
    /// 0 makes input() return everything waiting.
    virtual Error setInputLen(int length) = 0;
    /// Opening applies the settings; closing hands queued bytes to the line
    /// first, waiting a bounded time.
    virtual Error setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;
    /// Closes at once, dropping whatever has not been sent (for a dead line).
    virtual void abortPort() = 0;
    /// Queues the bytes in order; does not wait for the transmission.
    virtual Error output(const QByteArray &bytes) = 0;
    /// Bytes queued by output() and not yet handed to the system; 0 once a
    /// message has left the program.
    virtual qint64 bytesToWrite() const = 0;
    /// Takes the received bytes not read yet; empty if none.
    virtual QByteArray input() = 0;
    virtual qint64 inBufferCount() const = 0;
    virtual int commEvent() const = 0;
    /// Why the port was lost, when commEvent() is CommEvent::Lost.
    virtual Error lastFailure() const = 0;
    /// The device the port opens, for messages.
    virtual QString deviceName() const = 0;

Q_SIGNALS:
    void onComm();
    /// Some queued bytes were handed to the system.
    void sent();
};
