#include "storage/LineReader.h"

#include "platform/SystemError.h"
#include "storage/SafePath.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

Error LineReader::openFile(const QString &path)
{
    close();
    // Regular files only, reached through links as the system would follow
    // them: a FIFO would hold the window inside open(), a device or folder
    // never ends.
    if (Error e = openForReading(path, m_file))
        return e;
    m_path = path;
    m_opened = stamp();
    m_size = m_opened.size;
    m_buffer.resize(ChunkSize);
    return {};
}

Error LineReader::scan(qint64 budget, bool &done)
{
    // Whether the file's lines are broken by lone LFs more than ended by CRs:
    // a file kept on Linux, perhaps with a line pasted from elsewhere. Decided
    // once for the whole file, so that one stray line ending cannot split it
    // in two kinds of lines.
    done = m_scanned;
    if (done)
        return {};
    if (!m_file.isOpen())
        return {Error::Kind::BadFile, QStringLiteral("The file is not open")};
    for (qint64 read = 0; read < budget;) {
        errno = 0;
        const qint64 n = m_file.read(m_buffer.data(), m_buffer.size());
        if (n < 0)
            return errnoOr(m_file.errorString());
        if (n == 0) {
            if (Error e = checkUnchanged())
                return e;
            m_anyEnding = m_loneLf > m_cr;
            m_scanned = done = true;
            if (!m_file.seek(0))
                return {Error::Kind::Io, m_file.errorString()};
            m_buffer.clear();
            return {};
        }
        read += n;
        const char *data = m_buffer.constData();
        for (qint64 i = 0; i < n; ++i) {
            if (data[i] == '\r')
                ++m_cr;
            else if (data[i] == '\n' && m_previous != '\r')
                ++m_loneLf;
            m_previous = data[i];
        }
    }
    return {};
}

LineReader::Stamp LineReader::stamp()
{
#ifdef Q_OS_UNIX
    struct stat st{};
    if (::fstat(m_file.handle(), &st) != 0)
        return {};
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
#else
    return {m_file.size(), m_file.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch()};
#endif
}

Error LineReader::checkUnchanged()
{
    if (!m_file.isOpen() || stamp() == m_opened)
        return {};
    return {Error::Kind::Changed, QStringLiteral("it changed while it was being sent")};
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
    m_midLine = false;
    m_opened = {};
    m_scanned = false;
    m_loneLf = 0;
    m_cr = 0;
    m_previous = 0;
    m_eof = false;
    m_error = {};
}

bool LineReader::fill()
{
    if (m_eof || m_error)
        return false;
    // What was read through decided the lines: a file rewritten since is not that file.
    if ((m_error = checkUnchanged()))
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
        m_midLine = false;
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
    m_midLine = !end;
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
