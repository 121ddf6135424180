#pragma once

#include <QString>

// A failed platform call: the error number the program reasons about and the
// system's own reason, for the message a user reads. Number 0 means success.
struct Error
{
    int number = 0;
    QString description;

    bool ok() const { return number == 0; }
    explicit operator bool() const { return number != 0; }
};

namespace ErrorNumber {
// Numbers kept from the serial control and common dialog the program's
// behaviour was designed around, so the procedures can test them as designed.
inline constexpr int InvalidPropertyValue = 380;
inline constexpr int FileNotFound = 53;
inline constexpr int PermissionDenied = 70;
inline constexpr int DeviceIo = 57;
inline constexpr int DiskFull = 61;
inline constexpr int FileAlreadyOpen = 55;
inline constexpr int BadFileMode = 54;
inline constexpr int PathNotFound = 76;
inline constexpr int InvalidPortNumber = 8002;
inline constexpr int PortAlreadyOpen = 8005;
inline constexpr int HardwareNotAvailable = 8010;
inline constexpr int PortNotOpen = 8012;
inline constexpr int DialogCancelled = 32755;
}
