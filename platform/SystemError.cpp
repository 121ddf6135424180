#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

Error errorFromErrno(int code)
{
    int number = ErrorNumber::DeviceIo;
    switch (code) {
    case 0: return {};
    case ENOENT: number = ErrorNumber::PathNotFound; break;
    case EACCES:
    case EPERM:
    case EROFS: number = ErrorNumber::PermissionDenied; break;
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT
    case EDQUOT:
#endif
        number = ErrorNumber::DiskFull; break;
    default: break;
    }
    return {number, QString::fromLocal8Bit(std::strerror(code))};
}

#ifdef _WIN32
#include <windows.h>

Error errorFromWindows(unsigned long code)
{
    int number = ErrorNumber::DeviceIo;
    switch (code) {
    case ERROR_SUCCESS: return {};
    case ERROR_FILE_NOT_FOUND: number = ErrorNumber::FileNotFound; break;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: number = ErrorNumber::PathNotFound; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: number = ErrorNumber::PermissionDenied; break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: number = ErrorNumber::FileAlreadyOpen; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: number = ErrorNumber::DiskFull; break;
    default: break;
    }
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString description = n ? QString::fromWCharArray(text, int(n)).trimmed()
                            : QStringLiteral("Windows error %1").arg(code);
    LocalFree(text);
    return {number, description};
}
#endif
