#include "cli/Cli.h"

#include "cli/CliRequest.h"
#include "cli/CollectRunner.h"
#include "cli/ExitStatus.h"
#include "cli/PortsCommand.h"
#include "cli/TransferRunner.h"
#include "wording/Messages.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// Qt's own warnings (a database connection that was lost, say) as the
// program's other lines: one line each, named, none blank.
void sayQtMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    if (const QString line = Messages::oneLine(message); !line.isEmpty())
        std::fprintf(stderr, "quillan-cli: %s\n", qUtf8Printable(line));
    if (type == QtFatalMsg)
        std::abort();
}
}

int runCli(int argc, char *argv[])
{
#ifndef Q_OS_WIN
    // Qt reads arguments as UTF-8 and makes other bytes U+FFFD: a FILE named
    // so would be another file. (Windows hands Qt the arguments as typed.)
    for (int i = 1; i < argc; ++i) {
        const QByteArray given(argv[i]);
        if (QFile::encodeName(QFile::decodeName(given)) != given) {
            std::fprintf(stderr,
                         "quillan-cli: \"%s\" is not valid in the locale's encoding (UTF-8 for quillan-cli, "
                         "whatever LANG and LC_ALL say) and would name another file: rename it to a UTF-8 name\n",
                         qUtf8Printable(Messages::escapedBytes(given)));
            return ExitStatus::Usage;
        }
    }
#endif
    // Qt's own event loop over poll(): GLib's, the default, does more work
    // for each reply, and nothing here needs it.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    qInstallMessageHandler(sayQtMessage);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillan-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLAN_VERSION));

    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments());
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "quillan-cli: %s\nTry \"quillan-cli --help\".\n", qUtf8Printable(parsed.error));
        return ExitStatus::Usage;
    }
    const CliRequest &r = parsed.request;
    if (const QString shown = shownDestination(r.store.destination); shown != r.store.destination) {
        // Read once: what ps shows from now on is the URI without its password.
        const QByteArray given = r.store.destination.toLocal8Bit();
        for (int i = 1; i < argc; ++i) {
            const size_t length = std::strlen(argv[i]);
            if (given != QByteArrayView(argv[i], qsizetype(length)))
                continue;
            const QByteArray hidden = shown.toLocal8Bit().left(qsizetype(length));
            std::memset(argv[i], 0, length);
            std::memcpy(argv[i], hidden.constData(), size_t(hidden.size()));
        }
#ifdef Q_OS_WIN
        const char *passwordFile = "%APPDATA%\\postgresql\\pgpass.conf";
#else
        const char *passwordFile = "~/.pgpass";
#endif
        std::fprintf(stderr, "quillan-cli: %s has a password in it, which other users of this computer can see "
                             "while a program runs: keep it in %s or the file PGPASSFILE names instead\n",
                     qUtf8Printable(shown), passwordFile);
    }
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
