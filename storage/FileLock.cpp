#include "storage/FileLock.h"

#include "platform/SystemError.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <ctime>
#include <unistd.h>
#endif

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("FileLock", text);
}

Error heldBy(int fd)
{
    const QString holder = lockHolder(fd);
    return {Error::Kind::Busy,
            holder.isEmpty() ? tr("another transfer is writing to it")
                             : tr("another transfer is writing to it: %1").arg(holder)};
}
}

Error lockExclusiveWithin(int fd, int waitMs, const std::function<bool()> &stopped)
{
    constexpr int StepMs = 50;
    for (int waited = 0;; waited += StepMs) {
        Error e = lockExclusive(fd);
        if (e.kind != Error::Kind::Busy)
            return e;
        const auto by = [fd] {
            const QString holder = lockHolder(fd);
            return holder.isEmpty() ? tr("another program") : holder;
        };
        if (waited >= waitMs)
            return {Error::Kind::Busy, tr("%1 holds a lock on it and kept it for %2 s").arg(by()).arg(waitMs / 1000.0)};
#ifdef Q_OS_WIN
        Sleep(StepMs);
#else
        const timespec step{0, StepMs * 1000 * 1000L};
        ::nanosleep(&step, nullptr);
#endif
        if (stopped && stopped())
            return {Error::Kind::Cancelled, tr("interrupted while waiting for its lock, which %1 holds").arg(by())};
    }
}

#ifdef Q_OS_WIN

Error lockExclusive(int fd)
{
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE)
        return {Error::Kind::BadFile, tr("the file is not open")};
    OVERLAPPED whole{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
        return {};
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING)
        return heldBy(fd);
    return {Error::Kind::PermissionDenied, tr("cannot lock it (%1)").arg(code)};
}

void unlockFile(int fd)
{
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED whole{};
    if (h != INVALID_HANDLE_VALUE)
        UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
}

QString lockHolder(int)
{
    return QString(); // Windows does not say who holds a byte-range lock
}

bool sameFile(int fd, const QString &path)
{
    BY_HANDLE_FILE_INFORMATION open{}, named{};
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &open))
        return false;
    const HANDLE other = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    const bool got = GetFileInformationByHandle(other, &named);
    CloseHandle(other);
    return got && open.dwVolumeSerialNumber == named.dwVolumeSerialNumber
           && open.nFileIndexHigh == named.nFileIndexHigh && open.nFileIndexLow == named.nFileIndexLow;
}

#else

Error lockExclusive(int fd)
{
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return {};
    if (errno == EWOULDBLOCK)
        return heldBy(fd);
    return errorFromErrno(errno);
}

void unlockFile(int fd)
{
    ::flock(fd, LOCK_UN);
}

QString lockHolder(int fd)
{
    struct stat st{};
    if (::fstat(fd, &st) != 0)
        return QString();
    // Lines such as "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF": the
    // device as hex major:minor, then the inode.
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':'
                            + QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':'
                            + QByteArray::number(quint64(st.st_ino));
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return QString();
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> f = line.simplified().split(' ');
        // A waiting lock reads "1: -> FLOCK ...": only held ones name the holder.
        if (f.size() < 6 || f[1] == "->" || f[5] != file)
            continue;
        const qint64 pid = f[4].toLongLong();
        if (pid <= 0)
            continue;
        if (pid == QCoreApplication::applicationPid())
            return tr("another transfer of this program");
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        const QByteArray name = comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
        return name.isEmpty() ? tr("process %1").arg(pid)
                              : tr("%1 (process %2)").arg(QString::fromLocal8Bit(name)).arg(pid);
    }
    return QString();
}

bool sameFile(int fd, const QString &path)
{
    struct stat open{}, named{};
    return ::fstat(fd, &open) == 0 && ::stat(QFile::encodeName(path).constData(), &named) == 0
           && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

#endif
