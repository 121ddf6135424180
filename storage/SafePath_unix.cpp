// SafePath on POSIX: the folder is opened once, and every step acts on it by
// name with links not followed.
#include "storage/SafePath_p.h"

#include "platform/SystemError.h"

#include <QDir>

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using SafePathShared::quoted;

namespace {
#ifdef O_PATH
constexpr int FolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int FolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

QString nameOfKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe (FIFO)");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link");
    return S_ISREG(mode) ? QStringLiteral("a regular file") : QStringLiteral("a special file");
}

SafePath::Kind kindOfMode(mode_t mode)
{
    return S_ISREG(mode)   ? SafePath::Kind::Regular
           : S_ISDIR(mode) ? SafePath::Kind::Folder
           : S_ISLNK(mode) ? SafePath::Kind::Link
                           : SafePath::Kind::Other;
}

bool hardlinksProtected()
{
    const UniqueFd fd(::open("/proc/sys/fs/protected_hardlinks", O_RDONLY | O_CLOEXEC));
    if (fd < 0)
        return false; // no such protection known: the rule applies
    char c = '0';
    return ::read(fd, &c, 1) == 1 && c != '0';
}

QString userName(uid_t uid)
{
    passwd pw{};
    passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found)
        return QStringLiteral("user %1").arg(QString::fromLocal8Bit(found->pw_name));
    return QStringLiteral("user %1").arg(uid);
}

// Why the rule refuses the entry at shownName (st) in the folder (in), or nothing.
Error refusal(const QString &shownName, const struct stat &in, const struct stat &st)
{
    const bool link = S_ISLNK(st.st_mode);
    const SafePath::Entry entry{unsigned(in.st_mode), unsigned(in.st_uid), unsigned(st.st_uid), link,
                                (unsigned long)st.st_nlink};
    switch (SafePath::judge(entry, ::geteuid(), link || hardlinksProtected())) {
    case SafePath::Rule::Allowed: return {};
    case SafePath::Rule::ForeignSymbolicLink:
        return {Error::Kind::PermissionDenied,
                QStringLiteral("%1 is a symbolic link of %2 in a folder anyone may write to (sticky): it is not "
                               "followed, as the system does not follow such a link (anyone could have put it there)")
                    .arg(quoted(shownName), userName(st.st_uid))};
    case SafePath::Rule::ForeignHardLink:
        return {Error::Kind::PermissionDenied,
                QStringLiteral("%1 is a hard link to a file of %2 in a folder anyone may write to (sticky), and "
                               "fs.protected_hardlinks is off (anyone could have made it): it is not opened")
                    .arg(quoted(shownName), userName(st.st_uid))};
    }
    return {};
}

QByteArray joined(const QByteArray &folder, const QByteArray &name)
{
    return folder.isEmpty() || folder.endsWith('/') ? folder + name : folder + '/' + name;
}

QList<QByteArray> namesOf(const QByteArray &path)
{
    QList<QByteArray> names = path.split('/');
    names.removeAll(QByteArray());
    names.removeAll(QByteArray("."));
    return names;
}
}

Error SafePath::follow(const QString &path)
{
    const QByteArray given = QFile::encodeName(path);
    QList<QByteArray> names = namesOf(given);
    if (names.isEmpty())
        names.append(".");
    UniqueFd folder(::open(given.startsWith('/') ? "/" : ".", FolderFlags));
    if (folder < 0)
        return errorFromErrno(errno);
    QByteArray shownFolder = given.startsWith('/') ? "/" : "";
    QByteArray name;
    int links = 0;
    for (;;) {
        name = names.takeFirst();
        const bool last = names.isEmpty();
        struct stat st{};
        if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || !last)
                return errorFromErrno(errno);
            m_kind = Kind::Missing; // the place of a new file
            m_dangling = m_viaLink;
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            struct stat in{};
            if (::fstat(folder, &in) != 0)
                return errorFromErrno(errno);
            if (Error e = refusal(QFile::decodeName(joined(shownFolder, name)), in, st))
                return e;
            if (++links > 40)
                return errorFromErrno(ELOOP);
            struct stat to{};
            if (last && ::fstatat(folder, name.constData(), &to, 0) == 0 && !S_ISREG(to.st_mode)
                && !S_ISDIR(to.st_mode)) {
                // No file with a name behind it, such as the pipe /dev/stdout leads to.
                m_kind = Kind::Other;
                m_kindName = nameOfKind(to.st_mode);
                m_throughLink = true;
                m_device = to.st_dev;
                m_inode = to.st_ino;
                break;
            }
            QByteArray target(4096, Qt::Uninitialized);
            const ssize_t n = ::readlinkat(folder, name.constData(), target.data(), size_t(target.size()));
            if (n < 0)
                return errorFromErrno(errno);
            target.truncate(n);
            if (target.startsWith('/')) {
                folder.reset(::open("/", FolderFlags));
                if (folder < 0)
                    return errorFromErrno(errno);
                shownFolder = "/";
            }
            QList<QByteArray> more = namesOf(target);
            if (more.isEmpty())
                more.append(".");
            names = more + names;
            m_viaLink = m_viaLink || last; // the last name now comes from the link
            continue;
        }
        if (last) {
            m_kind = kindOfMode(st.st_mode);
            m_kindName = nameOfKind(st.st_mode);
            break;
        }
        if (!S_ISDIR(st.st_mode))
            return errorFromErrno(ENOTDIR);
        UniqueFd next(::openat(folder, name.constData(), FolderFlags | O_NOFOLLOW));
        if (next < 0)
            return errorFromErrno(errno);
        folder = std::move(next);
        shownFolder = joined(shownFolder, name);
    }
    m_folder = std::move(folder);
    m_name = QFile::decodeName(name);
    m_shown = m_viaLink ? QDir::cleanPath(QFile::decodeName(joined(shownFolder, name))) : path;
    return {};
}

Error SafePath::fileRefusal() const
{
    struct stat st{}, in{};
    if (::fstatat(m_folder, QFile::encodeName(m_name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && ::fstat(m_folder, &in) == 0)
        return refusal(m_shown, in, st);
    return {};
}

SafePath::Kind SafePath::kindOf(const QString &name, QString *what) const
{
    struct stat st{};
    if (::fstatat(m_folder, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Kind::Missing;
    if (what)
        *what = nameOfKind(st.st_mode);
    return kindOfMode(st.st_mode);
}

Error SafePath::open(const QString &name, Open how, QFile &file, const QFile *modeOf, unsigned newMode) const
{
    int flags = O_CLOEXEC;
    switch (how) {
    case Open::Read: flags |= O_RDONLY | O_NONBLOCK; break;
    case Open::Append: flags |= O_RDWR | O_APPEND | O_NONBLOCK; break;
    case Open::CreateNew: flags |= O_WRONLY | O_APPEND | O_CREAT | O_EXCL; break;
    // Not held by a FIFO no program reads: refused at once instead.
    case Open::Log: flags |= O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK; break;
    }
    const bool throughLink = m_throughLink && name == m_name;
    if (!throughLink)
        flags |= O_NOFOLLOW;
    UniqueFd fd(::openat(m_folder, QFile::encodeName(name).constData(), flags, how == Open::Log ? newMode : 0666));
    if (fd < 0) {
        const int code = errno;
        if (code == ELOOP && !throughLink)
            return {Error::Kind::PermissionDenied,
                    QStringLiteral("%1 became a symbolic link while it was being opened").arg(quoted(beside(name)))};
        if (code == ENXIO && how == Open::Log)
            return {Error::Kind::BadFile, QStringLiteral("it is a pipe (FIFO) that no program reads")};
        return errorFromErrno(code);
    }
    // A file made here but not handed over is taken back.
    auto madeButFailed = [&](const Error &e) {
        if (how == Open::CreateNew)
            ::unlinkat(m_folder, QFile::encodeName(name).constData(), 0);
        return e;
    };
    struct stat st{}, in{};
    if (::fstat(fd, &st) != 0 || ::fstat(m_folder, &in) != 0)
        return madeButFailed(errorFromErrno(errno));
    if (throughLink && (st.st_dev != m_device || st.st_ino != m_inode))
        return {Error::Kind::PermissionDenied,
                QStringLiteral("%1 led elsewhere while it was being opened").arg(quoted(m_given))};
    if (how == Open::Read || how == Open::Append) {
        if (!S_ISREG(st.st_mode))
            return {Error::Kind::BadFile,
                    QStringLiteral("%1 is %2, not a regular file").arg(quoted(beside(name)), nameOfKind(st.st_mode))};
    }
    if (how != Open::CreateNew && S_ISREG(st.st_mode)) {
        if (Error e = refusal(beside(name), in, st))
            return e;
    }
    if (flags & O_NONBLOCK)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (modeOf) {
        struct stat from{};
        if (::fstat(modeOf->handle(), &from) != 0 || ::fchmod(fd, from.st_mode & 07777) != 0)
            return madeButFailed(errorFromErrno(errno));
    }
    if (!file.open(fd, SafePathShared::openMode(how), QFileDevice::AutoCloseHandle))
        return madeButFailed({Error::Kind::Io, file.errorString()});
    fd.release();
    return {};
}

bool SafePath::isAt(const QFile &file, const QString &name) const
{
    return isAt(identify(file), name);
}

SafePath::FileId SafePath::identify(const QFile &file)
{
    struct stat open{};
    if (::fstat(file.handle(), &open) != 0)
        return {};
    return {open.st_dev, open.st_ino, true};
}

bool SafePath::isAt(const FileId &id, const QString &name) const
{
    struct stat named{};
    return id.known && ::fstatat(m_folder, QFile::encodeName(name).constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
           && named.st_dev == id.device && named.st_ino == id.inode;
}

Error SafePath::rename(const QString &from, const QString &to) const
{
    if (::renameat(m_folder, QFile::encodeName(from).constData(), m_folder, QFile::encodeName(to).constData()) != 0)
        return errorFromErrno(errno);
    return {};
}

Error SafePath::remove(const QString &name) const
{
    if (::unlinkat(m_folder, QFile::encodeName(name).constData(), 0) != 0)
        return errorFromErrno(errno);
    return {};
}

Error SafePath::syncFolder() const
{
    const UniqueFd folder(::openat(m_folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder < 0 || ::fsync(folder) != 0)
        return errorFromErrno(errno);
    return {};
}

Error SafePath::checkWritable() const
{
    if (::faccessat(m_folder, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return errorFromErrno(errno);
    return {};
}

void SafePath::removeLeftovers(const QString &prefix, int suffixLength) const
{
    UniqueFd listed(::openat(m_folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!dir)
        return;
    listed.release(); // closedir() closes it
    while (const dirent *entry = ::readdir(dir)) {
        struct stat st{};
        if (SafePathShared::isLeftover(QFile::decodeName(entry->d_name), prefix, suffixLength)
            && ::fstatat(m_folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && st.st_uid == ::geteuid())
            ::unlinkat(m_folder, entry->d_name, 0);
    }
    ::closedir(dir);
}
