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
