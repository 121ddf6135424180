#pragma once

#include "link/SerialPort.h"

#include <QSerialPort>

// SerialPort over QSerialPort.
class QtSerialPort final : public SerialPort
{
    Q_OBJECT
public:
    // The line every transfer uses.
    static constexpr qint32 BaudRate = 115200;
    static constexpr QSerialPort::DataBits DataBits = QSerialPort::Data8;
    static constexpr QSerialPort::Parity Parity = QSerialPort::NoParity;
    static constexpr QSerialPort::StopBits StopBits = QSerialPort::OneStop;
    static constexpr QSerialPort::FlowControl FlowControl = QSerialPort::HardwareControl;
    /// Longest wait for queued bytes when the port is closed.
    static constexpr int CloseDrainMs = 1000;
    /// Messages up to this many bytes are handed to the system at once.
    static constexpr qint64 FlushLimit = 4096;

    explicit QtSerialPort(QObject *parent = nullptr);
    ~QtSerialPort() override;

    Error open(const PortTarget &target) override;
    void close() override;
    void abort() override;
    bool isOpen() const override { return m_port.isOpen(); }
    QString device() const override { return m_device; }
    Error write(const QByteArray &bytes) override;
    qint64 bytesToWrite() const override { return m_port.isOpen() ? m_port.bytesToWrite() : 0; }
    // What has arrived, in one allocation (readAll() grows its result by 16 KiB to look for more).
    QByteArray readAll() override { return m_port.isOpen() ? m_port.read(m_port.bytesAvailable()) : QByteArray(); }
    qint64 bytesAvailable() const override { return m_port.isOpen() ? m_port.bytesAvailable() : 0; }

private:
    void handleError(QSerialPort::SerialPortError error);
    Error portError(Error::Kind kind) const { return {kind, m_port.errorString()}; }
    /// A failure to open that Qt's error kinds misname, with its true kind.
    Error unclassifiedFailure() const;
    Error lockDevice();

    QSerialPort m_port;
    QString m_device;
    bool m_closing = false;
};
