#include "storage/LineReader.h"

#include "platform/SystemError.h"
#include "storage/SafePath.h"

#include <cerrno>
#include <cstring>

namespace {
// Whether the file's lines are broken by lone LFs more than ended by CRs:
// a file kept on Linux, perhaps with a line pasted from elsewhere. Decided
// once for the whole file, so that one stray line ending cannot split it in
// two kinds of lines. Reads the file through once.
bool mostlyLoneLf(QFile &file, Error &error)
{
    QByteArray chunk(LineReader::ChunkSize, Qt::Uninitialized);
    qint64 loneLf = 0;
    qint64 cr = 0;
    char previous = 0;
    for (;;) {
        errno = 0;
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0) {
            error = errnoOr(file.errorString());
            return false;
        }
        if (n == 0)
            return loneLf > cr;
        const char *data = chunk.constData();
        for (qint64 i = 0; i < n; ++i) {
            if (data[i] == '\r')
                ++cr;
            else if (data[i] == '\n' && previous != '\r')
                ++loneLf;
            previous = data[i];
        }
    }
}
}

Error LineReader::open(const QString &path)
{
    close();
    // Regular files only, reached through links as the system would follow
    // them: a FIFO would hold the window inside open(), a device or folder
    // never ends.
    if (Error e = openForReading(path, m_file))
        return e;
    m_path = path;
    m_size = m_file.size();
    Error e;
    m_anyEnding = mostlyLoneLf(m_file, e);
    if (e || !m_file.seek(0)) {
        if (!e)
            e = {Error::Kind::Io, m_file.errorString()};
        close();
        return e;
    }
    return {};
}

void LineReader::close()
{
    if (m_file.isOpen())
        m_file.close();
    m_path.clear();
    m_buffer.clear();
    m_buffer.squeeze();
    m_pos = 0;
    m_base = 0;
    m_size = 0;
    m_anyEnding = false;
    m_afterCr = false;
    m_eof = false;
    m_error = {};
}

bool LineReader::fill()
{
    if (m_eof || m_error)
        return false;
    // Consumed bytes are dropped so memory stays one chunk plus what is left.
    m_buffer.remove(0, m_pos);
    m_base += m_pos;
    m_pos = 0;
    const qsizetype old = m_buffer.size();
    m_buffer.resize(old + ChunkSize);
    errno = 0;
    const qint64 n = m_file.read(m_buffer.data() + old, ChunkSize);
    if (n < 0) {
        m_buffer.resize(old);
        m_error = errnoOr(m_file.errorString());
        return false;
    }
    m_buffer.resize(old + n);
    if (n == 0)
        m_eof = true;
    return n > 0;
}

void LineReader::skipPendingLf()
{
    if (!m_afterCr)
        return;
    if (m_pos == m_buffer.size() && !fill())
        return; // the LF question stays open until more is known
    m_afterCr = false;
    if (m_buffer.at(m_pos) == '\n')
        ++m_pos;
}

bool LineReader::atEnd()
{
    if (!m_file.isOpen())
        return true;
    skipPendingLf();
    if (m_pos < m_buffer.size())
        return false;
    if (fill())
        return false;
    return !m_error;
}

Error LineReader::readPiece(QByteArray &piece, bool &lineEnded)
{
    piece.clear();
    lineEnded = false;
    if (!m_file.isOpen())
        return {Error::Kind::BadFile, QStringLiteral("The file is not open")};
    skipPendingLf();
    if (m_pos == m_buffer.size() && !fill()) {
        if (m_error)
            return m_error;
        lineEnded = true; // the last line, with no ending
        return {};
    }
    const char *start = m_buffer.constData() + m_pos;
    const qsizetype available = qMin<qsizetype>(m_buffer.size() - m_pos, ChunkSize);
    qsizetype scan = available;
    const char *lf = nullptr;
    if (m_anyEnding) {
        // The first CR or LF ends the line. Each search stops at the line's
        // end, so a file of short lines is read in one pass, not one per line.
        lf = static_cast<const char *>(std::memchr(start, '\n', size_t(available)));
        if (lf)
            scan = lf - start;
    }
    const char *cr = static_cast<const char *>(std::memchr(start, '\r', size_t(scan)));
    const char *end = cr ? cr : lf;
    if (!end) {
        piece.append(start, available);
        m_pos += available;
        return {};
    }
    const qsizetype length = end - start;
    piece.append(start, length);
    m_pos += length + 1;
    lineEnded = true;
    if (*end == '\r') {
        m_afterCr = true;
        skipPendingLf();
    }
    return {};
}

Error LineReader::readLine(QByteArray &line)
{
    line.clear();
    QByteArray piece;
    bool ended = false;
    while (!ended) {
        if (Error e = readPiece(piece, ended))
            return e;
        line.append(piece);
    }
    return {};
}
