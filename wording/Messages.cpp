#include "wording/Messages.h"

#include "transfer/Protocol.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("Messages", text);
}

// Windows' texts for its errors end with a period of their own, where the
// sentences below put theirs.
QString reason(const QString &description)
{
    return description.endsWith(QLatin1Char('.')) ? description.chopped(1) : description;
}

// The ports the system lists, one a line, and how to make one of them COMn.
QString devicesAndAssignment(const PortTarget &target, const QList<SerialPortListing> &ports)
{
    if (ports.isEmpty())
        return tr("No serial devices were found on this computer: plug the adapter in and try again.");
    QString text = tr("Serial devices found on this computer:");
    for (const SerialPortListing &p : ports) {
        QStringList about;
        if (!p.description.isEmpty())
            about.append(p.description);
        if (!p.manufacturer.isEmpty() && p.manufacturer != p.description)
            about.append(p.manufacturer);
        text += QLatin1String("\n    ") + p.device;
        if (!about.isEmpty())
            text += QLatin1String(" - ") + about.join(QLatin1String(", "));
    }
    const QString first = ports.first().device;
    if (target.number > 0)
        text += QLatin1String("\n\n")
                + tr("To use %1 as %2 from now on:\n    quillan-cli ports --assign %2 %1").arg(first, comName(target.number));
    else
        text += QLatin1String("\n\n") + tr("Name one of them instead.");
    return text;
}

QString holderText(const PortDiagnosis::Findings &f, const QString &heldHere)
{
    if (!f.holder)
        return tr("%1 is in use by another program. Close the program that uses it and try again.").arg(f.device);
    const PortDiagnosis::Process &p = *f.holder;
    if (p.ours) {
        QString said = heldHere.isEmpty() ? tr("%1 is held by another transfer of this program.") : heldHere;
        return said.replace(QLatin1String("%1"), f.device)
            .replace(QLatin1String("%2"), f.resolved.isEmpty() ? f.device : f.resolved);
    }
    const QString who = p.name.isEmpty() ? tr("process %1").arg(p.pid)
                        : p.commandLine.isEmpty()
                            ? tr("%1 (process %2)").arg(p.name).arg(p.pid)
                            : tr("%1 (process %2: %3)").arg(p.name).arg(p.pid).arg(p.commandLine);
    return tr("%1 is in use by %2. Close that program and try again.").arg(f.device, who);
}

QString modemManagerText(const PortDiagnosis::Findings &f, const QList<SerialPortListing> &ports)
{
    QString vendor = QStringLiteral("xxxx"), product = QStringLiteral("xxxx");
    const QString node = f.resolved.isEmpty() ? f.device : f.resolved;
    for (const SerialPortListing &p : ports) {
        if ((p.device == node || p.device == f.device) && p.vidPid.size() == 9) {
            vendor = p.vidPid.left(4);
            product = p.vidPid.mid(5);
        }
    }
    return tr("ModemManager is running and may be probing %1, taking it for a modem. To make it leave the "
              "device alone, put this line in /etc/udev/rules.d/99-quillan.rules and unplug the device and "
              "plug it in again:\n"
              "    ATTRS{idVendor}==\"%2\", ATTRS{idProduct}==\"%3\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"
              "or stop ModemManager:\n    sudo systemctl stop ModemManager")
        .arg(f.device, vendor, product);
}

QString forbiddenText(const PortDiagnosis::Findings &f)
{
    if (f.groupMayUse)
        return tr("Your user may not use %1: it belongs to the group %2. Join that group with\n"
                  "    sudo adduser $USER %2\n"
                  "then log out and log in again (the new group counts only in a new login).")
            .arg(f.device, f.group);
    return tr("Your user may not use %1: only %2 may (group %3). Ask the administrator to give the device "
              "to a group you can join, for example with a udev rule that sets GROUP=\"dialout\", "
              "MODE=\"0660\".")
        .arg(f.device, f.owner, f.group);
}
}

QString Messages::ending(const Outcome &o, const QString &heldHere)
{
    const bool upload = o.direction == Outcome::Direction::Upload;
    const QString moved = upload ? tr("Records saved in \"%1\": %2.").arg(o.path).arg(o.count)
                                 : tr("Lines of \"%1\" the terminal acknowledged: %2.").arg(o.path).arg(o.count);
    const QString twoLines = QStringLiteral("\n\n");
    const QString what = o.asked.isEmpty() ? tr("The terminal sent \"%1\" unasked.").arg(quotedReply(o.reply))
                                           : tr("The terminal answered \"%1\" with \"%2\".")
                                                 .arg(QString::fromLatin1(o.asked), quotedReply(o.reply));
    const QString stopped = upload ? tr("It was not saved and not answered, and the transfer was stopped.")
                                   : tr("The transfer was stopped.");
    switch (o.reason) {
    case Outcome::Reason::UnexpectedReply:
        return what + QLatin1Char(' ')
               + tr("That is not an answer the transfer understands: it was not saved and not answered, and the "
                    "transfer was stopped.")
               + twoLines + moved;
    case Outcome::Reason::Echo:
        return tr("The terminal sent back what the PC had just sent (\"%1\"): echo is turned on in the terminal, a "
                  "loopback plug is on the port, or the cable joins the PC's send line to its own receive line.")
                   .arg(quotedReply(o.reply))
               + QLatin1Char(' ') + stopped + twoLines + moved;
    case Outcome::Reason::EmptyReply:
        return tr("The terminal answered \"READ\" with an empty reply (a CR alone), and more bytes came right after "
                  "it (\"%1\"): noise on the line or a cradle powering up, not the terminal's empty record. Nothing was "
                  "saved or answered, and the transfer was stopped.")
                   .arg(quotedReply(o.reply))
               + twoLines + moved;
    case Outcome::Reason::EndlessReply:
        return tr("More than %1 MiB came from the terminal without a CR to end a reply (it began \"%2\"): the "
                  "baud rate may be wrong, or the device on the port is not the terminal.")
                   .arg(Protocol::MaxReplyBytes / (1024 * 1024))
                   .arg(quotedReply(o.reply))
               + QLatin1Char(' ') + stopped + twoLines + moved;
    case Outcome::Reason::CutShort:
        return tr("The transfer was stopped at once while a line was leaving: the terminal may hold part of that "
                  "line.")
               + twoLines + moved;
    case Outcome::Reason::FileChanged:
        return tr("\"%1\" changed while it was being sent. The terminal holds %2 of its lines, and perhaps part of "
                  "the next; \"OVER\" was not sent. Send the file again.")
            .arg(o.path)
            .arg(o.count);
    case Outcome::Reason::Stalled:
        return tr("The terminal stopped taking data: nothing could be sent to it for %1 s.")
                   .arg(QString::number(o.waitedMs / 1000.0, 'g', 6))
               + twoLines + moved;
    case Outcome::Reason::OpenFile:
        return cannotOpenFile(o.path, o.error, upload);
    case Outcome::Reason::SaveRecord:
        return tr("Record %1 could not be saved in \"%2\": %3.").arg(o.count + 1).arg(o.path, o.error.description)
               + twoLines
               + tr("The transfer was stopped. The terminal keeps this record and the ones after it; "
                    "records saved before it: %1.")
                     .arg(o.count);
    case Outcome::Reason::ReadLine:
        return tr("Cannot read \"%1\": %2.").arg(o.path, o.error.description);
    case Outcome::Reason::None:
        break;
    }
    if (o.kind == Outcome::Kind::Lost)
        return connectionLost(o.error) + twoLines + moved;
    if (o.kind == Outcome::Kind::PortError) {
        if (o.diagnosis)
            return cannotOpenPort(o.port, o.error, o.diagnosis->findings, o.diagnosis->ports, heldHere);
        if (o.error.kind == Error::Kind::NotPermitted || o.error.kind == Error::Kind::NoDescriptors)
            return cannotOpenPort(o.port, o.error, {}, {}, heldHere); // the error says all there is
        // Nothing looked at: the same failure as before, said before.
        return tr("Cannot open %1: %2.").arg(o.port.describe(), reason(o.error.description));
    }
    return {};
}

QString Messages::cannotOpenFile(const QString &path, const Error &error, bool forWriting)
{
    return (forWriting ? tr("Cannot open \"%1\" for writing: %2.") : tr("Cannot open \"%1\" for reading: %2."))
        .arg(path, reason(error.description));
}

QString Messages::cannotOpenPort(const PortTarget &target, const Error &error,
                                 const PortDiagnosis::Findings &f, const QList<SerialPortListing> &ports,
                                 const QString &heldHere)
{
    using PortDiagnosis::Problem;
    QString text = tr("Cannot open %1: %2.").arg(target.describe(), reason(error.description)) + QLatin1String("\n\n");
    if (error.kind == Error::Kind::NotPermitted)
        return text + tr("The system forbids this program the device, whatever its owner, group and mode allow: a "
                         "service's sandbox (DeviceAllow= in its unit) or a security policy keeps it out.");
    if (error.kind == Error::Kind::NoDescriptors)
        return text + tr("This program has as many files open as it may (ulimit -n, LimitNOFILE= in a service's "
                         "unit): raise the limit, or watch fewer ports.");
    switch (f.problem) {
    case Problem::Missing:
        text += (target.number > 0
                     ? tr("%1 does not exist: the adapter may be unplugged, or %2 should be another device.")
                           .arg(f.device, comName(target.number))
                     : tr("%1 does not exist: the adapter may be unplugged.").arg(f.device))
                + QLatin1String("\n\n") + devicesAndAssignment(target, ports);
        break;
    case Problem::NotSerial:
        text += tr("%1 is not a serial port: it is %2.").arg(f.device, f.notSerialKind) + QLatin1String("\n\n")
                + devicesAndAssignment(target, ports);
        break;
    case Problem::Busy:
        text += holderText(f, heldHere);
        break;
    case Problem::Forbidden:
        text += forbiddenText(f);
        break;
    case Problem::Other:
        text += devicesAndAssignment(target, ports);
        break;
    }
    if (f.modemManager)
        text += QLatin1String("\n\n") + modemManagerText(f, ports);
    return text;
}

QString Messages::connectionLost(const Error &error)
{
    const QString reason = PortDiagnosis::informativeReason(error.description);
    const QString text = tr("The connection to the terminal was lost: the device stopped answering or was unplugged");
    return reason.isEmpty() ? text + QLatin1Char('.') : tr("%1 (%2).").arg(text, reason);
}

QString Messages::quotedReply(const QByteArray &reply)
{
    constexpr qsizetype Shown = 40;
    QString text = escapedBytes(reply.left(Shown));
    if (reply.size() > Shown)
        text += tr("... (%1 bytes)").arg(reply.size());
    return text;
}

QString Messages::oneLine(const QString &message)
{
    QStringList lines;
    for (const QString &line : message.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (const QString kept = line.trimmed(); !kept.isEmpty())
            lines.append(kept);
    }
    return lines.join(QLatin1Char(' '));
}

QString Messages::unendedReply(const QByteArray &bytes)
{
    // A line feed that came last is most likely a terminal that ends its
    // replies with CR LF.
    if (bytes.contains('\n'))
        return tr("a terminal that ends its replies with CR LF never completes one (the line feed comes last): set "
                  "it to end them with CR alone");
    return tr("the baud rate may be wrong, or the device on the port is not the terminal, or the terminal stopped "
              "in mid-reply");
}

QString Messages::escapedBytes(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '\r')
            text += QLatin1String("\\r");
        else if (c == '\n')
            text += QLatin1String("\\n");
        else if (c == '\\' || c == '"')
            text += QLatin1String(c == '"' ? "\\\"" : "\\\\");
        else if (c >= 0x20 && c < 0x7F)
            text += QLatin1Char(char(c));
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return text;
}
