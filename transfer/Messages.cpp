#include "transfer/Messages.h"

#include "link/PortNames.h"

#include <QCoreApplication>

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("Messages", text);
}
}

QString Messages::cannotOpenFile(const QString &path, const Error &error, bool forWriting)
{
    return (forWriting ? tr("Cannot open \"%1\" for writing: %2.") : tr("Cannot open \"%1\" for reading: %2."))
        .arg(path, error.description);
}

QString Messages::cannotOpenPort(const PortTarget &target, const Error &error)
{
    QString text = tr("Cannot open %1: %2.").arg(target.describe(), error.description);
    const QStringList devices = availableSerialDevices();
    text += QLatin1String("\n\n");
    text += devices.isEmpty() ? tr("No serial devices were found on this computer.")
                              : tr("Serial devices found: %1.").arg(devices.join(QLatin1String(", ")));
    if (error.number == ErrorNumber::PermissionDenied)
        text += QLatin1String("\n\n")
                + tr("If the port is not in use by another program, your user may need to be in the "
                     "group that owns serial ports (dialout on Debian and Ubuntu); log in again after "
                     "adding it.");
    return text;
}

QString Messages::connectionLost(const Error &error)
{
    return tr("The connection to the terminal was lost: %1.").arg(error.description);
}
