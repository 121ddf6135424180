#include "cli/CliRequest.h"

#ifdef QUILLAN_HAVE_STORE
#include "storage/RecordStore.h"
#endif

#include <QCommandLineParser>
#include <QDate>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

QString PortChoice::shortName() const
{
    const QString name = QFileInfo(given).fileName();
    return name.isEmpty() ? given : name;
}

QString CliRequest::fileFor(const PortChoice &port) const
{
    QString f = file;
    return store.destination.isEmpty() ? f.replace(QStringLiteral("{port}"), port.shortName()) : f;
}

CliRequest::Store CliRequest::storeFor(const PortChoice &port) const
{
    Store s = store;
    s.port = port.given;
    return s;
}

bool namesDatabase(const QString &file)
{
    return file.startsWith(QLatin1String("sqlite:")) || file.startsWith(QLatin1String("postgresql://"))
           || file.startsWith(QLatin1String("postgres://"));
}

QString shownDestination(const QString &file)
{
#ifdef QUILLAN_HAVE_STORE
    if (namesDatabase(file))
        return RecordStore::redacted(file);
#endif
    return file;
}

QString withDate(QString file, const QDate &date)
{
    return file.replace(QStringLiteral("{date}"), date.toString(Qt::ISODate));
}

int comNumber(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const auto m = re.match(text);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

int highestComPort()
{
    // A multi-port card or a rack of cradles numbers its lines past COM2 on
    // every platform; the windows still offer COM1 and COM2 only.
    return 255;
}

bool resolvePort(const QString &given, PortChoice &out, QString &error)
{
    out.given = given;
    if (given.isEmpty()) {
        error = QStringLiteral("an empty port name");
        return false;
    }
    if (const int n = comNumber(given)) {
        if (n > highestComPort()) {
            error = QStringLiteral("%1: COM ports are numbered COM1 to COM%2").arg(given).arg(highestComPort());
            return false;
        }
        out.target = PortTarget::com(n);
    } else {
        out.target = PortTarget{0, given};
    }
    out.node = deviceNode(out.target.device);
    return true;
}

QString helpText()
{
    const auto seconds = [](int ms) { return QString::number(ms / 1000.0); };
    return QStringLiteral(
        "Usage:\n"
        "  quillan-cli upload   [-p PORT]... [-t SECONDS] [--force | --append] [--log FILE] [-q] [--] FILE\n"
        "  quillan-cli download [-p PORT] [-t SECONDS] [--log FILE] [-q] [--] FILE\n"
        "  quillan-cli collect  [-p PORT]... [--interval SECONDS] [--rest SECONDS] [-t SECONDS] [--log FILE] [-q]\n"
        "                       [--] FILE\n"
        "  quillan-cli ports [--json] [--assign COMn DEVICE | --assign COMn --clear]\n"
        "  quillan-cli --help | --version\n"
        "\n"
        "upload    fetch the terminal's records into FILE, one line each; a record is on disk\n"
        "          before the terminal is told to delete it. An existing FILE is refused unless\n"
        "          --force (the old one is kept as FILE.bak) or --append. Several -p run at once;\n"
        "          FILE must then contain {port}, replaced by each port's name. FILE may be a\n"
        "          database: sqlite:PATH (an SQLite file, made if missing) or postgresql://...\n"
        "          (a libpq URI, as psql takes it; keep the password in ~/.pgpass), one row a\n"
        "          record, each committed before the terminal is told to delete it.\n"
        "download  send FILE to the terminal, one line for each acknowledgement. FILE \"-\" is\n"
        "          standard input; a pipe (process substitution) is read too. A line ends at\n"
        "          CR LF or CR, an LF alone being part of it; a file with more lone-LF line breaks\n"
        "          than CR endings has its lines ended by LF, CR LF and CR alike.\n"
        "collect   watch every port and fetch the records of each terminal docked there into FILE\n"
        "          as upload --append does. An idle port is asked \"READ\" every --interval seconds;\n"
        "          no reply within -t means no terminal is docked, and nothing is written. A\n"
        "          terminal with nothing to give is asked again after --rest seconds. FILE may hold\n"
        "          {port} and {date} (YYYY-MM-DD, the day the docking began; in the name, not the\n"
        "          folder). A port whose device\n"
        "          is gone is waited for. Runs until SIGTERM or SIGINT (exit 0); SIGHUP reopens the\n"
        "          --log file.\n"
        "ports     list the serial ports and what each COM port means; --assign makes COMn\n"
        "          (COM1 to COM255) mean DEVICE from now on, stored as an absolute path (a\n"
        "          /dev/serial/by-id name as given); --clear gives COMn its default back.\n"
        "\n"
        "Options:\n"
        "  -p, --port PORT      %1 (default) to COM255, or a device such as /dev/ttyUSB0;\n"
        "                       each device once, under whatever name\n"
        "  -t, --timeout S      longest time without any byte from the terminal while a reply is\n"
        "                       awaited, or without any byte leaving for it, in seconds (default %2;\n"
        "                       0: no limit); a long reply still arriving is waited for\n"
        "  --interval S         collect: seconds between two polls of an idle port (default %3)\n"
        "  --rest S             collect: seconds before a terminal that had nothing to give is\n"
        "                       asked again (default %4)\n"
        "  --force              replace an existing FILE, keeping it as FILE.bak\n"
        "  --append             add the records to an existing FILE\n"
        "  --table NAME         upload, collect into a database: the table (default records;\n"
        "                       SCHEMA.NAME allowed), made when missing, never altered\n"
        "  --station NAME       upload, collect into a database: the station each row names\n"
        "                       (default: this computer's name)\n"
        "  --log FILE           append one JSON line per transfer (collect: per docking and event)\n"
        "                       to FILE\n"
        "  -q, --quiet          no progress and no summary; errors only\n"
        "  --json               ports: as a JSON array\n"
        "  --                   ends the options: a FILE whose name begins with \"-\" goes after it\n"
        "\n"
        "A reply is a record only as the answer to \"READ\": the PC's own message coming back\n"
        "(echo, a loopback plug), a CR alone with bytes right after it (noise) or one that\n"
        "answers nothing asked ends the transfer, and so does a reply of more than 16 MiB\n"
        "without a CR (a wrong baud rate, or another device): nothing saved, nothing answered,\n"
        "exit 5. A CR alone followed by 200 ms of quiet is the terminal's empty record.\n"
        "\n"
        "Exit status: 0 completed, 2 usage, 3 file (also a log line not written), 4 port,\n"
        "5 refused by the terminal, 6 time-out, 7 line lost, 129 hung up (SIGHUP),\n"
        "130 interrupted (SIGINT, SIGTERM; collect: 0). With several ports, that of the first\n"
        "port given that failed.\n"
        "\n"
        "Examples:\n"
        "  quillan-cli upload -p /dev/ttyUSB0 records.txt\n"
        "  quillan-cli upload --append --log transfers.jsonl records.txt\n"
        "  quillan-cli upload -p /dev/ttyUSB0 -p /dev/ttyUSB1 -t 10 shelf-{port}.txt\n"
        "  quillan-cli download -p COM2 prices.txt\n"
        "  sort prices.txt | quillan-cli download -p COM3 -\n"
        "  quillan-cli collect -p COM1 -p COM2 --log collect.jsonl 'records-{port}-{date}.txt'\n"
        "  quillan-cli ports --assign COM3 /dev/ttyUSB2\n")
        .arg(QLatin1String(CliRequest::DefaultPort), seconds(CliRequest::DefaultTimeoutMs),
             seconds(CliRequest::DefaultIntervalMs), seconds(CliRequest::DefaultRestMs));
}

namespace {

const QCommandLineOption portOption({QStringLiteral("p"), QStringLiteral("port")}, QString(), QStringLiteral("PORT"));
const QCommandLineOption timeoutOption({QStringLiteral("t"), QStringLiteral("timeout")}, QString(),
                                       QStringLiteral("SECONDS"));
const QCommandLineOption intervalOption(QStringLiteral("interval"), QString(), QStringLiteral("SECONDS"));
const QCommandLineOption restOption(QStringLiteral("rest"), QString(), QStringLiteral("SECONDS"));
const QCommandLineOption forceOption(QStringLiteral("force"));
const QCommandLineOption appendOption(QStringLiteral("append"));
const QCommandLineOption tableOption(QStringLiteral("table"), QString(), QStringLiteral("NAME"));
const QCommandLineOption stationOption(QStringLiteral("station"), QString(), QStringLiteral("NAME"));
const QCommandLineOption logOption(QStringLiteral("log"), QString(), QStringLiteral("FILE"));
const QCommandLineOption quietOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")});
const QCommandLineOption jsonOption(QStringLiteral("json"));
const QCommandLineOption assignOption(QStringLiteral("assign"), QString(), QStringLiteral("COMn"));
const QCommandLineOption clearOption(QStringLiteral("clear"));
const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});

// A time-out past about 24 days is not a time-out anyone means.
constexpr double LongestSeconds = 2'000'000;

ParsedCommandLine usage(const QString &error)
{
    return {{}, error};
}

// Seconds as given to an option; empty when they are fine, else why not.
QString parseSeconds(const QCommandLineParser &p, const QCommandLineOption &option, bool zeroAllowed, int &ms)
{
    if (!p.isSet(option))
        return {};
    const QString text = p.value(option);
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (ok && std::isfinite(seconds) && seconds >= 0 && seconds <= LongestSeconds && (zeroAllowed || seconds > 0)) {
        ms = seconds == 0 ? 0 : std::max(1, int(std::lround(seconds * 1000)));
        return {};
    }
    return QStringLiteral("--%1 takes seconds from %2 to %3, not \"%4\"")
        .arg(option.names().constLast(), zeroAllowed ? QStringLiteral("0") : QStringLiteral("0.001"))
        .arg(LongestSeconds, 0, 'f', 0)
        .arg(text);
}

ParsedCommandLine parsePortsCommand(const QCommandLineParser &p, CliRequest r)
{
    const QStringList positional = p.positionalArguments();
    r.json = p.isSet(jsonOption);
    r.clear = p.isSet(clearOption);
    if (!p.isSet(assignOption)) {
        if (r.clear || !positional.isEmpty())
            return usage(QStringLiteral("ports: unexpected \"%1\"")
                             .arg(r.clear ? QStringLiteral("--clear") : positional.join(QLatin1Char(' '))));
        return {r, {}};
    }
    const QString com = p.value(assignOption);
    r.assignNumber = comNumber(com);
    if (r.assignNumber == 0 || r.assignNumber > highestComPort())
        return usage(QStringLiteral("--assign takes a COM port from COM1 to COM%1, not \"%2\"")
                         .arg(highestComPort())
                         .arg(com));
    if (r.clear == !positional.isEmpty() || positional.size() > 1)
        return usage(QStringLiteral("--assign %1 takes one DEVICE, or --clear").arg(com));
    if (!r.clear)
        r.assignDevice = positional.first();
    return {r, {}};
}

// FILE as a database: its kind checked, and what only a database or only a
// file takes refused for the other.
QString parseDestination(const QCommandLineParser &p, CliRequest &r)
{
    if (namesDatabase(r.file)) {
#ifdef QUILLAN_HAVE_STORE
        const RecordStore::Destination d = RecordStore::parse(r.file);
        if (d.kind == RecordStore::Kind::Invalid)
            return d.problem;
        r.store.destination = r.file;
#else
        return QStringLiteral("this quillan-cli cannot write into a database (\"%1\"); a file called so is "
                              "written ./%1")
            .arg(r.file.section(QLatin1Char(':'), 0, 0) + QLatin1Char(':'));
#endif
    }
    const bool database = !r.store.destination.isEmpty();
    if (!database && (p.isSet(tableOption) || p.isSet(stationOption)))
        return QStringLiteral("--table and --station are for a database as FILE (sqlite:PATH, postgresql://...)");
    // collect has no --force: asking the parser about it would warn on standard error.
    if (database && r.command == CliRequest::Command::Upload && p.isSet(forceOption))
        return QStringLiteral("--force replaces a file; records are added to a database table as they come");
    r.store.table = p.value(tableOption);
    r.store.station = p.value(stationOption);
    if (database && p.isSet(stationOption) && r.store.station.trimmed().isEmpty())
        return QStringLiteral("--station needs a NAME");
    return {};
}

// Every -p resolved to the device it finally names; two that meet on one
// device run two dialogues on one line, and two ports must not write one file.
QString parsePortChoices(const QCommandLineParser &p, CliRequest &r)
{
    QStringList given = p.values(portOption);
    if (given.isEmpty())
        given.append(QLatin1String(CliRequest::DefaultPort));
    if (r.command == CliRequest::Command::Download && given.size() > 1)
        return QStringLiteral("download takes one port");
    for (const QString &g : given) {
        PortChoice c;
        QString why;
        if (!resolvePort(g, c, why))
            return why;
        r.ports.append(c);
    }
    for (qsizetype i = 0; i < r.ports.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (r.ports.at(i).node == r.ports.at(j).node)
                return QStringLiteral("-p %1 and -p %2 are the same device, %3: give each device once")
                    .arg(r.ports.at(j).given, r.ports.at(i).given, r.ports.at(i).node);
        }
    }
    if (r.ports.size() > 1 && r.store.destination.isEmpty()) {
        if (!r.file.contains(QLatin1String("{port}")))
            return QStringLiteral("with several ports FILE must contain {port}, e.g. records-{port}.txt");
        QStringList files;
        for (const PortChoice &c : std::as_const(r.ports)) {
            const QString f = r.fileFor(c);
            if (files.contains(f))
                return QStringLiteral("two ports would write the same file \"%1\"").arg(f);
            files.append(f);
        }
    }
    return {};
}

ParsedCommandLine parseTransferCommand(const QCommandLineParser &p, const QString &command, CliRequest r)
{
    const QStringList positional = p.positionalArguments();
    if (positional.isEmpty())
        return usage(QStringLiteral("%1: FILE is missing").arg(command));
    if (positional.size() > 1)
        return usage(QStringLiteral("%1 takes one FILE, not \"%2\"").arg(command, positional.join(QLatin1Char(' '))));
    r.file = positional.first();
    if (r.file.isEmpty())
        return usage(QStringLiteral("%1: FILE is empty (\"\")").arg(command));
    if (r.file == QLatin1String("-") && r.command != CliRequest::Command::Download)
        return usage(QStringLiteral("%1 writes the records to a file, not to standard output (\"-\"); "
                                    "name a file (./- for one called \"-\")")
                         .arg(command));
    r.quiet = p.isSet(quietOption);
    r.logPath = p.value(logOption);
    if (p.isSet(logOption) && r.logPath.isEmpty())
        return usage(QStringLiteral("--log needs a FILE"));
    const bool collect = r.command == CliRequest::Command::Collect;
    // collect polls: a poll that never ends, or none between, is no poll.
    for (const QString &why : {parseSeconds(p, timeoutOption, !collect, r.timeoutMs),
                               collect ? parseSeconds(p, intervalOption, false, r.intervalMs) : QString(),
                               collect ? parseSeconds(p, restOption, false, r.restMs) : QString()}) {
        if (!why.isEmpty())
            return usage(why);
    }
    if (r.command == CliRequest::Command::Upload) {
        if (p.isSet(forceOption) && p.isSet(appendOption))
            return usage(QStringLiteral("--force and --append exclude each other"));
        if (p.isSet(forceOption))
            r.mode = RecordFile::Mode::Replace;
        else if (p.isSet(appendOption))
            r.mode = RecordFile::Mode::Append;
    } else if (r.command == CliRequest::Command::Collect) {
        r.mode = RecordFile::Mode::Append;
        // A folder made anew every day is no folder anyone made: each new
        // day's first docking would fail.
        if (!namesDatabase(r.file) && QFileInfo(r.file).path().contains(QLatin1String("{date}")))
            return usage(QStringLiteral("collect: {date} may stand in FILE's name, not in its folder (\"%1\")")
                             .arg(r.file));
    }
    if (r.command != CliRequest::Command::Download) {
        if (const QString why = parseDestination(p, r); !why.isEmpty())
            return usage(why);
    }
    if (const QString why = parsePortChoices(p, r); !why.isEmpty())
        return usage(why);
    return {r, {}};
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &args)
{
    CliRequest r;
    if (args.size() < 2)
        return usage(QStringLiteral("no command given (upload, download, collect or ports)"));
    const QString command = args.at(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("--version")) {
        r.command = command == QLatin1String("--version") ? CliRequest::Command::Version : CliRequest::Command::Help;
        return {r, {}};
    }

    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addOption(helpOption);
    if (command == QLatin1String("upload")) {
        r.command = CliRequest::Command::Upload;
        p.addOptions({portOption, timeoutOption, logOption, quietOption, forceOption, appendOption, tableOption,
                      stationOption});
    } else if (command == QLatin1String("download")) {
        r.command = CliRequest::Command::Download;
        p.addOptions({portOption, timeoutOption, logOption, quietOption});
    } else if (command == QLatin1String("collect")) {
        r.command = CliRequest::Command::Collect;
        p.addOptions({portOption, timeoutOption, intervalOption, restOption, logOption, quietOption, tableOption,
                      stationOption});
    } else if (command == QLatin1String("ports")) {
        r.command = CliRequest::Command::Ports;
        p.addOptions({jsonOption, assignOption, clearOption});
    } else {
        return usage(QStringLiteral("unknown command \"%1\" (upload, download, collect or ports)").arg(command));
    }

    QStringList rest = args;
    rest.removeAt(1);
    if (!p.parse(rest)) {
        QString error = p.errorText();
        // "-records.txt" reads as options; say how to give such a name.
        if (!p.unknownOptionNames().isEmpty() && r.command != CliRequest::Command::Ports)
            error += QStringLiteral("\nA FILE whose name begins with \"-\" goes after \"--\": "
                                    "quillan-cli %1 [OPTIONS] -- -%2")
                         .arg(command, p.unknownOptionNames().first());
        return usage(error);
    }
    if (p.isSet(helpOption)) {
        r.command = CliRequest::Command::Help;
        return {r, {}};
    }
    if (r.command == CliRequest::Command::Ports)
        return parsePortsCommand(p, r);
    return parseTransferCommand(p, command, r);
}
