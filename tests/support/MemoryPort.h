#pragma once

#include "link/SerialPort.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <numeric>
#include <utility>
#include <vector>

// A serial port held in memory: a pty costs milliseconds per exchange, the
// fuzzer needs thousands of runs a second. It behaves as QtSerialPort does
// towards a transfer: bytes that arrive while open are announced through
// readyRead, readAll() takes all of them, closing drops what was not read.
class MemoryPort final : public SerialPort
{
public:
    Error open(const PortTarget &target) override
    {
        if (m_open)
            return {Error::Kind::PortAlreadyOpen, QStringLiteral("Port already open")};
        m_open = true;
        m_device = target.device;
        return {};
    }
    void close() override
    {
        m_open = false;
        dropPending();
    }
    void abort() override { close(); }
    bool isOpen() const override { return m_open; }
    QString device() const override { return m_device; }
    Error write(const QByteArray &bytes) override
    {
        if (!m_open) {
            ++writesWhileClosed;
            return {Error::Kind::PortNotOpen, QStringLiteral("Port is not open")};
        }
        writes.push_back(bytes);
        return {};
    }
    QByteArray readAll() override
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
    /// All that write() took, in one.
    QByteArray written() const { return std::accumulate(writes.begin(), writes.end(), QByteArray()); }
    qint64 bytesAvailable() const override { return m_open ? m_pending.size() : 0; }

    // The terminal's side: bytes reach the port and are announced, as the
    // line's signal would. Nothing arrives at a closed port.
    bool arrive(const QByteArray &bytes)
    {
        if (!m_open)
            return false;
        m_pending += bytes;
        arrivedBytes += bytes;
        Q_EMIT readyRead();
        return true;
    }

    std::function<void(const QByteArray &)> onRead;  // every non-empty readAll()
    qint64 queued = 0;                               // bytes still to leave the PC
    std::vector<QByteArray> writes;                  // write() while open
    int writesWhileClosed = 0;
    QByteArray arrivedBytes;                         // all that reached the open port
    QByteArray readBytes;                            // all that readAll() handed out
    QByteArray droppedBytes;                         // unread when the port closed

private:
    void dropPending()
    {
        droppedBytes += m_pending;
        m_pending.clear();
    }

    bool m_open = false;
    QString m_device;
    QByteArray m_pending;
};
