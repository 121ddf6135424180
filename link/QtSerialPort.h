#pragma once

#include "link/LineSettings.h"
#include "link/SerialPort.h"

#include <QSerialPort>

// SerialPort over QSerialPort. Port n opens deviceForComPort(n) unless a
// device was set.
class QtSerialPort final : public SerialPort
{
    Q_OBJECT
public:
    explicit QtSerialPort(QObject *parent = nullptr);
    ~QtSerialPort() override;

    Error setCommPort(int number) override;
    int commPort() const override { return m_commPort; }
    Error setDevice(const QString &device) override;
    Error setSettings(const QString &settings) override;
    QString settings() const override { return m_settings.toString(); }
    Error setHandshaking(int mode) override;
    int handshaking() const override { return m_handshaking; }
    Error setInputLen(int length) override;
    Error setPortOpen(bool open) override;
    bool portOpen() const override { return m_port.isOpen(); }
    void abortPort() override;
    Error output(const QByteArray &bytes) override;
    QByteArray input() override;
    qint64 bytesToWrite() const override { return m_port.isOpen() ? m_port.bytesToWrite() : 0; }
    qint64 inBufferCount() const override { return m_port.isOpen() ? m_port.bytesAvailable() : 0; }
    int commEvent() const override { return m_commEvent; }
    Error lastFailure() const override { return m_lastFailure; }
    QString deviceName() const override;

    /// Longest wait for queued bytes when the port is closed.
    static constexpr int CloseDrainMs = 1000;
    /// Messages up to this many bytes are handed to the system at once.
    static constexpr qint64 FlushLimit = 4096;

private:
    void handleError(QSerialPort::SerialPortError error);
    void notify(int event);
    Error applyLineSettings(const LineSettings &s);
    Error applyHandshaking(int mode);
    Error portError(int number) const;
    Error lockDevice();

    QSerialPort m_port;
    int m_commPort = 1;
    QString m_device;
    LineSettings m_settings;
    int m_handshaking = Handshaking::None;
    int m_inputLen = 0;
    int m_commEvent = CommEvent::None;
    Error m_lastFailure;
    bool m_closing = false;
};
