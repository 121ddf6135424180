#include "cli/OutcomeWords.h"

#include "cli/Reporter.h"
#include "wording/Messages.h"

namespace {
using Kind = Outcome::Kind;
using Reason = Outcome::Reason;

QString seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 6) + QStringLiteral(" s");
}

// Bytes from the terminal, escaped, the end kept when it is long.
QString escapedEnd(const QByteArray &bytes)
{
    constexpr qsizetype Shown = 40;
    return (bytes.size() > Shown ? QStringLiteral("...") : QString()) + Messages::escapedBytes(bytes.right(Shown));
}

// quillan-cli has no windows: what holds a port of this process is another -p of the same run.
QString heldHere()
{
    return QStringLiteral("%1 is held by another transfer of this same run: another -p names the same device (%2). "
                          "Give each device once.");
}

QString commandEnd(const Outcome &o, const OutcomeWords::Context &c)
{
    const bool upload = o.direction == Outcome::Direction::Upload;
    const QString done = upload ? plural(o.count, "record", "records") + QStringLiteral(" saved in \"%1\"").arg(c.shown)
                                : plural(o.count, "line", "lines") + QStringLiteral(" of \"%1\" sent").arg(c.shown);
    switch (o.kind) {
    case Kind::Completed: return QString();
    case Kind::Refused:
        return QStringLiteral("the terminal %1; %2")
            .arg(upload || o.reply == "NAK" ? QStringLiteral("refused with \"NAK\"")
                                            : QStringLiteral("gave a reply it should not"),
                 done);
    case Kind::TimedOut:
        if (!o.reply.isEmpty()) {
            return QStringLiteral("bytes arrived (\"%1\") but no reply ended with CR, and nothing more came for %2; "
                                  "%3; %4")
                .arg(escapedEnd(o.reply), seconds(c.timeoutMs), Messages::unendedReply(o.reply), done);
        }
        return QStringLiteral("no reply: nothing came from the terminal for %1; %2").arg(seconds(c.timeoutMs), done);
    case Kind::Stopped: return QStringLiteral("interrupted; %1").arg(done);
    default: return QString();
    }
}

QString collectEnd(const Outcome &o, const OutcomeWords::Context &c)
{
    const QString records = plural(o.count, "record", "records");
    switch (o.kind) {
    case Kind::Completed: return QString();
    case Kind::Refused:
        if (o.reason == Reason::None)
            return QStringLiteral("the terminal refused with \"NAK\"");
        return QString();
    case Kind::TimedOut: return QStringLiteral("no answer any more; %1 saved in %2.").arg(records, c.shown);
    case Kind::Stopped: return QStringLiteral("stopped; %1 saved in %2.").arg(records, c.shown);
    default: return QString();
    }
}
}

QString OutcomeWords::ended(const Outcome &o, const Context &c)
{
    // The program's own words where it says more than the designed ends do.
    const bool own = o.kind == Kind::Lost || o.kind == Kind::PortError || o.kind == Kind::FileError
                     || (o.reason != Reason::None && (!c.collect || o.kind == Kind::Refused));
    if (!own)
        return c.collect ? collectEnd(o, c) : commandEnd(o, c);
    // A file refused before the transfer started is said in the error itself.
    QString message = o.reason == Reason::None && o.kind == Kind::FileError
                          ? o.error.description
                          : Messages::ending(o, c.collect ? QString() : heldHere());
    if (!c.copy.isEmpty()) // the copy of a stream is nothing the user named
        message.replace(QLatin1Char('"') + c.copy + QLatin1Char('"'), c.shown);
    return Messages::oneLine(message);
}

QString OutcomeWords::noise(const QByteArray &bytes)
{
    return QStringLiteral("bytes came (\"%1\") but no reply ended with CR: %2")
        .arg(Messages::quotedReply(bytes), Messages::unendedReply(bytes));
}

QString OutcomeWords::unconfirmed(qint64 record)
{
    return QStringLiteral("Record %1 is in the file, but its \"REMOVE\" was not answered: the terminal may send it "
                          "again at its next docking.")
        .arg(record);
}
