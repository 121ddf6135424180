#pragma once

#include <QString>

// A failed platform call: what kind of failure it was, for the program to
// reason about, and the system's own reason, for the message a user reads.
struct Error
{
    enum class Kind {
        None,
        NotFound,          // no such file, folder or device
        PermissionDenied,  // the system refused access (or Qt's "permission" for a busy port)
        NotPermitted,      // forbidden whatever the modes say: a service's sandbox, a security policy
        NoDescriptors,     // the process or the system has as many files open as it may
        Busy,              // another transfer or program holds it
        BadFile,           // not a file this can use: a folder, a FIFO, not open, an unfinished last line
        Changed,           // the file changed while it was being read
        Exists,            // a file stands where a new one was to be made
        DiskFull,
        Io,                // any other failure of a device, a file or the line
        InvalidValue,      // a value the call cannot take
        PortNotOpen,
        PortAlreadyOpen,
        Cancelled,         // the user cancelled a dialog
    };

    Kind kind = Kind::None;
    QString description;

    bool ok() const { return kind == Kind::None; }
    explicit operator bool() const { return kind != Kind::None; }
};
