// Shared pieces of the fuzz targets: an in-memory serial port, a reader of
// the fuzzer's bytes, a scratch folder on tmpfs and a failure report.
#pragma once

#include "support/MemoryPort.h"

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

// Whether reply is the PC's own message sent coming back: as sent, or with
// its CR (or the LF a terminal or cable made of it) and more behind it. A
// line longer than a chunk is known by its first chunk and its length.
inline bool echoOf(const QByteArray &sent, const QByteArray &reply, qsizetype chunk)
{
    if (sent.isEmpty())
        return false;
    if (sent.size() > chunk)
        return reply.size() >= sent.size() && reply.startsWith(sent.left(chunk));
    return reply.startsWith(sent)
           && (reply.size() == sent.size() || reply[sent.size()] == '\n' || reply[sent.size()] == '\r');
}

// The input file's lines as the program defines them, computed over the whole
// file at once: a line ends at CR LF or at a CR alone, an LF alone is part of
// the line, the last line needs no ending and an ending at the very end adds
// no empty line. A file with more lone-LF line breaks than CR endings has its
// lines ended by LF, CR LF and CR alike.
inline std::vector<QByteArray> referenceLines(const QByteArray &file)
{
    qsizetype loneLf = 0;
    const qsizetype cr = file.count('\r');
    for (qsizetype i = 0; i < file.size(); ++i) {
        if (file[i] == '\n' && (i == 0 || file[i - 1] != '\r'))
            ++loneLf;
    }
    const bool anyEnding = loneLf > cr;
    std::vector<QByteArray> lines;
    qsizetype start = 0;
    while (start < file.size()) {
        // One pass to the line's end: a file of many short lines stays quick.
        qsizetype end = start;
        while (end < file.size() && file[end] != '\r' && !(anyEnding && file[end] == '\n'))
            ++end;
        if (end == file.size()) {
            lines.push_back(file.mid(start));
            break;
        }
        lines.push_back(file.mid(start, end - start));
        start = end + 1;
        if (file[end] == '\r' && start < file.size() && file[start] == '\n')
            ++start;
    }
    return lines;
}
