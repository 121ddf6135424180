#include "link/PortNames.h"

#include "link/PortAssignment.h"

#include <QSerialPortInfo>

QString deviceForComPort(int number)
{
    const QByteArray variable = "QUILLAN_COM" + QByteArray::number(number);
    const QString configured = qEnvironmentVariable(variable.constData());
    if (!configured.isEmpty())
        return configured;
    const QString assigned = PortAssignment::assignedDevice(number);
    if (!assigned.isEmpty())
        return assigned;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

QString PortTarget::describe() const
{
    if (number <= 0)
        return device;
    return QStringLiteral("COM%1 (%2)").arg(number).arg(device);
}
