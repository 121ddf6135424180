// Shared pieces of the fuzz targets: a reader of the fuzzer's bytes, a
// scratch folder on tmpfs, a failure report, the window's boxes and the
// checks that hold in both directions.
#pragma once


#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

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
    /// A piece's bytes: as many as control & mask says, or, where that is
    /// mask, mask + 4 * the next byte.
    QByteArray piece(uint8_t control, uint8_t mask)
    {
        size_t length = control & mask;
        if (length == mask)
            length += 4 * size_t(byte());
        return bytes(length);
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// The window's message boxes, each text as the target words it. While one
// is open, the pieces the input marks (control byte & 0x80) arrive, as a
// modal box's event loop lets them through.
struct Boxes
{
    template <typename Deliver> void show(const QString &text, FuzzInput &in, Deliver deliverNext)
    {
        texts.append(text);
        mostOpenAtOnce = std::max(mostOpenAtOnce, ++open);
        while (!in.empty() && (in.peek() & 0x80))
            deliverNext();
        --open;
    }
    QStringList texts;
    int open = 0;
    int mostOpenAtOnce = 0;
};

inline QByteArray joined(const std::vector<QByteArray> &v)
{
    QByteArray b;
    for (const QByteArray &x : v)
        b += x.left(80) + '|';
    return b;
}

// What holds after any input in both directions, the model having said
// whether the dialogue is over and what the boxes and the pending reply are.
template <class Rig>
void checkBoth(Rig &rig, const Boxes &boxes, const QStringList &expectedBoxes, bool over, const QByteArray &rxBuffer)
{
    // Every byte that reached the open port was read, or dropped by the close at the end.
    FUZZ_CHECK(rig.port.readBytes + rig.port.droppedBytes == rig.port.arrivedBytes, rig.port.readBytes);
    FUZZ_CHECK(rig.port.droppedBytes.isEmpty() || over, rig.port.droppedBytes);
    FUZZ_CHECK(rig.port.writesWhileClosed == 0, QByteArray());
    FUZZ_CHECK(boxes.texts == expectedBoxes, boxes.texts.join(QLatin1Char('|')).toLatin1());
    FUZZ_CHECK(boxes.mostOpenAtOnce <= 1, QByteArray());
    FUZZ_CHECK(rig.transfer.underWay() == !over, QByteArray());
    FUZZ_CHECK(rig.port.isOpen() == !over, QByteArray());
    if (!over)
        FUZZ_CHECK(rig.transfer.pendingReply() == rxBuffer, rig.transfer.pendingReply());
}

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

// A file of these bytes in the scratch folder; a run that cannot write it fails.
inline QString scratchFile(const QString &name, const QByteArray &bytes)
{
    const QString path = scratchDir() + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        fuzzFail("cannot write the input file");
    return path;
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
