#pragma once

#include "platform/Error.h"

#include <QFile>
#include <QString>

#ifndef Q_OS_WIN
#include "storage/UniqueFd.h"
#endif

// A file name followed the way the system's protection against links planted
// in a shared folder (Linux's fs.protected_symlinks, on in Debian) follows it,
// whatever the sysctl says: a symbolic link in a sticky folder anyone may
// write to (/tmp) is followed only when it belongs to the user or to the
// folder's owner, and no file is made through a link that leads nowhere.
// Where fs.protected_hardlinks is off, a hard link there to another user's
// file is refused too. The folder that holds the file is opened once, and
// every later step (open, rename, remove) acts on that folder by name with
// links not followed, so nothing can be swapped in between a check and its
// use. Windows has no such rule: there names are used as they are, as before.
class SafePath
{
public:
    /// What the rule looks at for one name: plain numbers, so that the rule is
    /// one function, the same on every platform and testable by itself.
    struct Entry
    {
        unsigned folderMode = 0;   // st_mode of the folder holding the name
        unsigned folderOwner = 0;
        unsigned owner = 0;        // the link's owner, or the file's
        bool symbolicLink = false;
        unsigned long links = 1;   // a file's hard links
    };
    enum class Rule { Allowed, ForeignSymbolicLink, ForeignHardLink };
    /// Whether user may follow (a symbolic link) or open (a file) entry.
    static Rule judge(const Entry &entry, unsigned user, bool protectedHardlinks);

    enum class Kind { Missing, Regular, Folder, Link /* kindOf() only */, Other };
    enum class Open {
        Read,        // an existing regular file
        Append,      // an existing regular file, read and written at its end
        CreateNew,   // a file made now; an existing one is refused
        Log,         // appended to, made when missing; a device or a FIFO a program reads will do
    };

    SafePath() = default;
    SafePath(SafePath &&) noexcept = default;
    SafePath &operator=(SafePath &&) noexcept = default;

    /// Follows path to the folder that holds the file, refusing a link the
    /// rule refuses (PermissionDenied); a missing last name is no error.
    Error locate(const QString &path);

    Kind kind() const { return m_kind; }
    /// "a folder", "a pipe (FIFO)", "a character device", ...
    QString kindName() const { return m_kindName; }
    /// The name given was a symbolic link whose target does not exist.
    bool danglingLink() const { return m_dangling; }
    /// The refusal of a file to be made through such a link.
    Error danglingRefusal() const;
    /// The file's name in its folder.
    QString name() const { return m_name; }
    /// The file's path for messages: as given, or a symbolic link's target.
    QString shown() const { return m_shown; }
    /// A name beside the file, as messages show it.
    QString beside(const QString &name) const { return m_prefix + name; }

    /// What stands at name in the folder, links not followed ("" when nothing).
    Kind kindOf(const QString &name, QString *what = nullptr) const;
    /// Opens name in the folder, never through a link; a file opened for
    /// reading or appending must be regular and pass the rule. modeOf: the
    /// open file whose permission bits a new file takes; newMode: those of a
    /// new log.
    Error open(const QString &name, Open how, QFile &file, const QFile *modeOf = nullptr,
               unsigned newMode = 0600) const;
    /// Whether the open file is still the one at name.
    bool isAt(const QFile &file, const QString &name) const;
    /// An open file's identity (device and inode), so that asking whether it
    /// is still at its name after every record looks at the name only.
    struct FileId
    {
        unsigned long long device = 0, inode = 0;
        bool known = false;
    };
#ifndef Q_OS_WIN
    static FileId identify(const QFile &file);
    bool isAt(const FileId &id, const QString &name) const;
#endif
    Error rename(const QString &from, const QString &to) const;
    Error remove(const QString &name) const;
    /// Makes the folder's names durable.
    Error syncFolder() const;
    /// Whether this user may make files in the folder (a replacement beside the file).
    Error checkWritable() const;
    /// Removes the regular files of this user whose names start with prefix
    /// and have suffixLength more characters (left by a run that was killed).
    void removeLeftovers(const QString &prefix, int suffixLength) const;

private:
    friend Error checkReachable(const QString &path);

    // The platform's half of locate(), from a fresh state and a path not empty.
    Error follow(const QString &path);
    /// Why the rule refuses the regular file located (a foreign hard link), or nothing.
    Error fileRefusal() const;

#ifndef Q_OS_WIN
    UniqueFd m_folder;  // the folder, opened once (O_PATH)
#endif
    QString m_given;
    QString m_shown;
    QString m_prefix;   // the folder as messages show it, ready for a name
    QString m_name;
    Kind m_kind = Kind::Missing;
    QString m_kindName;
    bool m_dangling = false;
    bool m_viaLink = false;  // the last name given was a link, followed here
    // The last name is a link to no file with a name of its own (/dev/stdout
    // to a pipe): only a log opens it, and only as the file seen here.
    bool m_throughLink = false;
    unsigned long long m_device = 0, m_inode = 0;
};

/// Opens path for reading with the rule above: a regular file only (a FIFO
/// would hold open() until a writer comes). LineReader's way in.
Error openForReading(const QString &path, QFile &file);

/// Opens path to append to, made with permission bits newMode when missing
/// (an existing file keeps its own): a regular file, a device, or a FIFO
/// that a program reads (one no program reads is refused at once, not waited
/// for). quillan-cli's log.
Error openForAppending(const QString &path, QFile &file, unsigned newMode);

/// Whether path (a settings file that QSettings reads and writes by name)
/// and its folders are reached only through links the rule allows.
Error checkReachable(const QString &path);
