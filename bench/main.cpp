// quillan-bench: end-to-end figures for the Upload and DownLoad transfers over
// a pty against quillan-simterm running as a separate process. Prints
// Markdown table rows; bench/run.sh puts them together.
#include "BareLoops.h"
#include "transfer/Transfer.h"
#include "wording/Messages.h"
#include "link/QtSerialPort.h"
#include "platform/Timer.h"
#include "Measure.h"

#include "link/QtSerialPort.h"
#include "platform/Timer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <functional>

namespace {

struct Config {
    QString dir;          // output / input files (disk-backed unless told otherwise)
    int runs = 3;
    int count = 2000;     // records or lines
    int size = 40;        // record or line length
    int baud = 0;
    qint64 sizeMiB = 0;
    QList<qint64> sizesMiB;
};

void out(const QString &s)
{
    std::fputs(qPrintable(s + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void err(const QString &s)
{
    std::fputs(qPrintable(QStringLiteral("quillan-bench: ") + s + QLatin1Char('\n')), stderr);
}

// How a transfer ended, for the benchmark's own error line.
QString ending(const Outcome &o)
{
    const QString said = Messages::ending(o);
    return said.isEmpty() ? QStringLiteral("outcome %1, reply \"%2\"").arg(int(o.kind)).arg(QString::fromLatin1(o.reply))
                          : said;
}

QString us(double v) { return QString::number(v, 'f', v < 10 ? 1 : 0); }
QString mib(long kib) { return QString::number(double(kib) / 1024.0, 'f', 2); }

struct Run {
    bool ok = false;
    qint64 items = 0;
    double seconds = 0;
    long hwmStart = -1, hwmAt10k = -1, hwmAt100k = -1, hwmEnd = -1;
    Timings timings;
};

QStringList simArgs(const Config &c, const QString &timingsPath, bool upload)
{
    QStringList a{QStringLiteral("--exit-when-done"), QStringLiteral("--timeout-s"), QStringLiteral("3600")};
    if (upload)
        a << QStringLiteral("--records-count") << QString::number(c.count) << QStringLiteral("--record-size")
          << QString::number(c.size);
    if (c.baud > 0)
        a << QStringLiteral("--baud") << QString::number(c.baud);
    if (timingsPath.isEmpty())
        a << QStringLiteral("--lean");
    else
        a << QStringLiteral("--timings") << timingsPath;
    return a;
}

bool finishSim(SimProcess &sim, const QString &timingsPath, Run &r)
{
    const int rc = sim.wait();
    if (rc != 0) {
        err(QStringLiteral("quillan-simterm exited with %1").arg(rc));
        return false;
    }
    if (!timingsPath.isEmpty() && !readTimings(timingsPath, r.timings)) {
        err(QStringLiteral("cannot read %1").arg(timingsPath));
        return false;
    }
    if (!timingsPath.isEmpty())
        QFile::remove(timingsPath);
    return true;
}

// One upload by the windows' Transfer over QtSerialPort, driven by a real event loop.
Run qtUpload(const Config &c, bool withTimings)
{
    Run r;
    const QString timings = withTimings ? c.dir + QStringLiteral("/timings-qt.txt") : QString();
    SimProcess sim(simArgs(c, timings, true));
    if (!sim.ok()) {
        err(QStringLiteral("quillan-simterm did not start"));
        return r;
    }
    const QString output = c.dir + QStringLiteral("/upload-qt.txt");
    QFile::remove(output);

    QtSerialPort port;
    Transfer transfer(Outcome::Direction::Upload, Transfer::Policy::Window, port, nullptr);
    QEventLoop loop;
    bool finished = false;
    Outcome outcome;
    QObject::connect(&transfer, &Transfer::finished, [&](const Outcome &o) {
        outcome = o;
        finished = true;
        loop.quit();
    });
    QObject::connect(&transfer, &Transfer::recordSaved, [&](const QByteArray &, qint64 n) {
        if (n == 10'000 && r.hwmAt10k < 0)
            r.hwmAt10k = peakResidentKiB();
        else if (n == 100'000 && r.hwmAt100k < 0)
            r.hwmAt100k = peakResidentKiB();
    });

    r.hwmStart = peakResidentKiB();
    QElapsedTimer clock;
    clock.start();
    transfer.begin(output, PortTarget{1, sim.device()}, RecordFile::Mode::Create);
    if (!finished)
        loop.exec();
    r.seconds = double(clock.nsecsElapsed()) / 1e9;
    r.hwmEnd = peakResidentKiB();
    r.items = transfer.count();
    const bool told = outcome.kind == Outcome::Kind::Completed;
    if (!told)
        err(QStringLiteral("upload ended with: %1").arg(ending(outcome)));
    r.ok = finishSim(sim, timings, r) && told && r.items == c.count;
    QFile::remove(output);
    return r;
}

Run bareUploadRun(const Config &c)
{
    Run r;
    const QString timings = c.dir + QStringLiteral("/timings-bare.txt");
    SimProcess sim(simArgs(c, timings, true));
    if (!sim.ok())
        return r;
    const QString output = c.dir + QStringLiteral("/upload-bare.txt");
    QElapsedTimer clock;
    clock.start();
    r.items = bareUpload(sim.device(), output);
    r.seconds = double(clock.nsecsElapsed()) / 1e9;
    r.ok = finishSim(sim, timings, r) && r.items == c.count;
    QFile::remove(output);
    return r;
}

// Lines of exactly `length` bytes plus CR LF until the file holds `bytes`.
bool writeLines(const QString &path, qint64 bytes, int length)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    static const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstuvwxyz";
    QByteArray chunk;
    qint64 written = 0, n = 0;
    while (written < bytes) {
        QByteArray line = QByteArray::number(++n).rightJustified(10, '0') + ';';
        for (qsizetype j = 0; line.size() < length; ++j)
            line += alphabet.at((n + j) % alphabet.size());
        line.truncate(length);
        line += "\r\n";
        chunk += line;
        written += line.size();
        if (chunk.size() >= (1 << 20) || written >= bytes) {
            if (f.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    return f.flush();
}

Run qtDownload(const Config &c, const QString &input, bool withTimings)
{
    Run r;
    const QString timings = withTimings ? c.dir + QStringLiteral("/timings-qt.txt") : QString();
    SimProcess sim(simArgs(c, timings, false));
    if (!sim.ok()) {
        err(QStringLiteral("quillan-simterm did not start"));
        return r;
    }
    QtSerialPort port;
    QtTimer timer;
    Transfer transfer(Outcome::Direction::Download, Transfer::Policy::Window, port, &timer);
    QEventLoop loop;
    bool finished = false, over = false;
    QObject::connect(&transfer, &Transfer::finished, [&](const Outcome &o) {
        if (o.kind == Outcome::Kind::Completed)
            over = true;
        else
            err(QStringLiteral("download ended with: %1").arg(ending(o)));
        finished = true;
        loop.quit();
    });
    QObject::connect(&transfer, &Transfer::lineSent, [&] { ++r.items; });

    r.hwmStart = peakResidentKiB();
    QElapsedTimer clock;
    clock.start();
    transfer.begin(input, PortTarget{1, sim.device()});
    if (!finished)
        loop.exec();
    r.seconds = double(clock.nsecsElapsed()) / 1e9;
    r.hwmEnd = peakResidentKiB();
    r.ok = finishSim(sim, timings, r) && over;
    return r;
}

Run bareDownloadRun(const Config &c, const QString &input)
{
    Run r;
    const QString timings = c.dir + QStringLiteral("/timings-bare.txt");
    SimProcess sim(simArgs(c, timings, false));
    if (!sim.ok())
        return r;
    QElapsedTimer clock;
    clock.start();
    r.items = bareDownload(sim.device(), input);
    r.seconds = double(clock.nsecsElapsed()) / 1e9;
    r.ok = finishSim(sim, timings, r) && r.items > 0;
    return r;
}

bool isWord(const QByteArray &t)
{
    return t == "OVER" || t == "NEXT" || t == "NAK" || t == "ACK";
}

std::vector<double> uploadTurnarounds(const Timings &t)
{
    return turnarounds(
        t, [](const QByteArray &m, const QByteArray &r) { return m == "READ" && !isWord(r); },
        [](const QByteArray &next) { return next == "REMOVE"; });
}

std::vector<double> nextToRead(const Timings &t)
{
    return turnarounds(
        t, [](const QByteArray &, const QByteArray &r) { return r == "NEXT"; },
        [](const QByteArray &next) { return next == "READ"; });
}

std::vector<double> downloadTurnarounds(const Timings &t)
{
    return turnarounds(
        t, [](const QByteArray &, const QByteArray &r) { return r == "ACK"; },
        [](const QByteArray &next) { return next != "OVER"; });
}

QString statCells(const Stats &s)
{
    return QStringLiteral("%1 | %2 | %3").arg(us(s.median), us(s.p90), us(s.p99));
}

void turnaroundHeader(const QString &what)
{
    out(QStringLiteral("\n#### %1\n").arg(what));
    out(QStringLiteral("| run | program median µs | p90 | p99 | bare loop median µs | p90 | p99 | program/bare (median) |"));
    out(QStringLiteral("|---|---|---|---|---|---|---|---|"));
}

int upload(const Config &c)
{
    turnaroundHeader(QStringLiteral("Upload turnaround: record's CR written → first byte of REMOVE read (%1 records of %2 bytes, %3)")
                         .arg(c.count).arg(c.size).arg(c.dir));
    std::vector<double> allQt, allBare, allQtNext, allBareNext;
    std::vector<double> medQt, medBare;
    for (int i = 0; i < c.runs; ++i) {
        // Alternate which goes first, so neither always meets the disk in the
        // state the other left it in.
        Run q, b;
        if (i % 2 == 0) {
            q = qtUpload(c, true);
            b = bareUploadRun(c);
        } else {
            b = bareUploadRun(c);
            q = qtUpload(c, true);
        }
        if (!q.ok || !b.ok) {
            err(QStringLiteral("upload run %1 failed").arg(i + 1));
            return 1;
        }
        const auto tq = uploadTurnarounds(q.timings), tb = uploadTurnarounds(b.timings);
        const Stats sq = stats(tq), sb = stats(tb);
        medQt.push_back(sq.median);
        medBare.push_back(sb.median);
        allQt.insert(allQt.end(), tq.begin(), tq.end());
        allBare.insert(allBare.end(), tb.begin(), tb.end());
        const auto nq = nextToRead(q.timings), nb = nextToRead(b.timings);
        allQtNext.insert(allQtNext.end(), nq.begin(), nq.end());
        allBareNext.insert(allBareNext.end(), nb.begin(), nb.end());
        out(QStringLiteral("| %1 | %2 | %3 | %4 |")
                .arg(i + 1)
                .arg(statCells(sq), statCells(sb))
                .arg(sq.median / sb.median, 0, 'f', 2));
    }
    const Stats aq = stats(allQt), ab = stats(allBare);
    out(QStringLiteral("| all | %1 | %2 | %3 |").arg(statCells(aq), statCells(ab)).arg(aq.median / ab.median, 0, 'f', 2));
    const Stats mq = stats(medQt), mb = stats(medBare);
    out(QStringLiteral("\nSpread of run medians: program %1–%2 µs, bare %3–%4 µs.")
            .arg(us(mq.min), us(mq.max), us(mb.min), us(mb.max)));
    const Stats nq = stats(allQtNext), nb = stats(allBareNext);
    out(QStringLiteral("NEXT → READ (no disk work): program median %1 µs (p90 %2, p99 %3), bare %4 µs (p90 %5, p99 %6).")
            .arg(us(nq.median), us(nq.p90), us(nq.p99), us(nb.median), us(nb.p90), us(nb.p99)));
    return 0;
}

int uploadMemory(const Config &c)
{
    const Run q = qtUpload(c, false);
    if (!q.ok) {
        err(QStringLiteral("memory upload failed"));
        return 1;
    }
    out(QStringLiteral("| %1 records of %2 bytes | %3 | %4 | %5 | %6 | %7 | %8 |")
            .arg(q.items).arg(c.size)
            .arg(mib(q.hwmStart), mib(q.hwmAt10k), mib(q.hwmAt100k > 0 ? q.hwmAt100k : q.hwmEnd))
            .arg(mib((q.hwmAt100k > 0 ? q.hwmAt100k : q.hwmEnd) - q.hwmAt10k))
            .arg(q.seconds, 0, 'f', 1)
            .arg(double(q.items) / q.seconds, 0, 'f', 0));
    return 0;
}

double uploadRate(const Timings &t, qint64 n)
{
    // From the first READ to the READ that follows the last NEXT: n whole cycles.
    if (t.messages.size() < size_t(2 * n + 1))
        return 0;
    return double(n) / (double(t.messages[size_t(2 * n)].micros - t.messages[0].micros) / 1e6);
}

double downloadRate(const Timings &t, qint64 n)
{
    // From the first line's first byte to OVER's: n whole line + ACK cycles.
    if (t.messages.size() < size_t(n + 2))
        return 0;
    return double(n) / (double(t.messages[size_t(n + 1)].micros - t.messages[1].micros) / 1e6);
}

// Where a cycle's time goes: on the terminal's side (line time of both
// directions plus the simulator's own lateness) and on the PC's.
struct Cycle {
    double terminal = 0, pc = 0;
    qint64 n = 0;
};

void addUploadCycles(const Timings &t, qint64 records, Cycle &c)
{
    const auto &m = t.messages;
    const auto &r = t.replies;
    for (size_t i = 0; i < size_t(records) && 2 * i + 2 < m.size() && 2 * i + 1 < r.size(); ++i) {
        c.terminal += double(r[2 * i].micros - m[2 * i].micros) + double(r[2 * i + 1].micros - m[2 * i + 1].micros);
        c.pc += double(m[2 * i + 1].micros - r[2 * i].micros) + double(m[2 * i + 2].micros - r[2 * i + 1].micros);
        ++c.n;
    }
}

void addDownloadCycles(const Timings &t, qint64 lines, Cycle &c)
{
    const auto &m = t.messages;
    const auto &r = t.replies;
    for (size_t i = 1; i <= size_t(lines) && i + 1 < m.size() && i < r.size(); ++i) {
        c.terminal += double(r[i].micros - m[i].micros);
        c.pc += double(m[i + 1].micros - r[i].micros);
        ++c.n;
    }
}

void printCycle(const Cycle &q, const Cycle &b, double lineUs)
{
    auto one = [&](const char *who, const Cycle &c) {
        const double term = c.terminal / double(c.n), pc = c.pc / double(c.n);
        return QStringLiteral("%1: %2 µs a cycle = terminal side %3 µs (line time %4 + simulator %5) + PC side %6 µs")
            .arg(QLatin1String(who), us(term + pc), us(term), us(lineUs), us(term - lineUs), us(pc));
    };
    out(QStringLiteral("\nMean cycle, %1; %2.").arg(one("program", q), one("bare loop", b)));
}

void rateRows(const QString &what, double allowed, const std::vector<double> &qt, const std::vector<double> &bare)
{
    for (size_t i = 0; i < qt.size(); ++i)
        out(QStringLiteral("| %1 | %2 | %3 | %4 % | %5 | %6 % |")
                .arg(what).arg(i + 1)
                .arg(qt[i], 0, 'f', 1).arg(100.0 * qt[i] / allowed, 0, 'f', 1)
                .arg(bare[i], 0, 'f', 1).arg(100.0 * bare[i] / allowed, 0, 'f', 1));
}

int uploadRateCmd(const Config &c)
{
    const double perRecord = 5 + (c.size + 1) + 7 + 5;
    const double allowed = c.baud / 10.0 / perRecord;
    out(QStringLiteral("\n#### Upload at %1 baud, %2 records of %3 bytes, %4: the line allows %5 records/s\n")
            .arg(c.baud).arg(c.count).arg(c.size).arg(c.dir).arg(allowed, 0, 'f', 1));
    out(QStringLiteral("| measurement | run | program records/s | of line | bare loop records/s | of line |"));
    out(QStringLiteral("|---|---|---|---|---|---|"));
    std::vector<double> qt, bare;
    Cycle cq, cb;
    for (int i = 0; i < c.runs; ++i) {
        const Run q = qtUpload(c, true);
        const Run b = bareUploadRun(c);
        if (!q.ok || !b.ok)
            return 1;
        qt.push_back(uploadRate(q.timings, q.items));
        bare.push_back(uploadRate(b.timings, b.items));
        addUploadCycles(q.timings, q.items, cq);
        addUploadCycles(b.timings, b.items, cb);
    }
    rateRows(QStringLiteral("upload"), allowed, qt, bare);
    const double lineUs = perRecord * 10.0 / c.baud * 1e6;
    printCycle(cq, cb, lineUs);
    return 0;
}

QString makeInput(const Config &c, qint64 bytes)
{
    const QString input = c.dir + QStringLiteral("/download-input.txt");
    if (!writeLines(input, bytes, c.size)) {
        err(QStringLiteral("cannot write %1").arg(input));
        return {};
    }
    return input;
}

int download(const Config &c)
{
    const QString input = makeInput(c, qint64(c.count) * (c.size + 2));
    if (input.isEmpty())
        return 1;
    turnaroundHeader(QStringLiteral("Download turnaround: ACK's CR written → first byte of the next line read (%1 lines of %2 bytes)")
                         .arg(c.count).arg(c.size));
    std::vector<double> allQt, allBare, medQt, medBare;
    for (int i = 0; i < c.runs; ++i) {
        const Run q = qtDownload(c, input, true);
        const Run b = bareDownloadRun(c, input);
        if (!q.ok || !b.ok || q.items != c.count || b.items != c.count) {
            err(QStringLiteral("download run %1 failed (%2 / %3 lines)").arg(i + 1).arg(q.items).arg(b.items));
            QFile::remove(input);
            return 1;
        }
        const auto tq = downloadTurnarounds(q.timings), tb = downloadTurnarounds(b.timings);
        const Stats sq = stats(tq), sb = stats(tb);
        medQt.push_back(sq.median);
        medBare.push_back(sb.median);
        allQt.insert(allQt.end(), tq.begin(), tq.end());
        allBare.insert(allBare.end(), tb.begin(), tb.end());
        out(QStringLiteral("| %1 | %2 | %3 | %4 |").arg(i + 1).arg(statCells(sq), statCells(sb)).arg(sq.median / sb.median, 0, 'f', 2));
    }
    QFile::remove(input);
    const Stats aq = stats(allQt), ab = stats(allBare);
    out(QStringLiteral("| all | %1 | %2 | %3 |").arg(statCells(aq), statCells(ab)).arg(aq.median / ab.median, 0, 'f', 2));
    const Stats mq = stats(medQt), mb = stats(medBare);
    out(QStringLiteral("\nSpread of run medians: program %1–%2 µs, bare %3–%4 µs.")
            .arg(us(mq.min), us(mq.max), us(mb.min), us(mb.max)));
    return 0;
}

int downloadRateCmd(const Config &c)
{
    const double perLine = (c.size + 1) + 4;
    const double allowed = c.baud / 10.0 / perLine;
    const QString input = makeInput(c, qint64(c.count) * (c.size + 2));
    if (input.isEmpty())
        return 1;
    out(QStringLiteral("\n#### Download at %1 baud, %2 lines of %3 bytes: the line allows %4 lines/s\n")
            .arg(c.baud).arg(c.count).arg(c.size).arg(allowed, 0, 'f', 1));
    out(QStringLiteral("| measurement | run | program lines/s | of line | bare loop lines/s | of line |"));
    out(QStringLiteral("|---|---|---|---|---|---|"));
    std::vector<double> qt, bare;
    Cycle cq, cb;
    for (int i = 0; i < c.runs; ++i) {
        const Run q = qtDownload(c, input, true);
        const Run b = bareDownloadRun(c, input);
        if (!q.ok || !b.ok)
            return 1;
        qt.push_back(downloadRate(q.timings, q.items));
        bare.push_back(downloadRate(b.timings, b.items));
        addDownloadCycles(q.timings, q.items, cq);
        addDownloadCycles(b.timings, b.items, cb);
    }
    QFile::remove(input);
    rateRows(QStringLiteral("download"), allowed, qt, bare);
    printCycle(cq, cb, perLine * 10.0 / c.baud * 1e6);
    return 0;
}

// In a fresh process so that VmHWM belongs to this one file alone.
int downloadMemoryOne(const Config &c)
{
    const QString input = makeInput(c, c.sizeMiB << 20);
    if (input.isEmpty())
        return 1;
    const qint64 bytes = QFileInfo(input).size();
    const Run q = qtDownload(c, input, false);
    QFile::remove(input);
    if (!q.ok)
        return 1;
    out(QStringLiteral("RESULT %1 %2 %3 %4 %5").arg(bytes).arg(q.items).arg(q.hwmStart).arg(q.hwmEnd).arg(q.seconds, 0, 'f', 2));
    return 0;
}

int downloadMemory(const Config &c)
{
    out(QStringLiteral("\n| input file | lines | VmHWM at start MiB | VmHWM at end MiB | seconds | MiB/s |"));
    out(QStringLiteral("|---|---|---|---|---|---|"));
    for (qint64 s : c.sizesMiB) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("download-memory-one"), QStringLiteral("--size-mib"), QString::number(s),
                     QStringLiteral("--length"), QString::number(c.size), QStringLiteral("--dir"), c.dir});
        if (!child.waitForFinished(-1) || child.exitCode() != 0) {
            err(QStringLiteral("download of %1 MiB failed").arg(s));
            return 1;
        }
        for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
            if (!line.startsWith("RESULT "))
                continue;
            const auto f = line.split(' ');
            const double secs = f[5].toDouble();
            out(QStringLiteral("| %1 MiB (%2 bytes), lines of %3 bytes | %4 | %5 | %6 | %7 | %8 |")
                    .arg(s).arg(QString::fromLatin1(f[1])).arg(c.size).arg(QString::fromLatin1(f[2]))
                    .arg(mib(f[3].toLong()), mib(f[4].toLong()))
                    .arg(secs, 0, 'f', 1)
                    .arg(f[1].toDouble() / 1048576.0 / secs, 0, 'f', 2));
        }
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Benchmarks of the transfers against quillan-simterm. Commands: upload, upload-memory, upload-rate, "
        "download, download-rate, download-memory, info."));
    p.addHelpOption();
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to measure."));
    p.addOptions({
        {QStringLiteral("dir"), QStringLiteral("Folder for the files (default: the current one)."), QStringLiteral("DIR")},
        {QStringLiteral("runs"), QStringLiteral("Repetitions."), QStringLiteral("N")},
        {QStringLiteral("count"), QStringLiteral("Records or lines per run."), QStringLiteral("N")},
        {QStringLiteral("length"), QStringLiteral("Record or line length in bytes."), QStringLiteral("S")},
        {QStringLiteral("baud"), QStringLiteral("Simulated line rate (0: unpaced)."), QStringLiteral("B")},
        {QStringLiteral("size-mib"), QStringLiteral("Input file size (download-memory-one)."), QStringLiteral("M")},
        {QStringLiteral("sizes-mib"), QStringLiteral("Input file sizes, comma separated (download-memory)."), QStringLiteral("LIST")},
    });
    p.process(app);
    if (p.positionalArguments().size() != 1)
        p.showHelp(1);

    Config c;
    c.dir = QDir(p.isSet(QStringLiteral("dir")) ? p.value(QStringLiteral("dir")) : QDir::currentPath()).absolutePath();
    QDir().mkpath(c.dir);
    auto num = [&](const char *name, int &v) {
        if (p.isSet(QLatin1String(name)))
            v = p.value(QLatin1String(name)).toInt();
    };
    num("runs", c.runs);
    num("count", c.count);
    num("length", c.size);
    num("baud", c.baud);
    c.sizeMiB = p.value(QStringLiteral("size-mib")).toLongLong();
    for (const QString &s : p.value(QStringLiteral("sizes-mib")).split(QLatin1Char(','), Qt::SkipEmptyParts))
        c.sizesMiB.append(s.toLongLong());

    const QString cmd = p.positionalArguments().first();
    if (cmd == QLatin1String("info")) {
        out(QStringLiteral("Qt %1 (built against %2), build type %3").arg(QLatin1String(qVersion()),
                                                                          QLatin1String(QT_VERSION_STR),
                                                                          QLatin1String(QUILLAN_BUILD_TYPE)));
        return 0;
    }
    if (cmd == QLatin1String("upload"))
        return upload(c);
    if (cmd == QLatin1String("upload-memory"))
        return uploadMemory(c);
    if (cmd == QLatin1String("upload-rate"))
        return uploadRateCmd(c);
    if (cmd == QLatin1String("download"))
        return download(c);
    if (cmd == QLatin1String("download-rate"))
        return downloadRateCmd(c);
    if (cmd == QLatin1String("download-memory"))
        return downloadMemory(c);
    if (cmd == QLatin1String("download-memory-one"))
        return downloadMemoryOne(c);
    err(QStringLiteral("unknown command %1").arg(cmd));
    return 1;
}
