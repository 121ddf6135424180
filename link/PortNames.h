#pragma once

#include <QString>
#include <QStringList>

/// The device that COM port n stands for: $QUILLAN_COMn when set, otherwise
/// the platform's usual name (/dev/ttyS<n-1> on Linux, COMn on Windows).
QString deviceForComPort(int number);

/// The serial devices the system reports, for a message when a port fails.
QStringList availableSerialDevices();

/// "COM1 (/dev/ttyS0)": how messages name a port.
QString describeComPort(int number);
