#include "storage/RecordFile.h"

#include "storage/DiskSync.h"
#include "platform/SystemError.h"

#include <cerrno>

Error RecordFile::open(const QString &path)
{
    close();
    m_created = !QFile::exists(path);
    m_file.setFileName(path);
    errno = 0;
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        const int code = errno;
        Error e = code ? errorFromErrno(code) : Error{ErrorNumber::PermissionDenied, m_file.errorString()};
        m_file.setFileName(QString());
        return e;
    }
    m_size = 0;
    if (Error e = syncToDisk(m_file.handle())) {
        close();
        return e;
    }
    if (m_created) {
        if (Error e = syncDirectoryOf(path)) {
            close();
            return e;
        }
    }
    return {};
}

Error RecordFile::writeLine(const QByteArray &record)
{
    if (!m_file.isOpen())
        return {ErrorNumber::BadFileMode, QStringLiteral("The file is not open")};
    m_line.clear();
    m_line.append(record);
    m_line.append("\r\n", 2);
    errno = 0;
    const qint64 written = m_file.write(m_line);
    Error e;
    if (written != m_line.size())
        e = errno ? errorFromErrno(errno) : Error{ErrorNumber::DeviceIo, m_file.errorString()};
    else
        e = syncToDisk(m_file.handle());
    if (e) {
        // Keep the file a whole number of records.
        m_file.resize(m_size);
        m_file.seek(m_size);
        m_file.unsetError();
        return e;
    }
    m_size += written;
    return {};
}

void RecordFile::close()
{
    if (m_file.isOpen())
        m_file.close();
    m_file.setFileName(QString());
    m_size = 0;
}
