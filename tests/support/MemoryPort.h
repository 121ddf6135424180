#pragma once

#include "link/SerialPort.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

// A serial port held in memory: a pty costs milliseconds per exchange, the
// fuzzer needs thousands of runs a second. It behaves as QtSerialPort does
// towards a transfer: bytes that arrive while open are announced through
// onComm, input() takes all of them, closing drops what was not read.
class MemoryPort final : public SerialPort
{
public:
    Error setCommPort(int number) override
    {
        if (m_open)
            return {ErrorNumber::PortAlreadyOpen, QStringLiteral("Port already open")};
        m_number = number;
        return {};
    }
    int commPort() const override { return m_number; }
    Error setDevice(const QString &) override { return {}; }
    Error setSettings(const QString &settings) override
    {
        m_settings = settings;
        return {};
    }
    QString settings() const override { return m_settings; }
    Error setHandshaking(int mode) override
    {
        m_handshaking = mode;
        return {};
    }
    int handshaking() const override { return m_handshaking; }
    Error setInputLen(int) override { return {}; }
    Error setPortOpen(bool open) override
    {
        if (open == m_open)
            return {open ? ErrorNumber::PortAlreadyOpen : ErrorNumber::PortNotOpen, QStringLiteral("state")};
        m_open = open;
        m_event = CommEvent::None;
        if (!open)
            dropPending();
        return {};
    }
    bool portOpen() const override { return m_open; }
    void abortPort() override
    {
        m_open = false;
        dropPending();
    }
    Error output(const QByteArray &bytes) override
    {
        if (!m_open) {
            ++writesWhileClosed;
            return {ErrorNumber::PortNotOpen, QStringLiteral("Port is not open")};
        }
        writes.push_back(bytes);
        return {};
    }
    QByteArray input() override
    {
        if (!m_open)
            return {};
        QByteArray taken = std::exchange(m_pending, QByteArray());
        if (!taken.isEmpty()) {
            readBytes += taken;
            if (onRead)
                onRead(taken);
        }
        return taken;
    }
    qint64 bytesToWrite() const override { return queued; }
    qint64 inBufferCount() const override { return m_open ? m_pending.size() : 0; }
    int commEvent() const override { return m_event; }
    Error lastFailure() const override { return {}; }
    QString deviceName() const override { return QStringLiteral("memory"); }

    // The terminal's side: bytes reach the port and are announced, as the
    // line's notification would. Nothing arrives at a closed port.
    bool arrive(const QByteArray &bytes)
    {
        if (!m_open)
            return false;
        m_pending += bytes;
        arrivedBytes += bytes;
        m_event = CommEvent::Receive;
        Q_EMIT onComm();
        return true;
    }

    std::function<void(const QByteArray &)> onRead;  // every non-empty input()
    qint64 queued = 0;                               // bytes still to leave the PC
    std::vector<QByteArray> writes;                  // output() while open
    int writesWhileClosed = 0;
    QByteArray arrivedBytes;                         // all that reached the open port
    QByteArray readBytes;                            // all that input() handed out
    QByteArray droppedBytes;                         // unread when the port closed

private:
    void dropPending()
    {
        droppedBytes += m_pending;
        m_pending.clear();
    }

    int m_number = 1;
    QString m_settings;
    int m_handshaking = 0;
    bool m_open = false;
    int m_event = CommEvent::None;
    QByteArray m_pending;
};

