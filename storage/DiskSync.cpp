#include "storage/DiskSync.h"

#include "platform/SystemError.h"

#include <QFileInfo>

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

Error syncToDisk(int fd)
{
#ifdef Q_OS_WIN
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || !FlushFileBuffers(h))
        return {Error::Kind::Io, QStringLiteral("FlushFileBuffers failed (%1)").arg(GetLastError())};
    return {};
#else
    int rc;
    do {
#if defined(Q_OS_DARWIN)
        rc = ::fsync(fd);
#else
        rc = ::fdatasync(fd);
#endif
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? Error{} : errorFromErrno(errno);
#endif
}

Error syncDirectoryOf(const QString &filePath)
{
#ifdef Q_OS_WIN
    Q_UNUSED(filePath);
    return {};
#else
    const QByteArray dir = QFile::encodeName(QFileInfo(filePath).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errorFromErrno(errno);
    const int rc = ::fsync(fd);
    const int code = errno;
    ::close(fd);
    return rc == 0 ? Error{} : errorFromErrno(code);
#endif
}
