#pragma once

#include "platform/Error.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

// Why a serial port could not be opened, found out from the system after the
// fact: Qt reports a port held by another program and a port the user may not
// use with the same error, and says nothing about who holds it. Qt Core only.
namespace PortDiagnosis {

enum class Problem {
    Missing,   // no such device
    NotSerial, // exists, but is a file, a folder, a device that is no terminal, or /dev/tty or a console
    Busy,      // another program (or window) holds it
    Forbidden, // the device's owner, group and mode keep this user out
    Other,
};

struct Process
{
    qint64 pid = 0;
    QString name;        // /proc/PID/comm
    QString commandLine; // /proc/PID/cmdline, arguments joined by spaces
    bool ours = false;   // this very process: another window of the program, or another port of quillan-cli
};

struct Findings
{
    Problem problem = Problem::Other;
    QString device;              // as the port names it
    QString resolved;            // the device node it leads to
    QString notSerialKind;       // NotSerial: "a regular file", "a folder", "the system console", ...
    QString group;               // Forbidden: the group owning the device
    QString owner;               // Forbidden: the user owning the device
    bool groupMayUse = false;    // Forbidden: the device's mode lets its group read and write
    std::optional<Process> holder; // Busy: who has it, when that could be found
    bool modemManager = false;   // a ttyACM device while ModemManager runs
};

struct FileStatus
{
    enum Kind { Missing, Folder, Regular, CharDevice, OtherKind };
    Kind kind = Missing;
    unsigned mode = 0; // permission bits
    unsigned uid = 0;
    unsigned gid = 0;
    unsigned major = 0;
    unsigned minor = 0;
};

// The platform look-ups a diagnosis makes, one function each, so that tests
// can put in what a real machine cannot be made to show (a user who is not
// root, ModemManager running).
struct Lookups
{
    std::function<FileStatus(const QString &path)> status;           // follows links
    std::function<bool(const FileStatus &)> isTerminal;               // a tty of any kind
    std::function<unsigned()> userId;                                 // effective uid
    std::function<QList<unsigned>()> userGroups;                      // effective gid and supplementary groups
    std::function<QString(unsigned gid)> groupName;
    std::function<QString(unsigned uid)> userName;
    std::function<qint64(const QStringList &lockFileNames)> lockHolder; // live PID in a lock file, or 0
    std::function<qint64(const QString &node)> deviceLockHolder;     // PID with a lock on the device itself, or 0
    std::function<QList<qint64>(const QString &node)> openedBy;      // other processes with node open
    std::function<std::optional<Process>(qint64 pid)> process;
    std::function<bool()> modemManagerRunning;

    /// This machine.
    static Lookups local();
};

/// The lock file names ("LCK..pts_3") programs use for device: Qt's, from the
/// name as given, and the uucp-style one of the device node it leads to.
QStringList lockFileNames(const QString &device, const QString &resolved);

/// Whether a user with uid and groups may read and write a file with status s.
bool mayReadWrite(const FileStatus &s, unsigned uid, const QList<unsigned> &groups);

/// Why opening device failed with errorKind (as SerialPort::open() says).
Findings diagnose(const QString &device, Error::Kind errorKind, const Lookups &lookups = Lookups::local());

/// The system's reason for a failure, or empty where it tells a user nothing
/// ("Unknown error", the stale errno of a hang-up).
QString informativeReason(const QString &systemText);

} // namespace PortDiagnosis
