#include "cli/Cli.h"

#include "cli/CliRequest.h"
#include "cli/CollectRunner.h"
#include "cli/ExitStatus.h"
#include "cli/PortsCommand.h"
#include "cli/TransferRunner.h"

#include <QCoreApplication>

#include <cstdio>

int runCli(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillan-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLAN_VERSION));

    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments());
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "quillan-cli: %s\nTry \"quillan-cli --help\".\n", qUtf8Printable(parsed.error));
        return ExitStatus::Usage;
    }
    const CliRequest &r = parsed.request;
    switch (r.command) {
    case CliRequest::Command::Help:
        std::fputs(qUtf8Printable(helpText()), stdout);
        return ExitStatus::Completed;
    case CliRequest::Command::Version:
        std::printf("quillan-cli %s\n", QUILLAN_VERSION);
        return ExitStatus::Completed;
    case CliRequest::Command::Ports:
        return runPortsCommand(r);
    case CliRequest::Command::Collect:
        return CollectRunner(r).run();
    case CliRequest::Command::Upload:
    case CliRequest::Command::Download:
        break;
    }
    TransferRunner runner(r);
    return runner.run();
}
