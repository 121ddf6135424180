#include "storage/SafePath.h"

#include "platform/SystemError.h"
#include "storage/FileLock.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

SafePath::Rule SafePath::judge(const Entry &e, unsigned user, bool protectedHardlinks)
{
    constexpr unsigned Sticky = 01000, OthersWrite = 0002;
    const bool shared = (e.folderMode & (Sticky | OthersWrite)) == (Sticky | OthersWrite);
    if (!shared || e.owner == user)
        return Rule::Allowed;
    // As the kernel's may_follow_link(): the folder's owner may plant links in it.
    if (e.symbolicLink)
        return e.owner == e.folderOwner ? Rule::Allowed : Rule::ForeignSymbolicLink;
    // Without fs.protected_hardlinks anyone may link to any file they can see.
    return !protectedHardlinks && e.links > 1 ? Rule::ForeignHardLink : Rule::Allowed;
}

namespace {
QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

// The file's path for messages, ready for another name beside it.
QString prefixOf(const QString &shown, const QString &name)
{
    return shown.endsWith(name) ? shown.chopped(name.size()) : shown + QLatin1Char('/');
}

#ifndef Q_OS_WIN
#ifdef O_PATH
constexpr int FolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int FolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int release() { return std::exchange(m_fd, -1); }
    operator int() const { return m_fd; }

private:
    int m_fd;
};

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
    const int fd = ::open("/proc/sys/fs/protected_hardlinks", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false; // no such protection known: the rule applies
    char c = '0';
    const bool on = ::read(fd, &c, 1) == 1 && c != '0';
    ::close(fd);
    return on;
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
#endif
}

SafePath::SafePath() = default;

SafePath::~SafePath()
{
#ifndef Q_OS_WIN
    if (m_folder >= 0)
        ::close(m_folder);
#endif
}

SafePath::SafePath(SafePath &&other) noexcept
{
    *this = std::move(other);
}

SafePath &SafePath::operator=(SafePath &&other) noexcept
{
    if (this == &other)
        return *this;
#ifndef Q_OS_WIN
    if (m_folder >= 0)
        ::close(m_folder);
#endif
    m_folder = std::exchange(other.m_folder, -1);
    m_given = std::move(other.m_given);
    m_shown = std::move(other.m_shown);
    m_prefix = std::move(other.m_prefix);
    m_name = std::move(other.m_name);
    m_kind = other.m_kind;
    m_kindName = std::move(other.m_kindName);
    m_dangling = other.m_dangling;
    m_viaLink = other.m_viaLink;
    m_throughLink = other.m_throughLink;
    m_device = other.m_device;
    m_inode = other.m_inode;
    return *this;
}

Error SafePath::danglingRefusal() const
{
    return {Error::Kind::NotFound,
            QStringLiteral("%1 is a symbolic link to %2, which does not exist; no file is made through a link: "
                           "make that file first, or name another")
                .arg(quoted(m_given), quoted(m_shown))};
}

Error SafePath::locate(const QString &path)
{
    *this = SafePath();
    m_given = path;
    if (path.isEmpty())
        return {Error::Kind::NotFound, QStringLiteral("no file name was given")};
#ifdef Q_OS_WIN
    // As before: a link's target is the file, found by name.
    QString target = path;
    for (int hops = 0; hops < 40 && QFileInfo(target).isSymLink(); ++hops) {
        target = QFileInfo(target).symLinkTarget();
        m_viaLink = true;
    }
    const QFileInfo info(target);
    m_kind = !info.exists() ? Kind::Missing : info.isDir() ? Kind::Folder : info.isFile() ? Kind::Regular : Kind::Other;
    m_kindName = info.isDir() ? QStringLiteral("a folder") : QStringLiteral("a special file");
    m_dangling = m_viaLink && m_kind == Kind::Missing;
    m_name = info.fileName();
    m_shown = m_viaLink ? target : path;
    m_prefix = prefixOf(m_shown, m_name);
    return {};
#else
    const QByteArray given = QFile::encodeName(path);
    QList<QByteArray> names = namesOf(given);
    if (names.isEmpty())
        names.append(".");
    Fd folder(::open(given.startsWith('/') ? "/" : ".", FolderFlags));
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
        Fd next(::openat(folder, name.constData(), FolderFlags | O_NOFOLLOW));
        if (next < 0)
            return errorFromErrno(errno);
        folder.reset(next.release());
        shownFolder = joined(shownFolder, name);
    }
    m_folder = folder.release();
    m_name = QFile::decodeName(name);
    m_shown = m_viaLink ? QDir::cleanPath(QFile::decodeName(joined(shownFolder, name))) : path;
    m_prefix = prefixOf(m_shown, m_name);
    return {};
#endif
}

SafePath::Kind SafePath::kindOf(const QString &name, QString *what) const
{
#ifdef Q_OS_WIN
    const QFileInfo info(beside(name));
    if (what)
        *what = info.isDir() ? QStringLiteral("a folder") : QStringLiteral("a special file");
    return !info.exists() && !info.isSymLink() ? Kind::Missing
           : info.isSymLink()                 ? Kind::Link
           : info.isDir()                     ? Kind::Folder
           : info.isFile()                    ? Kind::Regular
                                              : Kind::Other;
#else
    struct stat st{};
    if (::fstatat(m_folder, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Kind::Missing;
    if (what)
        *what = nameOfKind(st.st_mode);
    return kindOfMode(st.st_mode);
#endif
}

Error SafePath::open(const QString &name, Open how, QFile &file, const QFile *modeOf, unsigned newMode) const
{
    QIODevice::OpenMode mode = QIODevice::Unbuffered;
    switch (how) {
    case Open::Read: mode |= QIODevice::ReadOnly; break;
    case Open::Append: mode |= QIODevice::ReadWrite | QIODevice::Append; break;
    case Open::CreateNew: mode |= QIODevice::WriteOnly | QIODevice::Append; break;
    // The file appends by itself (O_APPEND): Qt's Append would seek, which a pipe cannot.
    case Open::Log: mode |= QIODevice::WriteOnly; break;
    }
#ifdef Q_OS_WIN
    Q_UNUSED(newMode);
    file.setFileName(beside(name));
    errno = 0;
    SetLastError(ERROR_SUCCESS);
    if (!file.open(how == Open::CreateNew ? mode | QIODevice::NewOnly : how == Open::Log ? mode | QIODevice::Append : mode)) {
        const unsigned long code = GetLastError();
        return code ? errorFromWindows(code) : errnoOr(file.errorString(), Error::Kind::PermissionDenied);
    }
    if (modeOf && !file.setPermissions(modeOf->permissions())) {
        const Error e{Error::Kind::PermissionDenied, file.errorString()};
        file.remove(); // made here but not handed over
        return e;
    }
    return {};
#else
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
    Fd fd(::openat(m_folder, QFile::encodeName(name).constData(), flags, how == Open::Log ? newMode : 0666));
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
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return madeButFailed({Error::Kind::Io, file.errorString()});
    fd.release();
    return {};
#endif
}

bool SafePath::isAt(const QFile &file, const QString &name) const
{
#ifdef Q_OS_WIN
    return sameFile(file.handle(), beside(name));
#else
    struct stat open{}, named{};
    return ::fstat(file.handle(), &open) == 0
           && ::fstatat(m_folder, QFile::encodeName(name).constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
           && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
#endif
}

Error SafePath::rename(const QString &from, const QString &to) const
{
#ifdef Q_OS_WIN
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(beside(from).utf16()),
                     reinterpret_cast<const wchar_t *>(beside(to).utf16()),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return errorFromWindows(GetLastError());
    return {};
#else
    if (::renameat(m_folder, QFile::encodeName(from).constData(), m_folder, QFile::encodeName(to).constData()) != 0)
        return errorFromErrno(errno);
    return {};
#endif
}

Error SafePath::remove(const QString &name) const
{
#ifdef Q_OS_WIN
    QFile file(beside(name));
    if (!file.remove())
        return {Error::Kind::PermissionDenied, file.errorString()};
    return {};
#else
    if (::unlinkat(m_folder, QFile::encodeName(name).constData(), 0) != 0)
        return errorFromErrno(errno);
    return {};
#endif
}

Error SafePath::syncFolder() const
{
#ifdef Q_OS_WIN
    return {}; // Windows' file systems journal a name with its file
#else
    Fd folder(::openat(m_folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder < 0 || ::fsync(folder) != 0)
        return errorFromErrno(errno);
    return {};
#endif
}

Error SafePath::checkWritable() const
{
#ifdef Q_OS_WIN
    // The read-only attribute only: Qt reads no access lists by default.
    const QString folder = m_prefix.isEmpty() ? QStringLiteral(".") : m_prefix;
    if (!QFileInfo(folder).isWritable())
        return {Error::Kind::PermissionDenied, QStringLiteral("Access is denied")};
    return {};
#else
    if (::faccessat(m_folder, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return errorFromErrno(errno);
    return {};
#endif
}

void SafePath::removeLeftovers(const QString &prefix, int suffixLength) const
{
    const auto leftover = [&](const QString &name) {
        if (name.size() != prefix.size() + suffixLength || !name.startsWith(prefix))
            return false;
        for (const QChar c : QStringView(name).mid(prefix.size())) {
            if (c.unicode() > 127 || !c.isLetterOrNumber())
                return false;
        }
        return true;
    };
#ifdef Q_OS_WIN
    const QDir folder(m_prefix.isEmpty() ? QStringLiteral(".") : m_prefix);
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &name : names) {
        if (leftover(name))
            QFile::remove(folder.filePath(name));
    }
#else
    Fd listed(::openat(m_folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!dir)
        return;
    listed.release(); // closedir() closes it
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        struct stat st{};
        if (leftover(name) && ::fstatat(m_folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            ::unlinkat(m_folder, entry->d_name, 0);
    }
    ::closedir(dir);
#endif
}

Error openForReading(const QString &path, QFile &file)
{
    SafePath place;
    if (Error e = place.locate(path))
        return e;
    switch (place.kind()) {
    case SafePath::Kind::Missing: return errorFromErrno(ENOENT);
    case SafePath::Kind::Folder: return {Error::Kind::BadFile, QStringLiteral("it is a folder, not a file")};
    case SafePath::Kind::Link: // locate() follows links
    case SafePath::Kind::Other:
        return {Error::Kind::BadFile, QStringLiteral("it is %1, not a regular file").arg(place.kindName())};
    case SafePath::Kind::Regular: break;
    }
    return place.open(place.name(), SafePath::Open::Read, file);
}

Error openForAppending(const QString &path, QFile &file, unsigned newMode)
{
    SafePath place;
    if (Error e = place.locate(path))
        return e;
    if (place.danglingLink())
        return place.danglingRefusal();
    if (place.kind() == SafePath::Kind::Folder)
        return {Error::Kind::BadFile, QStringLiteral("it is a folder, not a file")};
    return place.open(place.name(), SafePath::Open::Log, file, nullptr, newMode);
}

Error checkReachable(const QString &path)
{
    SafePath place;
    const Error e = place.locate(path);
    if (e.kind == Error::Kind::NotFound)
        return {}; // folders still to be made: made through links already checked
    if (e)
        return e;
    if (place.danglingLink())
        return place.danglingRefusal();
    if (place.kind() == SafePath::Kind::Folder || place.kind() == SafePath::Kind::Other)
        return {Error::Kind::BadFile, QStringLiteral("it is %1, not a regular file").arg(place.kindName())};
#ifndef Q_OS_WIN
    struct stat st{}, in{};
    if (place.kind() == SafePath::Kind::Regular
        && ::fstatat(place.m_folder, QFile::encodeName(place.m_name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && ::fstat(place.m_folder, &in) == 0)
        return refusal(place.shown(), in, st);
#endif
    return {};
}
