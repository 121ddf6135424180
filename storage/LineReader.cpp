#include "storage/LineReader.h"

#include "platform/SystemError.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// True when the file holds a CR anywhere; reads it through once.
bool containsCr(QFile &file, Error &error)
{
    QByteArray chunk(LineReader::ChunkSize, Qt::Uninitialized);
    for (;;) {
        errno = 0;
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0) {
            error = errno ? errorFromErrno(errno) : Error{ErrorNumber::DeviceIo, file.errorString()};
            return false;
        }
        if (n == 0)
            return false;
        if (std::memchr(chunk.constData(), '\r', size_t(n)))
            return true;
    }
}
}

Error LineReader::open(const QString &path)
{
    close();
    const QFileInfo info(path);
    // A FIFO would hold the window inside open(), a device or folder never ends.
    if (info.exists() && !info.isFile())
        return {ErrorNumber::BadFileMode, info.isDir() ? QStringLiteral("it is a folder, not a file")
                                                       : QStringLiteral("it is not a regular file")};
    m_file.setFileName(path);
    errno = 0;
#ifdef Q_OS_WIN
    SetLastError(ERROR_SUCCESS);
#endif
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
#ifdef Q_OS_WIN
        const unsigned long code = GetLastError();
        Error e = code ? errorFromWindows(code) : Error{ErrorNumber::FileNotFound, m_file.errorString()};
#else
        const int code = errno;
        Error e = code ? errorFromErrno(code) : Error{ErrorNumber::FileNotFound, m_file.errorString()};
#endif
        m_file.setFileName(QString());
        return e;
    }
    m_size = m_file.size();
    Error e;
    m_ending = containsCr(m_file, e) ? '\r' : '\n';
    if (e || !m_file.seek(0)) {
        if (!e)
            e = {ErrorNumber::DeviceIo, m_file.errorString()};
        close();
        return e;
    }
    return {};
}

void LineReader::close()
{
    if (m_file.isOpen())
        m_file.close();
    m_file.setFileName(QString());
    m_buffer.clear();
    m_buffer.squeeze();
    m_pos = 0;
    m_base = 0;
    m_size = 0;
    m_ending = '\r';
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
        m_error = errno ? errorFromErrno(errno) : Error{ErrorNumber::DeviceIo, m_file.errorString()};
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
        return {ErrorNumber::BadFileMode, QStringLiteral("The file is not open")};
    skipPendingLf();
    if (m_pos == m_buffer.size() && !fill()) {
        if (m_error)
            return m_error;
        lineEnded = true; // the last line, with no ending
        return {};
    }
    const char *start = m_buffer.constData() + m_pos;
    const qsizetype available = qMin<qsizetype>(m_buffer.size() - m_pos, ChunkSize);
    const void *end = std::memchr(start, m_ending, size_t(available));
    if (!end) {
        piece.append(start, available);
        m_pos += available;
        return {};
    }
    const qsizetype length = static_cast<const char *>(end) - start;
    piece.append(start, length);
    m_pos += length + 1;
    lineEnded = true;
    if (m_ending == '\r') {
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
