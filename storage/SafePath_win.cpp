// SafePath on Windows, which has no rule for links in shared folders: names
// are used as they are, by path.
#include "storage/SafePath_p.h"

#include "platform/SystemError.h"
#include "storage/FileLock.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>

#include <windows.h>

namespace {
QString nameOfKind(const QFileInfo &info)
{
    return info.isDir() ? QStringLiteral("a folder") : QStringLiteral("a special file");
}
}

Error SafePath::follow(const QString &path)
{
    // A link's target is the file, found by name.
    QString target = path;
    for (int hops = 0; hops < 40 && QFileInfo(target).isSymLink(); ++hops) {
        target = QFileInfo(target).symLinkTarget();
        m_viaLink = true;
    }
    const QFileInfo info(target);
    m_kind = !info.exists() ? Kind::Missing : info.isDir() ? Kind::Folder : info.isFile() ? Kind::Regular : Kind::Other;
    m_kindName = nameOfKind(info);
    m_dangling = m_viaLink && m_kind == Kind::Missing;
    m_name = info.fileName();
    m_shown = m_viaLink ? target : path;
    return {};
}

Error SafePath::fileRefusal() const
{
    return {};
}

SafePath::Kind SafePath::kindOf(const QString &name, QString *what) const
{
    const QFileInfo info(beside(name));
    if (what)
        *what = nameOfKind(info);
    return !info.exists() && !info.isSymLink() ? Kind::Missing
           : info.isSymLink()                 ? Kind::Link
           : info.isDir()                     ? Kind::Folder
           : info.isFile()                    ? Kind::Regular
                                              : Kind::Other;
}

Error SafePath::open(const QString &name, Open how, QFile &file, const QFile *modeOf, unsigned newMode) const
{
    Q_UNUSED(newMode);
    const QIODevice::OpenMode mode = SafePathShared::openMode(how);
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
}

bool SafePath::isAt(const QFile &file, const QString &name) const
{
    return sameFile(file.handle(), beside(name));
}

Error SafePath::rename(const QString &from, const QString &to) const
{
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(beside(from).utf16()),
                     reinterpret_cast<const wchar_t *>(beside(to).utf16()),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return errorFromWindows(GetLastError());
    return {};
}

Error SafePath::remove(const QString &name) const
{
    QFile file(beside(name));
    if (!file.remove())
        return {Error::Kind::PermissionDenied, file.errorString()};
    return {};
}

Error SafePath::syncFolder() const
{
    return {}; // Windows' file systems journal a name with its file
}

Error SafePath::checkWritable() const
{
    // The read-only attribute only: Qt reads no access lists by default.
    const QString folder = m_prefix.isEmpty() ? QStringLiteral(".") : m_prefix;
    if (!QFileInfo(folder).isWritable())
        return {Error::Kind::PermissionDenied, QStringLiteral("Access is denied")};
    return {};
}

void SafePath::removeLeftovers(const QString &prefix, int suffixLength) const
{
    const QDir folder(m_prefix.isEmpty() ? QStringLiteral(".") : m_prefix);
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &name : names) {
        if (SafePathShared::isLeftover(name, prefix, suffixLength))
            QFile::remove(folder.filePath(name));
    }
}
