// quillan-simterm: plays a portable data terminal on a pseudo-terminal so the
// PC program can be tried and tested without hardware.
#include "tools/SimTerminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const char c = char(sig);
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "quillan-simterm: %s\n", qPrintable(message));
    return 1;
}

bool parseInt(const QCommandLineParser &p, const QString &name, int min, int &out)
{
    if (!p.isSet(name))
        return true;
    bool ok = false;
    const int v = p.value(name).toInt(&ok);
    if (!ok || v < min) {
        fail(QStringLiteral("--%1 needs a whole number of at least %2").arg(name).arg(min));
        return false;
    }
    out = v;
    return true;
}

// One line per event, in the order they happened on each side; the text is
// last so that it may hold blanks.
bool writeTimings(const QString &path, const simterm::SimTerminal &term)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(QStringLiteral("%1: %2").arg(path, f.errorString()));
        return false;
    }
    QByteArray out;
    for (const auto &t : term.messageTimings())
        out += "M " + QByteArray::number(qint64(t.firstByteMicros)) + ' ' + QByteArray::number(qint64(t.crMicros))
            + ' ' + t.text + '\n';
    for (const auto &t : term.replyTimings())
        out += "R " + QByteArray::number(qint64(t.lastByteMicros)) + ' ' + t.text + '\n';
    return f.write(out) == out.size() && f.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillan-simterm"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulated data terminal on a pseudo-terminal. Prints the device path on the first line."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("records"), QStringLiteral("Records to upload, each followed by CR LF."), QStringLiteral("FILE")},
        {QStringLiteral("records-count"), QStringLiteral("Generate N records (with --record-size)."), QStringLiteral("N")},
        {QStringLiteral("record-size"), QStringLiteral("Size in bytes of generated records."), QStringLiteral("S")},
        {QStringLiteral("sample"), QStringLiteral("Hold a few sample inventory records.")},
        {QStringLiteral("store"), QStringLiteral("Write each downloaded line plus CR LF to FILE."), QStringLiteral("FILE")},
        {QStringLiteral("link"), QStringLiteral("Place a symlink to the device at PATH."), QStringLiteral("PATH")},
        {QStringLiteral("transcript"), QStringLiteral("Write a transcript of both directions."), QStringLiteral("FILE")},
        {QStringLiteral("nak-at"), QStringLiteral("Replace the Nth reply by NAK (or --say's text)."), QStringLiteral("N")},
        {QStringLiteral("say"), QStringLiteral("What --nak-at says instead of NAK (NEXT: a READ answered with NEXT)."),
         QStringLiteral("TEXT")},
        {QStringLiteral("lone-cr-at"), QStringLiteral("Send a CR alone just before the Nth reply."), QStringLiteral("N")},
        {QStringLiteral("endless-at"), QStringLiteral("Make the Nth reply bytes without a CR (20 MiB)."),
         QStringLiteral("N")},
        {QStringLiteral("echo"), QStringLiteral("Send every byte from the PC straight back (echo on, a loopback plug).")},
        {QStringLiteral("refill"), QStringLiteral("Hold N new records again after each DONE."), QStringLiteral("N")},
        {QStringLiteral("echo-lf"), QStringLiteral("As --echo, with the CR coming back as LF.")},
        {QStringLiteral("undocked"),
         QStringLiteral("Start out of the cradle: silent while the device stays. SIGUSR1 docks, SIGUSR2 undocks.")},
        {QStringLiteral("silent-after"), QStringLiteral("Never answer after N replies."), QStringLiteral("N")},
        {QStringLiteral("hangup-after"), QStringLiteral("Hang up after N replies."), QStringLiteral("N")},
        {QStringLiteral("split"), QStringLiteral("Write each reply in K pieces."), QStringLiteral("K")},
        {QStringLiteral("pause-ms"), QStringLiteral("Pause between pieces."), QStringLiteral("MS")},
        {QStringLiteral("double"), QStringLiteral("Write each reply twice.")},
        {QStringLiteral("corrupt-at"), QStringLiteral("Change the last byte of the Nth reply (NEXT becomes NEXU)."),
         QStringLiteral("N")},
        {QStringLiteral("crlf"), QStringLiteral("End replies with CR LF.")},
        {QStringLiteral("stop-reading-after"),
         QStringLiteral("Read nothing more from the PC after N bytes (the line fills up)."), QStringLiteral("N")},
        {QStringLiteral("delay-ms"), QStringLiteral("Wait before each reply."), QStringLiteral("MS")},
        {QStringLiteral("baud"), QStringLiteral("Pace both directions to this line rate."), QStringLiteral("B")},
        {QStringLiteral("exit-when-done"), QStringLiteral("Exit once an upload or download has ended.")},
        {QStringLiteral("timeout-s"), QStringLiteral("Give up after S seconds (exit code 2)."), QStringLiteral("S")},
        {QStringLiteral("lean"), QStringLiteral("Keep no history in memory, only counts (long runs).")},
        {QStringLiteral("timings"),
         QStringLiteral("At exit write the timings of every message (M first cr text) and reply (R last text), "
                        "microseconds since start, to FILE."),
         QStringLiteral("FILE")},
    });
    p.process(app);

    std::vector<QByteArray> records;
    if (p.isSet(QStringLiteral("records"))) {
        QFile f(p.value(QStringLiteral("records")));
        if (!f.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("%1: %2").arg(f.fileName(), f.errorString()));
        records = simterm::parseRecordFile(f.readAll());
    }
    int count = 0, size = 0;
    if (!parseInt(p, QStringLiteral("records-count"), 0, count)
        || !parseInt(p, QStringLiteral("record-size"), 0, size))
        return 1;
    if (count > 0 && !p.isSet(QStringLiteral("record-size")))
        return fail(QStringLiteral("--records-count needs --record-size"));
    for (auto &r : simterm::generateRecords(count, size))
        records.push_back(std::move(r));
    if (p.isSet(QStringLiteral("sample")))
        for (auto &r : simterm::sampleRecords())
            records.push_back(std::move(r));

    simterm::Options opt;
    int split = 1, pauseMs = 0, delayMs = 0, timeoutS = 0, stopReadingAfter = -1;
    if (!parseInt(p, QStringLiteral("nak-at"), 1, opt.nakAtReply)
        || !parseInt(p, QStringLiteral("lone-cr-at"), 1, opt.loneCrAtReply)
        || !parseInt(p, QStringLiteral("endless-at"), 1, opt.endlessAtReply)
        || !parseInt(p, QStringLiteral("refill"), 0, opt.refillAfterDone)
        || !parseInt(p, QStringLiteral("corrupt-at"), 1, opt.corruptAtReply)
        || !parseInt(p, QStringLiteral("stop-reading-after"), 0, stopReadingAfter)
        || !parseInt(p, QStringLiteral("silent-after"), 0, opt.silentAfterReplies)
        || !parseInt(p, QStringLiteral("hangup-after"), 0, opt.hangupAfterReplies)
        || !parseInt(p, QStringLiteral("split"), 1, split)
        || !parseInt(p, QStringLiteral("pause-ms"), 0, pauseMs)
        || !parseInt(p, QStringLiteral("delay-ms"), 0, delayMs)
        || !parseInt(p, QStringLiteral("baud"), 0, opt.baud)
        || !parseInt(p, QStringLiteral("timeout-s"), 1, timeoutS))
        return 1;
    opt.splitPieces = split;
    if (p.isSet(QStringLiteral("stop-reading-after")))
        opt.stopReadingAfterBytes = stopReadingAfter;
    opt.pauseBetweenPieces = std::chrono::milliseconds(pauseMs);
    opt.replyDelay = std::chrono::milliseconds(delayMs);
    opt.doubleReplies = p.isSet(QStringLiteral("double"));
    if (p.isSet(QStringLiteral("say")))
        opt.sayText = p.value(QStringLiteral("say")).toLatin1();
    opt.echoCrAsLf = p.isSet(QStringLiteral("echo-lf"));
    opt.echo = opt.echoCrAsLf || p.isSet(QStringLiteral("echo"));
    opt.docked = !p.isSet(QStringLiteral("undocked"));
    opt.crlfEndings = p.isSet(QStringLiteral("crlf"));
    opt.linkPath = p.value(QStringLiteral("link"));
    opt.transcriptPath = p.value(QStringLiteral("transcript"));
    opt.lean = p.isSet(QStringLiteral("lean"));
    const QString timingsPath = p.value(QStringLiteral("timings"));
    if (opt.lean && !timingsPath.isEmpty())
        return fail(QStringLiteral("--timings needs the history that --lean drops"));

    // Written only from the terminal's thread, through lineStored.
    QFile store;
    int linesStored = 0;
    if (p.isSet(QStringLiteral("store"))) {
        store.setFileName(p.value(QStringLiteral("store")));
        if (!store.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(QStringLiteral("%1: %2").arg(store.fileName(), store.errorString()));
        opt.lineStored = [&store](const QByteArray &line) {
            store.write(line + "\r\n");
            store.flush();
        };
    }
    if (p.isSet(QStringLiteral("exit-when-done"))) {
        opt.sessionEnded = [&app](simterm::Options::Session) {
            QMetaObject::invokeMethod(&app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        };
    }

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(QStringLiteral("pipe failed"));
    simterm::SimTerminal *terminal = nullptr;
    QSocketNotifier sigNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&sigNotifier, &QSocketNotifier::activated, &app, [&terminal] {
        char buf[16];
        for (ssize_t n; (n = ::read(signalPipe[0], buf, sizeof buf)) > 0;) {
            for (ssize_t i = 0; i < n; ++i) {
                if ((buf[i] == SIGUSR1 || buf[i] == SIGUSR2) && terminal)
                    terminal->setDocked(buf[i] == SIGUSR1); // into the cradle, or out of it
                else if (buf[i] != SIGUSR1 && buf[i] != SIGUSR2)
                    QCoreApplication::exit(0);
            }
        }
    });
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        ::sigaction(sig, &sa, nullptr);

    int rc;
    {
        simterm::SimTerminal term(std::move(records), opt);
        terminal = &term;
        if (!term.isOk())
            return fail(term.errorString());
        std::fprintf(stdout, "%s\n", qPrintable(term.slavePath()));
        std::fflush(stdout);

        if (timeoutS > 0) {
            QTimer::singleShot(std::chrono::seconds(timeoutS), &app, [] {
                std::fprintf(stderr, "quillan-simterm: timed out\n");
                QCoreApplication::exit(2);
            });
        }
        rc = app.exec();
        terminal = nullptr;
        term.stop();
        linesStored = int(term.linesStored());
        if (!timingsPath.isEmpty() && !writeTimings(timingsPath, term) && rc == 0)
            rc = 1;
        std::fprintf(stderr, "quillan-simterm: %d records left, %d lines stored, %d messages received, %d replies sent\n",
                     int(term.remainingRecords().size()), linesStored, term.messagesReceived(),
                     term.repliesSent());
    }
    return rc;
}
