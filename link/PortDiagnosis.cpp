#include "link/PortDiagnosis.h"

#include "platform/Error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace PortDiagnosis {

namespace {

#ifdef Q_OS_UNIX
// Where Qt and the uucp tradition put serial lock files.
QStringList lockFolders()
{
    return {QStringLiteral("/var/lock"),      QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp"),      QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock"),
            QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
}

bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QList<qint64> processIds()
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &e : entries) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (ok)
            pids.append(pid);
    }
    return pids;
}

QByteArray readProc(qint64 pid, const char *what)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(what)));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

FileStatus localStatus(const QString &path)
{
    FileStatus s;
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return s;
    s.kind = S_ISDIR(st.st_mode)   ? FileStatus::Folder
             : S_ISREG(st.st_mode) ? FileStatus::Regular
             : S_ISCHR(st.st_mode) ? FileStatus::CharDevice
                                   : FileStatus::OtherKind;
    s.mode = st.st_mode & 07777;
    s.uid = st.st_uid;
    s.gid = st.st_gid;
    s.major = ::major(st.st_rdev);
    s.minor = ::minor(st.st_rdev);
    return s;
}

bool localIsTerminal(const FileStatus &s)
{
    if (s.kind != FileStatus::CharDevice)
        return false;
    if (s.major >= 136 && s.major <= 143) // pseudo-terminal slaves have no sysfs entry
        return true;
    const QString node = QStringLiteral("/sys/dev/char/%1:%2").arg(s.major).arg(s.minor);
    if (!QFileInfo::exists(QStringLiteral("/sys/dev/char")))
        return true; // no sysfs to ask: do not call a device no terminal on a guess
    return QFileInfo(node).canonicalFilePath().contains(QLatin1String("/tty/"));
}
#endif

// Terminals that are no serial line, by Linux's device numbers (/dev/tty,
// /dev/console, /dev/ptmx): what opens them reaches no cable.
QString consoleKind(const FileStatus &s)
{
#ifdef Q_OS_LINUX
    if (s.major == 5 && s.minor == 0)
        return QStringLiteral("the terminal of whichever program opens it");
    if (s.major == 5 && s.minor == 1)
        return QStringLiteral("the system console");
    if (s.major == 5 && s.minor == 2)
        return QStringLiteral("the pseudo-terminal multiplexer");
#else
    Q_UNUSED(s);
#endif
    return {};
}

} // namespace

Lookups Lookups::local()
{
    Lookups l;
#ifdef Q_OS_UNIX
    l.status = localStatus;
    l.isTerminal = localIsTerminal;
    l.userId = [] { return unsigned(::geteuid()); };
    l.userGroups = [] {
        QList<unsigned> groups{unsigned(::getegid())};
        const int n = ::getgroups(0, nullptr);
        if (n > 0) {
            std::vector<gid_t> list(n);
            const int got = ::getgroups(n, list.data());
            for (int i = 0; i < got; ++i)
                groups.append(list[i]);
        }
        return groups;
    };
    l.groupName = [](unsigned gid) {
        const group *g = ::getgrgid(gid_t(gid));
        return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
    };
    l.userName = [](unsigned uid) {
        const passwd *p = ::getpwuid(uid_t(uid));
        return p ? QString::fromLocal8Bit(p->pw_name) : QString::number(uid);
    };
    l.lockHolder = [](const QStringList &names) -> qint64 {
        for (const QString &folder : lockFolders()) {
            for (const QString &name : names) {
                QFile f(folder + QLatin1Char('/') + name);
                if (!f.open(QIODevice::ReadOnly))
                    continue;
                // QLockFile and uucp-style locks both start with the PID as text.
                const qint64 pid = f.readLine().trimmed().toLongLong();
                if (processAlive(pid))
                    return pid;
            }
        }
        return 0;
    };
    l.deviceLockHolder = [](const QString &node) -> qint64 {
        // The lock a port of this program takes on its open device, whatever
        // name it was opened by: /proc/locks tells which process holds it.
        struct stat st{};
        if (::stat(QFile::encodeName(node).constData(), &st) != 0)
            return 0;
        QFile locks(QStringLiteral("/proc/locks"));
        if (!locks.open(QIODevice::ReadOnly | QIODevice::Text))
            return 0;
        // "1: FLOCK  ADVISORY  WRITE 4242 00:18:5 0 EOF": pid, then the
        // file system's device (hex major:minor) and the inode.
        const QByteArray file = QByteArray::number(::major(st.st_dev), 16).rightJustified(2, '0') + ':'
                                + QByteArray::number(::minor(st.st_dev), 16).rightJustified(2, '0') + ':'
                                + QByteArray::number(quint64(st.st_ino));
        // readAll(): a /proc file has size 0, so atEnd() would end at once.
        const QList<QByteArray> lines = locks.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() >= 6 && f.at(1) == "FLOCK" && f.at(5) == file)
                return f.at(4).toLongLong();
        }
        return 0;
    };
    l.openedBy = [](const QString &node) {
        QList<qint64> holders;
        const qint64 self = ::getpid(); // our own windows are found by their locks
        for (qint64 pid : processIds()) {
            if (pid == self)
                continue;
            const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
            const QStringList entries = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
            for (const QString &fd : entries) {
                if (QFile::symLinkTarget(fds.filePath(fd)) == node) {
                    holders.append(pid);
                    break;
                }
            }
        }
        return holders;
    };
    l.process = [](qint64 pid) -> std::optional<Process> {
        const QByteArray comm = readProc(pid, "comm").trimmed();
        if (comm.isEmpty())
            return std::nullopt;
        QByteArray cmdline = readProc(pid, "cmdline");
        cmdline.replace('\0', ' ');
        return Process{pid, QString::fromLocal8Bit(comm), QString::fromLocal8Bit(cmdline.trimmed()),
                       pid == ::getpid()};
    };
    l.modemManagerRunning = [] {
        const auto pids = processIds();
        for (qint64 pid : pids) {
            if (readProc(pid, "comm").trimmed() == "ModemManager")
                return true;
        }
        return false;
    };
#endif
    return l;
}

QStringList lockFileNames(const QString &device, const QString &resolved)
{
    QStringList names;
    for (const QString &path : {device, resolved}) {
        if (path.isEmpty())
            continue;
        // Qt names the lock after the path without "/dev/", slashes made '_'.
        QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        name.prepend(QLatin1String("LCK.."));
        if (!names.contains(name))
            names.append(name);
        const QString uucp = QLatin1String("LCK..") + QFileInfo(path).fileName();
        if (!names.contains(uucp))
            names.append(uucp);
    }
    return names;
}

bool mayReadWrite(const FileStatus &s, unsigned uid, const QList<unsigned> &groups)
{
    if (uid == 0)
        return true;
    if (uid == s.uid)
        return (s.mode & 0600) == 0600;
    if (groups.contains(s.gid))
        return (s.mode & 060) == 060;
    return (s.mode & 06) == 06;
}

Findings diagnose(const QString &device, Error::Kind errorKind, const Lookups &lookups)
{
    Findings f;
    f.device = device;
    if (!lookups.status) {
        // No POSIX look-ups (Windows): the error alone tells; a port another
        // program has open is refused as access denied there.
        f.problem = errorKind == Error::Kind::NotFound  ? Problem::Missing
                    : errorKind == Error::Kind::PermissionDenied ? Problem::Busy
                                                                   : Problem::Other;
        return f;
    }
    const FileStatus s = lookups.status(device);
    const QString canonical = QFileInfo(device).canonicalFilePath();
    f.resolved = canonical.isEmpty() ? device : canonical;
    if (s.kind == FileStatus::Missing) {
        f.problem = Problem::Missing;
        return f;
    }
    if (s.kind != FileStatus::CharDevice || !lookups.isTerminal(s)) {
        f.problem = Problem::NotSerial;
        f.notSerialKind = s.kind == FileStatus::Folder    ? QStringLiteral("a folder")
                          : s.kind == FileStatus::Regular ? QStringLiteral("a regular file")
                                                          : QStringLiteral("a device of another kind");
        return f;
    }
    if (const QString console = consoleKind(s); !console.isEmpty()) {
        f.problem = Problem::NotSerial;
        f.notSerialKind = console;
        return f;
    }

    f.problem = Problem::Other;
    if (errorKind == Error::Kind::PermissionDenied) {
        // Qt says "permission" for a held lock file, for EBUSY and for EACCES alike.
        qint64 pid = lookups.lockHolder(lockFileNames(device, f.resolved));
        if (!pid && lookups.deviceLockHolder)
            pid = lookups.deviceLockHolder(f.resolved);
        if (pid) {
            f.problem = Problem::Busy;
            f.holder = lookups.process(pid);
            if (!f.holder)
                f.holder = Process{pid, {}, {}, false};
        } else if (!mayReadWrite(s, lookups.userId(), lookups.userGroups())) {
            f.problem = Problem::Forbidden;
            f.group = lookups.groupName(s.gid);
            f.owner = lookups.userName(s.uid);
            f.groupMayUse = s.gid != 0 && (s.mode & 060) == 060;
        } else {
            f.problem = Problem::Busy;
            const QList<qint64> holders = lookups.openedBy(f.resolved);
            if (!holders.isEmpty())
                f.holder = lookups.process(holders.first());
        }
    }
    const bool acm = QFileInfo(device).fileName().startsWith(QLatin1String("ttyACM"))
                     || QFileInfo(f.resolved).fileName().startsWith(QLatin1String("ttyACM"));
    // Our own window holding it leaves nothing for ModemManager to explain.
    if (acm && f.problem != Problem::Forbidden && !(f.holder && f.holder->ours))
        f.modemManager = (f.holder && f.holder->name == QLatin1String("ModemManager"))
                         || lookups.modemManagerRunning();
    return f;
}

QString informativeReason(const QString &systemText)
{
    const QString t = systemText.trimmed();
    static const char *const empty[] = {"Unknown error", "Success", "No error",
                                        "Inappropriate ioctl for device", "Resource temporarily unavailable"};
    for (const char *e : empty) {
        if (t.startsWith(QLatin1String(e), Qt::CaseInsensitive))
            return {};
    }
    return t;
}

} // namespace PortDiagnosis
