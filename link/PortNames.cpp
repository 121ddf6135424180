#include "link/PortNames.h"

#include "link/PortAssignment.h"

#include <QFileInfo>

QString comName(int number)
{
    return QStringLiteral("COM%1").arg(number);
}

QByteArray comVariable(int number)
{
    return "QUILLAN_COM" + QByteArray::number(number);
}

QString deviceForComPort(int number)
{
    const QString configured = qEnvironmentVariable(comVariable(number).constData());
    if (!configured.isEmpty())
        return configured;
    const QString assigned = PortAssignment::assignedDevice(number);
    if (!assigned.isEmpty())
        return assigned;
#ifdef Q_OS_WIN
    return comName(number);
#else
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

QString PortTarget::describe() const
{
    if (number <= 0)
        return device;
    return QStringLiteral("%1 (%2)").arg(comName(number), device);
}

QString deviceNode(const QString &device)
{
#ifdef Q_OS_WIN
    // Qt takes "COM11" and "\\.\COM11" alike; compare the short name.
    QString name = device.toUpper();
    if (name.startsWith(QLatin1String("\\\\.\\")))
        name = name.mid(4);
    return name;
#else
    const QFileInfo info(device);
    const QString c = info.canonicalFilePath();
    return c.isEmpty() ? info.absoluteFilePath() : c;
#endif
}
