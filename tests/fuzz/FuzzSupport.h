// Shared pieces of the fuzz targets: an in-memory serial port, a reader of
// the fuzzer's bytes, a scratch folder on tmpfs and a failure report.
#pragma once

#include "link/SerialPort.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#include <unistd.h>

// Prints what broke and aborts, so libFuzzer saves the input as a crash.
[[noreturn]] inline void fuzzFail(const char *what, const QByteArray &detail = {})
{
    std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what);
    if (!detail.isEmpty())
        std::fprintf(stderr, "  %s\n", detail.toPercentEncoding(" ").constData());
    std::abort();
}
#define FUZZ_CHECK(cond, detail)                                                                                     \
    do {                                                                                                             \
        if (!(cond))                                                                                                 \
            fuzzFail(#cond, detail);                                                                                 \
    } while (0)

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

// Reads the fuzzer's input front to back; past its end every read gives zero.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_pos >= m_size; }
    uint8_t peek() const { return empty() ? 0 : m_data[m_pos]; }
    uint8_t byte() { return empty() ? 0 : m_data[m_pos++]; }
    QByteArray bytes(size_t n)
    {
        n = std::min(n, m_size - std::min(m_pos, m_size));
        QByteArray b(reinterpret_cast<const char *>(m_data + m_pos), qsizetype(n));
        m_pos += n;
        return b;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A folder for the targets' files, on tmpfs when there is one: the upload
// syncs every record to disk, which a real disk would make the bottleneck.
inline QString scratchDir()
{
    // Never destroyed: the exit handler below still needs it.
    static const QString *const dir = [] {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        auto *d = new QString(base + QStringLiteral("/quillan-fuzz-") + QString::number(qint64(::getpid())));
        QDir().mkpath(*d);
        // Gone when the run ends; a crashing run leaves it for a look.
        std::atexit([] { QDir(scratchDir()).removeRecursively(); });
        return d;
    }();
    return *dir;
}

// The input file's lines as the program defines them, computed over the whole
// file at once: a line ends at CR LF or at a CR alone, an LF alone is part of
// the line, the last line needs no ending and an ending at the very end adds
// no empty line.
inline std::vector<QByteArray> referenceLines(const QByteArray &file)
{
    std::vector<QByteArray> lines;
    qsizetype start = 0;
    while (start < file.size()) {
        const qsizetype cr = file.indexOf('\r', start);
        if (cr < 0) {
            lines.push_back(file.mid(start));
            break;
        }
        lines.push_back(file.mid(start, cr - start));
        start = cr + 1;
        if (start < file.size() && file[start] == '\n')
            ++start;
    }
    return lines;
}
