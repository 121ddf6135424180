#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

Error errorFromErrno(int code)
{
    Error::Kind kind = Error::Kind::Io;
    switch (code) {
    case 0: return {};
    case ENOENT: kind = Error::Kind::NotFound; break;
    case EMFILE:
    case ENFILE: kind = Error::Kind::NoDescriptors; break;
    case EACCES:
    case EPERM:
    case EROFS: kind = Error::Kind::PermissionDenied; break;
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT
    case EDQUOT:
#endif
        kind = Error::Kind::DiskFull; break;
    default: break;
    }
    return {kind, QString::fromLocal8Bit(std::strerror(code))};
}

Error errnoOr(const QString &fallback, Error::Kind fallbackKind)
{
    const int code = errno;
    return code ? errorFromErrno(code) : Error{fallbackKind, fallback};
}

#ifdef _WIN32
#include <windows.h>

Error errorFromWindows(unsigned long code)
{
    Error::Kind kind = Error::Kind::Io;
    switch (code) {
    case ERROR_SUCCESS: return {};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: kind = Error::Kind::NotFound; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: kind = Error::Kind::PermissionDenied; break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: kind = Error::Kind::Busy; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: kind = Error::Kind::DiskFull; break;
    default: break;
    }
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString description = n ? QString::fromWCharArray(text, int(n)).trimmed()
                            : QStringLiteral("Windows error %1").arg(code);
    LocalFree(text);
    return {kind, description};
}
#endif
