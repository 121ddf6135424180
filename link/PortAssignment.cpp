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
#ifdef Q_OS_WIN
    // Qt takes "COM11" and "\\.\COM11" alike; compare the short name.
    QString name = path.toUpper();
    if (name.startsWith(QLatin1String("\\\\.\\")))
        name = name.mid(4);
    return name;
#else
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
#endif
}

// What the user typed, as the device to store: "ttyUSB0" is /dev/ttyUSB0 when
// that exists; Windows names lose the "\\.\" prefix Qt adds itself.
QString normalized(const QString &device)
{
#ifdef Q_OS_WIN
    return device.startsWith(QLatin1String("\\\\.\\")) ? device.mid(4) : device;
#else
    if (!device.contains(QLatin1Char('/'))) {
        const QString inDev = QLatin1String("/dev/") + device;
        if (QFileInfo::exists(inDev))
            return inDev;
    }
    return device;
#endif
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
    return stablePath(device, QStringLiteral("/dev/serial/by-id"));
#else
    return device;
#endif
}

QString stablePath(const QString &device, const QString &folder)
{
    const QDir byId(folder);
    const QString target = canonical(device);
    const auto entries = byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (entry.canonicalFilePath() == target)
            return entry.absoluteFilePath();
    }
    return device;
}

Error assign(int number, const QString &device, QString *stored)
{
    if (number < 1 || number > 255)
        return {ErrorNumber::InvalidPortNumber, QStringLiteral("Invalid port number %1").arg(number)};
    if (device.isEmpty())
        return {ErrorNumber::InvalidPropertyValue, QStringLiteral("No device given")};
    const QString value = stablePath(normalized(device));
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
    // Every assignment, read once: COM number by the device it leads to.
    QList<QPair<int, QString>> assignments;
    {
        QSettings s = settings();
        const QStringList keys = s.childKeys();
        for (const QString &k : keys) {
            bool ok = false;
            const int n = k.startsWith(QLatin1String("COM")) ? k.mid(3).toInt(&ok) : 0;
            if (ok && n >= 1 && n <= 255)
                assignments.append({n, canonical(s.value(k).toString())});
        }
        std::sort(assignments.begin(), assignments.end());
    }

    QList<SerialPortListing> list;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        SerialPortListing p;
#ifdef Q_OS_WIN
        p.device = info.portName(); // "COM11", the name a user types
#else
        p.device = info.systemLocation();
#endif
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
        const QString node = canonical(p.device);
        for (const auto &[n, device] : assignments) {
            if (device == node)
                p.assignedAs.append(n);
        }
        list.append(p);
    }
    std::sort(list.begin(), list.end(),
              [](const SerialPortListing &a, const SerialPortListing &b) { return a.device < b.device; });
    return list;
}
