#include "storage/LineReader.h"

#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

Error LineReader::open(const QString &path)
{
    close();
    m_file.setFileName(path);
    errno = 0;
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        const int code = errno;
        Error e = code ? errorFromErrno(code) : Error{ErrorNumber::FileNotFound, m_file.errorString()};
        m_file.setFileName(QString());
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
    m_afterCr = false;
    m_eof = false;
    m_error = {};
}

bool LineReader::fill()
{
    if (m_eof || m_error)
        return false;
    // Consumed bytes are dropped so memory stays one chunk plus the line.
    m_buffer.remove(0, m_pos);
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

Error LineReader::readLine(QByteArray &line)
{
    line.clear();
    if (!m_file.isOpen())
        return {ErrorNumber::BadFileMode, QStringLiteral("The file is not open")};
    skipPendingLf();
    for (;;) {
        const char *start = m_buffer.constData() + m_pos;
        const qsizetype available = m_buffer.size() - m_pos;
        const void *cr = available > 0 ? std::memchr(start, '\r', size_t(available)) : nullptr;
        if (cr) {
            const qsizetype length = static_cast<const char *>(cr) - start;
            line.append(start, length);
            m_pos += length + 1;
            m_afterCr = true;
            skipPendingLf();
            return {};
        }
        line.append(start, available);
        m_pos = m_buffer.size();
        if (!fill()) {
            if (m_error)
                return m_error;
            return {}; // last line, no ending
        }
    }
}
