#include "storage/SafePath_p.h"

#include "platform/SystemError.h"

#include <cerrno>

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

QString SafePathShared::quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

QIODevice::OpenMode SafePathShared::openMode(SafePath::Open how)
{
    QIODevice::OpenMode mode = QIODevice::Unbuffered;
    switch (how) {
    case SafePath::Open::Read: mode |= QIODevice::ReadOnly; break;
    case SafePath::Open::Append: mode |= QIODevice::ReadWrite | QIODevice::Append; break;
    case SafePath::Open::CreateNew: mode |= QIODevice::WriteOnly | QIODevice::Append; break;
    // The file appends by itself (O_APPEND): Qt's Append would seek, which a pipe cannot.
    case SafePath::Open::Log: mode |= QIODevice::WriteOnly; break;
    }
    return mode;
}

bool SafePathShared::isLeftover(const QString &name, const QString &prefix, int suffixLength)
{
    if (name.size() != prefix.size() + suffixLength || !name.startsWith(prefix))
        return false;
    for (const QChar c : QStringView(name).mid(prefix.size())) {
        if (c.unicode() > 127 || !c.isLetterOrNumber())
            return false;
    }
    return true;
}

Error SafePath::danglingRefusal() const
{
    return {Error::Kind::NotFound,
            QStringLiteral("%1 is a symbolic link to %2, which does not exist; no file is made through a link: "
                           "make that file first, or name another")
                .arg(SafePathShared::quoted(m_given), SafePathShared::quoted(m_shown))};
}

Error SafePath::locate(const QString &path)
{
    *this = SafePath();
    m_given = path;
    if (path.isEmpty())
        return {Error::Kind::NotFound, QStringLiteral("no file name was given")};
    if (Error e = follow(path))
        return e;
    // The file's path for messages, ready for another name beside it.
    m_prefix = m_shown.endsWith(m_name) ? m_shown.chopped(m_name.size()) : m_shown + QLatin1Char('/');
    return {};
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
    return place.kind() == SafePath::Kind::Regular ? place.fileRefusal() : Error{};
}
