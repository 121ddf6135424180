#include "link/PortAssignment.h"

#include "link/PortDiagnosis.h"
#include "link/PortNames.h"
#include "storage/SafePath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSettings>

#include <algorithm>

namespace {
QSettings settings()
{
    return QSettings(QSettings::UserScope, QStringLiteral("quillan"), QStringLiteral("ports"));
}

// ports.conf is read and written by name (QSettings, which writes a
// temporary file and renames it): used only where it and its folders are
// reached through links the system itself would follow, checked before
// QSettings reads it. Its place is found without reading it: a name nobody
// uses has its settings in the same folder.
Error reachableSettings()
{
#ifdef Q_OS_WIN
    return {}; // the registry
#else
    const QSettings probe(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillan-place-of-settings"));
    const QString file = QFileInfo(probe.fileName()).path() + QStringLiteral("/quillan/ports.conf");
    if (Error e = checkReachable(file))
        return {e.kind, QStringLiteral("%1 is not used: %2").arg(file, e.description)};
    return {};
#endif
}

// For reading: no assignment is taken from a file that is not to be used.
bool readable()
{
    const Error e = reachableSettings();
    if (e)
        qWarning("%s", qUtf8Printable(e.description));
    return !e;
}

QString canonical(const QString &path)
{
    return deviceNode(path);
}

// What the user typed, as the device to store: an absolute path, so that it
// means the same device from any folder (cron runs elsewhere); "ttyUSB0" is
// /dev/ttyUSB0 when that exists. Links are kept as named: a
// /dev/serial/by-id name outlives the ttyUSBn it leads to today. Windows
// names lose the "\\.\" prefix Qt adds itself.
QString normalized(const QString &device)
{
#ifdef Q_OS_WIN
    return device.startsWith(QLatin1String("\\\\.\\")) ? device.mid(4) : device;
#else
    if (!device.contains(QLatin1Char('/')) && !QFileInfo::exists(device)) {
        const QString inDev = QLatin1String("/dev/") + device;
        if (QFileInfo::exists(inDev))
            return inDev;
    }
    return QDir::cleanPath(QFileInfo(device).absoluteFilePath());
#endif
}

// The settings file, checked before it is changed: a place to keep it, and
// a file whose every line can be read (QSettings would drop the others).
Error writableSettings(QSettings &s)
{
#ifndef Q_OS_WIN
    if (qEnvironmentVariableIsEmpty("HOME") && qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        return {Error::Kind::NotFound,
                QStringLiteral("neither HOME nor XDG_CONFIG_HOME is set, so there is no place to keep it; "
                               "nothing was written")};
#endif
    s.childKeys(); // QSettings reads the file, and finds its faults, on first use
    if (s.status() == QSettings::FormatError) {
        QString where;
        QFile f(s.fileName());
        if (f.open(QIODevice::ReadOnly)) {
            // What an INI line may be: blank, a comment, [section] or key=value.
            static const QRegularExpression fine(QStringLiteral("^\\s*($|[;#]|\\[.*\\]\\s*$|[^=]+=)"));
            int number = 0;
            while (!f.atEnd()) {
                ++number;
                if (!fine.match(QString::fromUtf8(f.readLine())).hasMatch()) {
                    where = QStringLiteral(" (line %1)").arg(number);
                    break;
                }
            }
        }
        return {Error::Kind::BadFile,
                QStringLiteral("%1 has a line that is not COMn=DEVICE%2; nothing was written: correct or remove "
                               "that line")
                    .arg(s.fileName(), where)};
    }
    return {};
}

Error written(QSettings &s)
{
    s.sync();
    if (s.status() != QSettings::NoError)
        return {Error::Kind::PermissionDenied, QStringLiteral("cannot write %1").arg(s.fileName())};
    return {};
}
}

namespace PortAssignment {

QString assignedDevice(int number)
{
    if (!readable())
        return QString();
    return settings().value(comName(number)).toString();
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
        return {Error::Kind::NotFound, QStringLiteral("Invalid port number %1").arg(number)};
    if (device.isEmpty())
        return {Error::Kind::InvalidValue, QStringLiteral("No device given")};
    const QString path = normalized(device);
    // An unplugged adapter may be assigned ahead; what exists must be a serial port.
    const PortDiagnosis::Findings f = PortDiagnosis::diagnose(path, Error::Kind::None);
    if (f.problem == PortDiagnosis::Problem::NotSerial)
        return {Error::Kind::InvalidValue,
                QStringLiteral("%1 is not a serial port: it is %2").arg(path, f.notSerialKind)};
    const QString value = path.startsWith(QLatin1String("/dev/serial/by-id/")) ? path : stablePath(path);
    if (Error e = reachableSettings())
        return e;
    QSettings s = settings();
    if (Error e = writableSettings(s))
        return e;
    s.setValue(comName(number), value);
    if (Error e = written(s))
        return e;
    if (stored)
        *stored = value;
    return {};
}

QList<int> assignedNumbers()
{
    QList<int> numbers;
    if (!readable())
        return numbers;
    const QStringList keys = settings().childKeys();
    for (const QString &k : keys) {
        bool ok = false;
        const int n = k.startsWith(QLatin1String("COM")) ? k.mid(3).toInt(&ok) : 0;
        if (ok && n >= 1 && n <= 255 && !numbers.contains(n))
            numbers.append(n);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

Error clear(int number)
{
    if (Error e = reachableSettings())
        return e;
    QSettings s = settings();
    if (Error e = writableSettings(s))
        return e;
    s.remove(comName(number));
    return written(s);
}

} // namespace PortAssignment

QList<SerialPortListing> listSerialPorts()
{
    // Every assignment, read once: COM number by the device it leads to.
    QList<QPair<int, QString>> assignments;
    {
        const QList<int> numbers = PortAssignment::assignedNumbers();
        for (int n : numbers)
            assignments.append({n, canonical(PortAssignment::assignedDevice(n))});
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
