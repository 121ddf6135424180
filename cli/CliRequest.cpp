#include "cli/CliRequest.h"

#include <QCommandLineParser>
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
    return f.replace(QStringLiteral("{port}"), port.shortName());
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
    return QStringLiteral(
        "Usage:\n"
        "  quillan-cli upload   [-p PORT]... [-t SECONDS] [--force | --append] [--log FILE] [-q] [--] FILE\n"
        "  quillan-cli download [-p PORT] [-t SECONDS] [--log FILE] [-q] [--] FILE\n"
        "  quillan-cli ports [--json] [--assign COMn DEVICE | --assign COMn --clear]\n"
        "  quillan-cli --help | --version\n"
        "\n"
        "upload    fetch the terminal's records into FILE, one line each; a record is on disk\n"
        "          before the terminal is told to delete it. An existing FILE is refused unless\n"
        "          --force (the old one is kept as FILE.bak) or --append. Several -p run at once;\n"
        "          FILE must then contain {port}, replaced by each port's name.\n"
        "download  send FILE to the terminal, one line for each acknowledgement. FILE \"-\" is\n"
        "          standard input; a pipe (process substitution) is read too. A line ends at\n"
        "          CR LF or CR, an LF alone being part of it; a file with more lone-LF line breaks\n"
        "          than CR endings has its lines ended by LF, CR LF and CR alike.\n"
        "ports     list the serial ports and what each COM port means; --assign makes COMn\n"
        "          (COM1 to COM255) mean DEVICE from now on, stored as an absolute path (a\n"
        "          /dev/serial/by-id name as given); --clear gives COMn its default back.\n"
        "\n"
        "Options:\n"
        "  -p, --port PORT      COM1 (default) to COM255, or a device such as /dev/ttyUSB0;\n"
        "                       each device once, under whatever name\n"
        "  -t, --timeout S      longest time without any byte from the terminal while a reply is\n"
        "                       awaited, or without any byte leaving for it, in seconds (default 5;\n"
        "                       0: no limit); a long reply still arriving is waited for\n"
        "  --force              replace an existing FILE, keeping it as FILE.bak\n"
        "  --append             add the records to an existing FILE\n"
        "  --log FILE           append one JSON line per transfer to FILE\n"
        "  -q, --quiet          no progress and no summary; errors only\n"
        "  --json               ports: as a JSON array\n"
        "  --                   ends the options: a FILE whose name begins with \"-\" goes after it\n"
        "\n"
        "Exit status: 0 completed, 2 usage, 3 file (also a log line not written), 4 port,\n"
        "5 refused by the terminal, 6 time-out, 7 line lost, 129 hung up (SIGHUP),\n"
        "130 interrupted (SIGINT, SIGTERM). With several ports, that of the first port given\n"
        "that failed.\n"
        "\n"
        "Examples:\n"
        "  quillan-cli upload -p /dev/ttyUSB0 records.txt\n"
        "  quillan-cli upload --append --log transfers.jsonl records.txt\n"
        "  quillan-cli upload -p /dev/ttyUSB0 -p /dev/ttyUSB1 -t 10 shelf-{port}.txt\n"
        "  quillan-cli download -p COM2 prices.txt\n"
        "  sort prices.txt | quillan-cli download -p COM3 -\n"
        "  quillan-cli ports --assign COM3 /dev/ttyUSB2\n");
}

namespace {

const QCommandLineOption portOption({QStringLiteral("p"), QStringLiteral("port")}, QString(), QStringLiteral("PORT"));
const QCommandLineOption timeoutOption({QStringLiteral("t"), QStringLiteral("timeout")}, QString(),
                                       QStringLiteral("SECONDS"));
const QCommandLineOption forceOption(QStringLiteral("force"));
const QCommandLineOption appendOption(QStringLiteral("append"));
const QCommandLineOption logOption(QStringLiteral("log"), QString(), QStringLiteral("FILE"));
const QCommandLineOption quietOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")});
const QCommandLineOption jsonOption(QStringLiteral("json"));
const QCommandLineOption assignOption(QStringLiteral("assign"), QString(), QStringLiteral("COMn"));
const QCommandLineOption clearOption(QStringLiteral("clear"));
const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});

ParsedCommandLine usage(const QString &error)
{
    return {{}, error};
}

bool parseTimeout(const QString &text, int &ms)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    // A time-out past about 24 days is not a time-out anyone means.
    if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > 2'000'000)
        return false;
    ms = seconds == 0 ? 0 : std::max(1, int(std::lround(seconds * 1000)));
    return true;
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &args)
{
    ParsedCommandLine out;
    CliRequest &r = out.request;
    if (args.size() < 2)
        return usage(QStringLiteral("no command given (upload, download or ports)"));
    const QString command = args.at(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        r.command = CliRequest::Command::Help;
        return out;
    }
    if (command == QLatin1String("--version")) {
        r.command = CliRequest::Command::Version;
        return out;
    }

    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addOption(helpOption);
    if (command == QLatin1String("upload") || command == QLatin1String("download")) {
        r.command = command == QLatin1String("upload") ? CliRequest::Command::Upload : CliRequest::Command::Download;
        p.addOptions({portOption, timeoutOption, logOption, quietOption});
        if (r.command == CliRequest::Command::Upload)
            p.addOptions({forceOption, appendOption});
    } else if (command == QLatin1String("ports")) {
        r.command = CliRequest::Command::Ports;
        p.addOptions({jsonOption, assignOption, clearOption});
    } else {
        return usage(QStringLiteral("unknown command \"%1\" (upload, download or ports)").arg(command));
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
        return out;
    }
    const QStringList positional = p.positionalArguments();

    if (r.command == CliRequest::Command::Ports) {
        r.json = p.isSet(jsonOption);
        r.clear = p.isSet(clearOption);
        if (!p.isSet(assignOption)) {
            if (r.clear || !positional.isEmpty())
                return usage(QStringLiteral("ports: unexpected \"%1\"")
                                 .arg(r.clear ? QStringLiteral("--clear") : positional.join(QLatin1Char(' '))));
            return out;
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
        return out;
    }

    if (positional.isEmpty())
        return usage(QStringLiteral("%1: FILE is missing").arg(command));
    if (positional.size() > 1)
        return usage(QStringLiteral("%1 takes one FILE, not \"%2\"").arg(command, positional.join(QLatin1Char(' '))));
    r.file = positional.first();
    if (r.file.isEmpty())
        return usage(QStringLiteral("%1: FILE is empty (\"\")").arg(command));
    if (r.file == QLatin1String("-") && r.command == CliRequest::Command::Upload)
        return usage(QStringLiteral("upload writes the records to a file, not to standard output (\"-\"); "
                                    "name a file (./- for one called \"-\")"));
    r.quiet = p.isSet(quietOption);
    r.logPath = p.value(logOption);
    if (p.isSet(logOption) && r.logPath.isEmpty())
        return usage(QStringLiteral("--log needs a FILE"));
    if (p.isSet(timeoutOption) && !parseTimeout(p.value(timeoutOption), r.timeoutMs))
        return usage(QStringLiteral("--timeout takes seconds (0 or more), not \"%1\"").arg(p.value(timeoutOption)));

    if (r.command == CliRequest::Command::Upload) {
        if (p.isSet(forceOption) && p.isSet(appendOption))
            return usage(QStringLiteral("--force and --append exclude each other"));
        if (p.isSet(forceOption))
            r.mode = RecordFile::Mode::Replace;
        else if (p.isSet(appendOption))
            r.mode = RecordFile::Mode::Append;
    }

    QStringList given = p.values(portOption);
    if (given.isEmpty())
        given.append(QStringLiteral("COM1"));
    if (r.command == CliRequest::Command::Download && given.size() > 1)
        return usage(QStringLiteral("download takes one port"));
    for (const QString &g : given) {
        PortChoice c;
        QString why;
        if (!resolvePort(g, c, why))
            return usage(why);
        r.ports.append(c);
    }
    // One line, one transfer: two names of one device would run two
    // dialogues on it.
    for (qsizetype i = 0; i < r.ports.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (r.ports.at(i).node == r.ports.at(j).node)
                return usage(QStringLiteral("-p %1 and -p %2 are the same device, %3: give each device once")
                                 .arg(r.ports.at(j).given, r.ports.at(i).given, r.ports.at(i).node));
        }
    }
    if (r.ports.size() > 1) {
        if (!r.file.contains(QLatin1String("{port}")))
            return usage(QStringLiteral("with several ports FILE must contain {port}, e.g. records-{port}.txt"));
        QStringList files;
        for (const PortChoice &c : std::as_const(r.ports)) {
            const QString f = r.fileFor(c);
            if (files.contains(f))
                return usage(QStringLiteral("two ports would write the same file \"%1\"").arg(f));
            files.append(f);
        }
    }
    return out;
}
