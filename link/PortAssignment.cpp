#include "link/PortAssignment.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSettings>

#include <algorithm>

namespace {
QSettings settings()
{
    return QSettings(QSettings::UserScope, QStringLiteral("quillan"), QStringLiteral("ports"));
}

QString key(int number)
{
    return QStringLiteral("COM%1").arg(number);
}

QString canonical(const QString &path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}
}

namespace PortAssignment {

QString assignedDevice(int number)
{
    return settings().value(key(number)).toString();
}

QString stablePath(const QString &device)
{
#ifdef Q_OS_LINUX
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    const QString target = canonical(device);
    const auto entries = byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (entry.canonicalFilePath() == target)
            return entry.absoluteFilePath();
    }
#endif
    return device;
}

Error assign(int number, const QString &device, QString *stored)
{
    if (number < 1 || number > 255)
        return {ErrorNumber::InvalidPortNumber, QStringLiteral("Invalid port number %1").arg(number)};
    if (device.isEmpty())
        return {ErrorNumber::InvalidPropertyValue, QStringLiteral("No device given")};
    const QString value = stablePath(device);
    QSettings s = settings();
    s.setValue(key(number), value);
    s.sync();
    if (s.status() != QSettings::NoError)
        return {ErrorNumber::PermissionDenied, QStringLiteral("cannot write %1").arg(s.fileName())};
    if (stored)
        *stored = value;
    return {};
}

Error clear(int number)
{
    QSettings s = settings();
    s.remove(key(number));
    s.sync();
    if (s.status() != QSettings::NoError)
        return {ErrorNumber::PermissionDenied, QStringLiteral("cannot write %1").arg(s.fileName())};
    return {};
}

} // namespace PortAssignment

QList<SerialPortListing> listSerialPorts()
{
    QList<SerialPortListing> list;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        SerialPortListing p;
        p.device = info.systemLocation();
        p.description = info.description();
        p.manufacturer = info.manufacturer();
        p.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            p.vidPid = QStringLiteral("%1:%2")
                           .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                           .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        const QString stable = PortAssignment::stablePath(p.device);
        if (stable != p.device)
            p.byIdPath = stable;
        for (int n = 1; n <= 255; ++n) {
            const QString assigned = PortAssignment::assignedDevice(n);
            if (!assigned.isEmpty() && canonical(assigned) == canonical(p.device))
                p.assignedAs.append(n);
        }
        list.append(p);
    }
    std::sort(list.begin(), list.end(),
              [](const SerialPortListing &a, const SerialPortListing &b) { return a.device < b.device; });
    return list;
}
