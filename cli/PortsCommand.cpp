#include "cli/PortsCommand.h"

#include "cli/CliRequest.h"
#include "cli/ExitStatus.h"
#include "link/PortAssignment.h"
#include "link/PortNames.h"
#include "wording/Messages.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

namespace {

QStringList comNames(const QList<int> &numbers)
{
    QStringList names;
    for (int n : numbers)
        names.append(comName(n));
    return names;
}

// A name on one line of its own: one with a line break or another control
// character (a device is named by whoever made it) is shown escaped.
QString shown(const QString &name)
{
    const bool printable = std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.isPrint(); });
    return printable ? name : Messages::escapedBytes(name.toUtf8());
}

// What COM port n means now, and why, so the user sees an environment
// variable that hides the assignment.
QString meaning(int n)
{
    const QString device = deviceForComPort(n);
    QString why;
    if (!qEnvironmentVariableIsEmpty(comVariable(n).constData()))
        why = QStringLiteral("set by %1, which overrides any assignment").arg(QLatin1String(comVariable(n)));
    else if (!PortAssignment::assignedDevice(n).isEmpty())
        why = QStringLiteral("assigned");
    else
        why = QStringLiteral("default");
    return QStringLiteral("%1 = %2 (%3)").arg(comName(n), shown(device), why);
}

void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", qUtf8Printable(line));
}

int fail(const QString &line, int status)
{
    std::fprintf(stderr, "quillan-cli: %s\n", qUtf8Printable(line));
    return status;
}

} // namespace

int runPortsCommand(const CliRequest &r)
{
    const int n = r.assignNumber;
    if (n > 0 && r.clear) {
        if (Error e = PortAssignment::clear(n))
            return fail(QStringLiteral("%1: cannot clear the assignment: %2").arg(comName(n), e.description),
                        ExitStatus::File);
        out(meaning(n));
        return ExitStatus::Completed;
    }
    if (n > 0) {
        QString stored;
        if (Error e = PortAssignment::assign(n, r.assignDevice, &stored))
            return fail(QStringLiteral("%1: cannot assign %2: %3")
                            .arg(comName(n), shown(r.assignDevice), shown(e.description)),
                        e.kind == Error::Kind::InvalidValue ? ExitStatus::Usage : ExitStatus::File);
        // What was stored: a bare name became its /dev path.
        if (!QFileInfo::exists(stored))
            fail(QStringLiteral("warning: %1 does not exist now").arg(shown(stored)), 0);
        out(meaning(n));
        return ExitStatus::Completed;
    }

    const QList<SerialPortListing> ports = listSerialPorts();
    if (r.json) {
        QJsonArray array;
        for (const SerialPortListing &p : ports) {
            array.append(QJsonObject{
                {QStringLiteral("device"), p.device},
                {QStringLiteral("description"), p.description},
                {QStringLiteral("manufacturer"), p.manufacturer},
                {QStringLiteral("serialNumber"), p.serialNumber},
                {QStringLiteral("vidPid"), p.vidPid},
                {QStringLiteral("byId"), p.byIdPath},
                {QStringLiteral("assignedAs"), QJsonArray::fromStringList(comNames(p.assignedAs))},
            });
        }
        std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
        return ExitStatus::Completed;
    }
    if (ports.isEmpty())
        fail(QStringLiteral("no serial ports found"), 0);
    const auto field = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : shown(s); };
    for (const SerialPortListing &p : ports) {
        out(QStringList{shown(p.device), field(p.description), field(p.manufacturer), field(p.serialNumber),
                        field(p.vidPid), field(p.byIdPath), field(comNames(p.assignedAs).join(QLatin1Char(',')))}
                .join(QLatin1Char('\t')));
    }
    // What each COM port means: every one assigned or set in the
    // environment, and COM1 and COM2 (the windows' two) also by default.
    out(QString());
    out(QStringLiteral("COM ports (assigned, set by QUILLAN_COMn, or default):"));
    const QList<int> assigned = PortAssignment::assignedNumbers();
    for (int i = 1; i <= highestComPort(); ++i) {
        if (i <= 2 || assigned.contains(i) || !qEnvironmentVariableIsEmpty(comVariable(i).constData()))
            out(meaning(i));
    }
    return ExitStatus::Completed;
}
