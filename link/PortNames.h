#pragma once

#include <QString>

/// "COM3": how COM port n is written.
QString comName(int number);
/// QUILLAN_COMn: the variable that makes COM port n mean another device for one run.
QByteArray comVariable(int number);

/// The device that COM port n stands for: $QUILLAN_COMn when set, else the
/// device the user assigned to it (PortAssignment), else the platform's usual
/// name (/dev/ttyS<n-1> on Linux, COMn on Windows).
QString deviceForComPort(int number);

/// The device a port name finally leads to, for telling two names of one
/// device apart: links followed and the path made absolute on Linux (the name
/// cleaned and made absolute when it leads nowhere); on Windows the short
/// name in capitals ("\\.\com11" is COM11).
QString deviceNode(const QString &device);

// The port a transfer opens: a COM port number and the device it means, or a
// device named directly (number 0).
struct PortTarget
{
    int number = 0;
    QString device;

    /// COM port n, mapped to its device now.
    static PortTarget com(int n) { return {n, deviceForComPort(n)}; }
    /// "COM1 (/dev/ttyS0)", or the device alone: how messages name the port.
    QString describe() const;
    friend bool operator==(const PortTarget &, const PortTarget &) = default;
};
