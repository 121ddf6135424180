// quillan-cli run as a process against simulated terminals on real pseudo-terminals.
#include "support/TestFiles.h"
#include "support/ManualTerminal.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <functional>
#include <thread>

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

using simterm::SimTerminal;

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// Run by run: no COM port variable from the caller, settings in dir.
QProcessEnvironment environment(const QTemporaryDir &dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QUILLAN_COM1"));
    env.remove(QStringLiteral("QUILLAN_COM2"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    return env;
}

// With shell, run by sh -c shell with the program and args as "$@", for
// what QProcess cannot do, such as closing a standard stream or passing bytes
// that are no UTF-8.
Run cli(const QStringList &args, const QProcessEnvironment &env, const QString &cwd, const QString &shell = {})
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(cwd);
    if (shell.isEmpty())
        p.start(QStringLiteral(QUILLAN_CLI_PATH), args);
    else
        p.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), shell, QStringLiteral("sh"),
                                                       QStringLiteral(QUILLAN_CLI_PATH)} + args);
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        r.err = "did not finish";
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

std::vector<QByteArray> records(int n)
{
    return simterm::generateRecords(n, 12);
}

QList<QJsonObject> logEntries(const QString &path)
{
    QList<QJsonObject> entries;
    for (const QByteArray &line : readAll(path).split('\n'))
        if (!line.isEmpty())
            entries.append(QJsonDocument::fromJson(line).object());
    return entries;
}

// The record file holds every record the terminal removed, in order, maybe
// one more (saved, its "REMOVE" not taken), and only whole lines.
void verifyDurable(const QByteArray &file, const std::vector<QByteArray> &all, const SimTerminal &term)
{
    const size_t removed = all.size() - term.remainingRecords().size();
    const auto saved = simterm::parseRecordFile(file);
    QVERIFY2(saved.size() == removed || saved.size() == removed + 1,
             qPrintable(QStringLiteral("%1 saved, %2 removed").arg(saved.size()).arg(removed)));
    QCOMPARE(file, recordLines(all, qsizetype(saved.size())));
}

// What the site around collect does to it.
enum class Site { FileRemoved, LogLocked, StderrFull, LogAwayAtHup, CrLfTerminal, NoRoom, StopMidDocking };

} // namespace

class TestCli : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void transfers_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<int>("nakAt");
        QTest::addColumn<int>("silentAfter");
        QTest::addColumn<int>("hangupAfter");
        QTest::addColumn<int>("pauseMs");   // > 0: each reply in three pieces this far apart
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("port");  // empty: the terminal
        QTest::addColumn<QString>("file");  // in the test's folder
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("crlf");     // the terminal ends its replies with CR LF
        QTest::addColumn<QString>("said");  // part of the message

        const QString none;
        const QString missing = QStringLiteral("/nonexistent/tty");
        QTest::newRow("upload completed") << true << 0 << -1 << -1 << 0 << none << none << "r.txt" << 0 << "completed" << 4 << false << QString();
        QTest::newRow("upload nak") << true << 4 << -1 << -1 << 0 << none << none << "r.txt" << 5 << "refused" << 2 << false << QString();
        QTest::newRow("upload silent") << true << 0 << 4 << -1 << 0 << none << none << "r.txt" << 6 << "timeout" << 2 << false
                                       << "no reply: nothing came from the terminal for 0.3 s; 2 records saved in";
        QTest::newRow("upload hang-up") << true << 0 << -1 << 3 << 0 << none << none << "r.txt" << 7 << "lost" << 2 << false << QString();
        QTest::newRow("upload no port") << true << 0 << -1 << -1 << 0 << none << missing << "r.txt" << 4 << "port-error" << 0 << false << QString();
        QTest::newRow("upload no folder") << true << 0 << -1 << -1 << 0 << none << none << "no/r.txt" << 3 << "file-error" << 0 << false << QString();
        // Pieces of a reply 0.5 s apart: more than 0.3 s without a byte.
        QTest::newRow("upload trickle") << true << 0 << -1 << -1 << 500 << none << none << "r.txt" << 6 << "timeout" << 0 << false << QString();
        QTest::newRow("upload append, no port") << true << 0 << -1 << -1 << 0 << "--append" << missing << "r.txt" << 4
                                                << "port-error" << 0 << false << QString();
        // The line feed comes last, so no reply ever ends with CR: the message says what arrived and why.
        QTest::newRow("upload CR LF terminal") << true << 0 << -1 << -1 << 0 << none << none << "r.txt" << 6 << "timeout"
                                               << 0 << true << "\\r\\n\") but no reply ended with CR, and nothing more came for 0.3 s";
        QTest::newRow("download CR LF terminal") << false << 0 << -1 << -1 << 0 << none << none << "d.txt" << 6
                                                 << "timeout" << 0 << true << "terminal that ends its replies with CR LF";
        QTest::newRow("download completed") << false << 0 << -1 << -1 << 0 << none << none << "d.txt" << 0 << "completed" << 4 << false << QString();
        // A download counts the lines the terminal acknowledged.
        QTest::newRow("download nak") << false << 3 << -1 << -1 << 0 << none << none << "d.txt" << 5 << "refused" << 1 << false << QStringLiteral("refused with \"NAK\"");
        QTest::newRow("download silent") << false << 0 << 2 << -1 << 0 << none << none << "d.txt" << 6 << "timeout" << 1 << false << QString();
        QTest::newRow("download hang-up") << false << 0 << -1 << 2 << 0 << none << none << "d.txt" << 7 << "lost" << 1 << false << QString();
        QTest::newRow("download no port") << false << 0 << -1 << -1 << 0 << none << missing << "d.txt" << 4 << "port-error" << 0 << false << QString();
        QTest::newRow("download trickle") << false << 0 << -1 << -1 << 500 << none << none << "d.txt" << 6 << "timeout" << 0 << false << QString();
        QTest::newRow("download no file") << false << 0 << -1 << -1 << 0 << none << none << "none.txt" << 3 << "file-error" << 0 << false << QString();
    }

    // Every exit status of a transfer, what reached the file or the terminal,
    // and the log line that records it.
    void transfers()
    {
        QFETCH(bool, upload);
        QFETCH(int, nakAt);
        QFETCH(int, silentAfter);
        QFETCH(int, hangupAfter);
        QFETCH(int, pauseMs);
        QFETCH(QString, flag);
        QFETCH(QString, port);
        QFETCH(QString, file);
        QFETCH(int, status);
        QFETCH(QString, outcome);
        QFETCH(int, count);
        QFETCH(bool, crlf);
        QFETCH(QString, said);

        QTemporaryDir dir;
        const auto all = records(4);
        simterm::Options opt;
        opt.nakAtReply = nakAt;
        opt.silentAfterReplies = silentAfter;
        opt.hangupAfterReplies = hangupAfter;
        opt.splitPieces = pauseMs > 0 ? 3 : 1;
        opt.pauseBetweenPieces = std::chrono::milliseconds(pauseMs);
        opt.crlfEndings = crlf;
        SimTerminal term(upload ? all : std::vector<QByteArray>{}, opt);
        QVERIFY2(term.isOk(), qPrintable(term.errorString()));
        const QString path = dir.filePath(file);
        if (!upload && file == QLatin1String("d.txt"))
            writeAll(path, recordLines(all));
        const QString log = dir.filePath(QStringLiteral("log.jsonl"));

        QStringList args{upload ? QStringLiteral("upload") : QStringLiteral("download"), QStringLiteral("-p"),
                         port.isEmpty() ? term.slavePath() : port, QStringLiteral("-t"), QStringLiteral("0.3"),
                         QStringLiteral("--log"), log, file};
        if (!flag.isEmpty())
            args.insert(1, flag);
        const Run r = cli(args, environment(dir), dir.path());
        QVERIFY2(r.status == status, r.err.constData());
        QVERIFY(r.err.startsWith("quillan-cli: "));
        QCOMPARE(r.err.count('\n'), 1); // one line: the summary or the error

        const auto entries = logEntries(log);
        QCOMPARE(entries.size(), 1);
        const QJsonObject e = entries.first();
        QCOMPARE(e[QStringLiteral("outcome")].toString(), outcome);
        QCOMPARE(e[QStringLiteral("count")].toInt(), count);
        QCOMPARE(e[QStringLiteral("direction")].toString(), upload ? QStringLiteral("upload") : QStringLiteral("download"));
        QCOMPARE(e[QStringLiteral("file")].toString(), path);
        QCOMPARE(e[QStringLiteral("message")].toString().isEmpty(), status == 0);
        QVERIFY2(e[QStringLiteral("message")].toString().contains(said), r.err.constData());
        QVERIFY2(r.err.contains(said.toUtf8()), r.err.constData());
        QVERIFY(!QDateTime::fromString(e[QStringLiteral("ended")].toString(), Qt::ISODateWithMs).isNull());
        struct stat st{};
        QCOMPARE(::stat(QFile::encodeName(log).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600)); // a new log is its owner's alone

        if (status == 3 || status == 4)
            QCOMPARE(term.messagesReceived(), 0);
        if (upload) {
            // A transfer that did not start, or saved no record in a new file, leaves none.
            QCOMPARE(QFileInfo::exists(path), status != 3 && status != 4 && count > 0);
            if (QFileInfo::exists(path)) {
                verifyDurable(readAll(path), all, term);
                QCOMPARE(simterm::parseRecordFile(readAll(path)).size(), size_t(count));
            }
        } else {
            const auto got = term.downloadedLines();
            QCOMPARE(QList<QByteArray>(got.begin(), got.end()),
                     QList<QByteArray>(all.begin(), all.begin() + std::min<int>(got.size(), count)));
        }
    }

    // A log that is a pipe (a shipper's FIFO, /dev/stdout into jq) takes
    // each line whole, with no sync to ask of it.
    void logIntoAPipe()
    {
        QTemporaryDir dir;
        const auto all = records(3);
        SimTerminal term(all);
        const Run r = cli({QStringLiteral("upload"), QStringLiteral("-p"), term.slavePath(), QStringLiteral("--log"),
                           QStringLiteral("/dev/stdout"), QStringLiteral("r.txt")},
                          environment(dir), dir.path(), QStringLiteral("{ \"$@\"; echo $? >status; } | cat"));
        QCOMPARE(readAll(dir.filePath(QStringLiteral("status"))), QByteArray("0\n"));
        QVERIFY2(r.err.isEmpty() || !r.err.contains("log"), r.err.constData());
        QCOMPARE(QJsonDocument::fromJson(r.out).object()[QStringLiteral("count")].toInt(), 3);
    }

    void logOnAFullDisk_data()
    {
        QTest::addColumn<QString>("log");  // "full": /dev/full; "limit": a file size limit the line crosses; ...
        QTest::addColumn<bool>("opened");  // else refused before anything is sent
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("full disk") << "full" << true << QByteArray("No space left on device");
        QTest::newRow("line crosses the size limit") << "limit" << true << QByteArray("File too large");
        // Anyone who may read a log may lock it: waited for a few seconds, not for ever.
        QTest::newRow("locked by another program") << "locked" << true
                                                   << QByteArray("tst_cli (process {pid}) holds a lock on it");
        QTest::newRow("locked, then SIGTERM") << "locked+term" << true << QByteArray("interrupted while waiting for its lock");
        QTest::newRow("a FIFO no program reads") << "fifo" << false << QByteArray("a pipe (FIFO) that no program reads");
        QTest::newRow("another's link in a sticky folder") << "foreign link" << false << QByteArray("it is not followed");
    }

    // A log line is in the file whole or not at all, and the message gives
    // the system's reason; the transfer itself completed, exit 3. A log that
    // cannot be opened stops the run before anything is sent.
    void logOnAFullDisk()
    {
        QFETCH(QString, log);
        QFETCH(bool, opened);
        QFETCH(QByteArray, said);
        const passwd *nobody = ::getpwnam("nobody");
        if (log == QLatin1String("foreign link") && (::geteuid() != 0 || !nobody))
            QSKIP("giving a link to the user nobody takes root (and that user)");
        QTemporaryDir dir;
        const auto all = records(3);
        SimTerminal term(std::vector<QByteArray>{});
        writeAll(dir.filePath(QStringLiteral("d.txt")), recordLines(all));
        const QString path = log == QLatin1String("full") ? QStringLiteral("/dev/full") : dir.filePath(QStringLiteral("log.jsonl"));
        const QByteArray name = QFile::encodeName(path);
        const QString kept = log == QLatin1String("foreign link") ? dir.filePath(QStringLiteral("kept.jsonl")) : path;
        // Long enough that the port's lock file stays below the size limit.
        const QByteArray earlier = "{\"an earlier run\":\"" + QByteArray(4000, 'x') + "\"}\n";
        if (log != QLatin1String("full") && log != QLatin1String("fifo")) {
            writeAll(kept, earlier);
            QCOMPARE(::chmod(QFile::encodeName(kept).constData(), 0640), 0); // a service's log keeps its mode
        }
        int holder = -1;
        if (log.startsWith(QLatin1String("locked"))) {
            holder = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
            QCOMPARE(::flock(holder, LOCK_EX), 0);
        } else if (log == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        } else if (log == QLatin1String("foreign link")) {
            QVERIFY(QFile::link(kept, path));
            QCOMPARE(::lchown(name.constData(), nobody->pw_uid, nobody->pw_gid), 0);
            QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 01777), 0);
        }
        QProcess p;
        p.setProcessEnvironment(environment(dir));
        p.setWorkingDirectory(dir.path());
        // Room for 40 bytes more: the kernel writes part of the line, then refuses.
        p.setChildProcessModifier([n = earlier.size()] {
            const rlimit limit{rlim_t(n + 40), rlim_t(n + 40)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        QElapsedTimer clock;
        clock.start();
        p.start(QStringLiteral(QUILLAN_CLI_PATH),
                {QStringLiteral("download"), QStringLiteral("-p"), term.slavePath(), QStringLiteral("--log"), path,
                 QStringLiteral("d.txt")});
        if (log == QLatin1String("locked+term")) {
            // The lines sent, the run waits for the lock: a signal ends the wait.
            QVERIFY(spinUntil([&] { return term.downloadedLines().size() == all.size(); }, 10000));
            QTest::qWait(500);
            clock.start();
            ::kill(p.processId(), SIGTERM);
        }
        const bool ended = p.waitForFinished(30000);
        if (holder >= 0)
            ::close(holder);
        QVERIFY(ended);
        QVERIFY(clock.elapsed() < (log == QLatin1String("locked+term") ? 2000 : 15000));
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitCode() == 3, err.constData());
        said.replace("{pid}", QByteArray::number(QCoreApplication::applicationPid()));
        QVERIFY2(err.contains((opened ? "cannot write the log \"" : "cannot open the log \"") + name + "\": ")
                     && err.contains(said),
                 err.constData());
        QCOMPARE(term.downloadedLines().size(), opened ? all.size() : 0);
        if (log != QLatin1String("full") && log != QLatin1String("fifo")) {
            QCOMPARE(readAll(kept), earlier);
            struct stat st{};
            QCOMPARE(::stat(QFile::encodeName(kept).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, mode_t(0640));
        }
    }

    // A folder the user may not write: the system's own reason, not the
    // "No such file" of a later look at the file. Tests run as root, whom
    // no mode stops, so the program runs as the unprivileged user nobody.
    // --force is refused at the start too: its new file could not be made.
    void uploadIntoAFolderNotWritable()
    {
        QTemporaryDir dir;
        SimTerminal term(records(2));
        const QString folder = dir.filePath(QStringLiteral("shelf"));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("shelf")));
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                  | QFile::ReadOther | QFile::ExeOther));
        const passwd *nobody = ::getpwnam("nobody");
        QVERIFY(nobody);
        // A copy of the program where nobody reaches it, wherever the checkout is.
        QTemporaryDir bin;
        const QString program = bin.filePath(QStringLiteral("quillan-cli"));
        QVERIFY(QFile::setPermissions(bin.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(QFile::copy(QStringLiteral(QUILLAN_CLI_PATH), program));
        QProcess p;
        p.setProcessEnvironment(environment(dir));
        p.setWorkingDirectory(QStringLiteral("/"));
        p.setChildProcessModifier([uid = nobody->pw_uid, gid = nobody->pw_gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(99);
        });
        const QString path = folder + QStringLiteral("/r.txt");
        p.start(program, {QStringLiteral("upload"), QStringLiteral("-p"), term.slavePath(), path});
        QVERIFY(p.waitForFinished(30000));
        QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitCode() == 3, err.constData());
        QVERIFY2(err.contains(QStringLiteral("Cannot open \"%1\" for writing: Permission denied.").arg(path).toUtf8()),
                 err.constData());
        writeAll(path, "OLD\r\n");
        p.start(program,
                {QStringLiteral("upload"), QStringLiteral("--force"), QStringLiteral("-p"), term.slavePath(), path});
        QVERIFY(p.waitForFinished(30000));
        err = p.readAllStandardError();
        QVERIFY2(p.exitCode() == 3 && err.contains("cannot be replaced: no new file can be made beside it (Permission denied)"),
                 err.constData());
        QCOMPARE(term.messagesReceived(), 0);
    }

    void existingFile_data()
    {
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("after");  // {new}: the records of this transfer
        QTest::addColumn<QByteArray>("backup");
        QTest::addColumn<QString>("folder");   // "r.txt" or "r.txt.bak" is a folder; r.txt is a "fifo",
                                               // a "link" to real/r.txt, or a link to /dev/stdout ("stdout")
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("refused") << "" << QByteArray("OLD\r\n") << 3 << QByteArray("OLD\r\n") << QByteArray() << QString() << QByteArray();
        // Said where it is wrong: --force cannot help a folder, and a folder
        // in the way of the backup is no fault of FILE.
        QTest::newRow("FILE a folder") << "" << QByteArray() << 3 << QByteArray() << QByteArray() << "r.txt"
                                       << QByteArray("\"r.txt\" for writing: it is a folder; name a file");
        QTest::newRow("FILE a folder, force") << "--force" << QByteArray() << 3 << QByteArray() << QByteArray() << "r.txt"
                                              << QByteArray("\"r.txt\" for writing: it is a folder; name a file");
        QTest::newRow("FILE.bak a folder") << "--force" << QByteArray("OLD\r\n") << 3 << QByteArray("OLD\r\n")
                                           << QByteArray() << "r.txt.bak"
                                           << QByteArray("\"r.txt\" for writing: it cannot be kept as \"r.txt.bak\": that is a folder");
        QTest::newRow("force") << "--force" << QByteArray("OLD\r\n") << 0 << QByteArray("{new}") << QByteArray("OLD\r\n") << QString() << QByteArray();
        QTest::newRow("append") << "--append" << QByteArray("OLD\r\n") << 0 << QByteArray("OLD\r\n{new}") << QByteArray() << QString() << QByteArray();
        QTest::newRow("append, no ending") << "--append" << QByteArray("OLD") << 3 << QByteArray("OLD") << QByteArray() << QString() << QByteArray();
        // The backup is named where it would be: beside the link's target.
        QTest::newRow("refused, FILE a link") << "" << QByteArray("OLD\r\n") << 3 << QByteArray("OLD\r\n") << QByteArray()
                                              << "link" << QByteArray("(keeping it as real/r.txt.bak)");
        // What it is, whatever the flag; and stdout a pipe is one, not "No such file".
        for (const char *flag : {"", "--force", "--append"})
            QTest::addRow("FILE a FIFO %s", flag) << flag << QByteArray() << 3 << QByteArray() << QByteArray() << "fifo"
                                                  << QByteArray("\"r.txt\" for writing: it is a pipe (FIFO), not a regular file");
        QTest::newRow("FILE /dev/stdout, a pipe, append") << "--append" << QByteArray() << 3 << QByteArray() << QByteArray()
                                                          << "stdout" << QByteArray("is a pipe (FIFO), not a regular file");
    }

    // An existing FILE is never overwritten silently; refused, nothing is sent.
    void existingFile()
    {
        QFETCH(QString, flag);
        QFETCH(QByteArray, before);
        QFETCH(int, status);
        QFETCH(QByteArray, after);
        QFETCH(QByteArray, backup);
        QFETCH(QString, folder);
        QFETCH(QByteArray, said);

        QTemporaryDir dir;
        const auto all = records(2);
        SimTerminal term(all);
        const QString path = dir.filePath(QStringLiteral("r.txt"));
        const bool special = folder == QLatin1String("fifo") || folder == QLatin1String("stdout");
        if (folder == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (folder == QLatin1String("stdout"))
            QVERIFY(QFile::link(QStringLiteral("/dev/stdout"), path));
        else if (folder == QLatin1String("link"))
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("real")) && QFile::link(QStringLiteral("real/r.txt"), path));
        else if (!folder.isEmpty())
            QVERIFY(QDir(dir.path()).mkdir(folder));
        if (folder != QLatin1String("r.txt") && !special)
            writeAll(path, before);
        QStringList args{QStringLiteral("upload"), QStringLiteral("-p"), term.slavePath(), QStringLiteral("r.txt")};
        if (!flag.isEmpty())
            args.insert(1, flag);
        const Run r = cli(args, environment(dir), dir.path());
        QVERIFY2(r.status == status, r.err.constData());
        QVERIFY2(r.err.contains(said), r.err.constData());
        if (status != 0)
            QVERIFY2(!r.err.contains("--force") || (flag.isEmpty() && (folder.isEmpty() || folder == QLatin1String("link"))),
                     r.err.constData());
        if (folder == QLatin1String("r.txt"))
            QVERIFY(QFileInfo(path).isDir());
        else if (special)
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{QStringLiteral("r.txt")});
        else
            QCOMPARE(readAll(path), after.replace("{new}", recordLines(all)));
        QCOMPARE(QFileInfo(path + QStringLiteral(".bak")).isFile(), !backup.isEmpty());
        if (!backup.isEmpty())
            QCOMPARE(readAll(path + QStringLiteral(".bak")), backup);
        if (status != 0)
            QCOMPARE(term.messagesReceived(), 0);
    }

    // A replacing run that saves no record leaves FILE and FILE.bak as they
    // were and no temporary file; a new FILE that got no record is removed,
    // so the next plain run is not refused. A replacement keeps FILE's
    // permission bits and, FILE being a symbolic link, replaces its target.
    void runsWithoutARecordLeaveTheFilesAsTheyWere()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("real")));
        const QString target = dir.filePath(QStringLiteral("real/r.txt"));
        const QString path = dir.filePath(QStringLiteral("r.txt"));
        simterm::Options silent;
        silent.silentAfterReplies = 0;
        auto run = [&](const QString &flag, SimTerminal &term) {
            QStringList args{QStringLiteral("upload"), QStringLiteral("-p"), term.slavePath(), QStringLiteral("-t"),
                             QStringLiteral("0.3"), path};
            if (!flag.isEmpty())
                args.insert(1, flag);
            return cli(args, environment(dir), dir.path());
        };
        {
            SimTerminal term({}, silent);
            QCOMPARE(run(QString(), term).status, 6);
            QVERIFY(!QFileInfo::exists(path)); // a new file without a record is not left behind
        }
        QVERIFY(QFile::link(QStringLiteral("real/r.txt"), path));
        const auto six = records(6);
        {
            // No file is made through a link that leads nowhere; nothing is sent.
            SimTerminal term(six);
            const Run r = run(QStringLiteral("--append"), term);
            QVERIFY2(r.status == 3 && r.err.contains("which does not exist"), r.err.constData());
            QVERIFY(!QFileInfo::exists(target));
            QCOMPARE(term.messagesReceived(), 0);
        }
        writeAll(target, "");
        {
            SimTerminal term(six);
            const Run r = run(QStringLiteral("--append"), term); // appends to the link's target
            QVERIFY2(r.status == 0, r.err.constData());
        }
        QCOMPARE(readAll(target), recordLines(six, 6));
        QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0640), 0);
        for (int i = 0; i < 2; ++i) {
            SimTerminal term({}, silent);
            QCOMPARE(run(QStringLiteral("--force"), term).status, 6);
            SimTerminal empty; // OVER at once
            QVERIFY(run(QStringLiteral("--force"), empty).status == 0);
        }
        QCOMPARE(readAll(path), recordLines(six, 6));
        QCOMPARE(QDir(dir.filePath(QStringLiteral("real"))).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("r.txt")});
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System), QStringList{QStringLiteral("r.txt")});

        const auto two = simterm::generateRecords(2, 5);
        SimTerminal term(two);
        const Run r = run(QStringLiteral("--force"), term);
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY(QFileInfo(path).isSymLink());
        QCOMPARE(readAll(target), recordLines(two, 2));
        QCOMPARE(readAll(target + QStringLiteral(".bak")), recordLines(six, 6));
        QCOMPARE(QFileInfo(target).permissions(), QFileInfo(target + QStringLiteral(".bak")).permissions());
        QVERIFY(!QFileInfo(target).permissions().testFlag(QFileDevice::ReadOther));
    }

    // One transfer at a time writes a file: a second quillan-cli into it is
    // refused at the start, naming the file and the program that holds it,
    // and sends and writes nothing.
    void secondUploadIntoALockedFileIsRefused()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("r.txt"));
        writeAll(path, "OLD\r\n");
        SimTerminal first({}, manualTerminal());
        QProcess p;
        p.setProcessEnvironment(environment(dir));
        p.start(QStringLiteral(QUILLAN_CLI_PATH), {QStringLiteral("upload"), QStringLiteral("--append"),
                                                   QStringLiteral("-p"), first.slavePath(), QStringLiteral("-t"),
                                                   QStringLiteral("0"), path});
        QVERIFY(spinUntil([&] { return first.receivedBytes() == "READ\r"; }, 30000));
        for (const QString &flag : {QStringLiteral("--append"), QStringLiteral("--force")}) {
            SimTerminal second(records(2));
            const Run r = cli({QStringLiteral("upload"), flag, QStringLiteral("-p"), second.slavePath(), path},
                              environment(dir), dir.path());
            QVERIFY2(r.status == 3, r.err.constData());
            QVERIFY2(r.err.contains(path.toUtf8()), r.err.constData());
            QVERIFY2(r.err.contains("quillan-cli (process " + QByteArray::number(p.processId()) + ")"),
                     r.err.constData());
            QCOMPARE(second.messagesReceived(), 0);
            QCOMPARE(readAll(path), QByteArray("OLD\r\n"));
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("r.txt")});
        }
        QVERIFY(first.sendRaw("R1\r"));
        QVERIFY(spinUntil([&] { return first.receivedBytes() == "READ\rREMOVE\r"; }, 30000));
        ::kill(p.processId(), SIGTERM);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 130);
        QCOMPARE(readAll(path), QByteArray("OLD\r\nR1\r\n"));
    }

    // -t is the longest time without any byte from the terminal: a reply
    // that takes longer than that to arrive, piece by piece, is waited for.
    void timeOutWaitsForSilence()
    {
        QTemporaryDir dir;
        const auto all = records(1);
        simterm::Options slow;
        slow.splitPieces = 3;
        slow.pauseBetweenPieces = std::chrono::milliseconds(450); // 0.9 s a reply, 0.45 s without a byte
        SimTerminal term(all, slow);
        const Run r = cli({QStringLiteral("upload"), QStringLiteral("-p"), term.slavePath(), QStringLiteral("-t"),
                           QStringLiteral("0.8"), QStringLiteral("slow.txt")},
                          environment(dir), dir.path());
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(readAll(dir.filePath(QStringLiteral("slow.txt"))), recordLines(all, 1));
    }

    // A stop ends a download between two lines: a line that has begun to
    // leave finishes first, unless the terminal stopped taking it (then -t
    // ends it, or a second Ctrl-C at once). Only the lines it acknowledged
    // count, and the words say what the terminal may hold.
    void downloadStopsBetweenLines_data()
    {
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<bool>("stalls");
        QTest::addColumn<int>("interrupts");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("stalled, -t 0.5") << "0.5" << true << 0 << 6 << QByteArray("stopped taking data");
        QTest::newRow("stalled, no limit, Ctrl-C twice") << "0" << true << 2 << 130 << QByteArray("part of that line");
        QTest::newRow("stalled, Ctrl-C once, -t 1 ends it") << "1" << true << 1 << 130 << QByteArray("part of that line");
        QTest::newRow("moving, Ctrl-C once: the line finishes")
            << "5" << false << 1 << 130 << QByteArray("letting the line that is leaving finish");
    }
    void downloadStopsBetweenLines()
    {
        QFETCH(QString, timeout);
        QFETCH(bool, stalls);
        QFETCH(int, interrupts);
        QFETCH(int, status);
        QFETCH(QByteArray, said);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("long.txt"));
        const QByteArray line(stalls ? 1 << 20 : 300000, 'x');
        writeAll(path, line + "\r\n" + line + "\r\n");
        const QString log = dir.filePath(QStringLiteral("log.jsonl"));
        simterm::Options o;
        if (stalls)
            o.stopReadingAfterBytes = 5 + 1000;
        else
            o.baud = 1000000; // the line takes 3 s to leave: far more than a close waits for
        SimTerminal term({}, o);
        QProcess p;
        p.setProcessEnvironment(environment(dir));
        p.start(QStringLiteral(QUILLAN_CLI_PATH), {QStringLiteral("download"), QStringLiteral("-p"), term.slavePath(),
                                                   QStringLiteral("-t"), timeout, QStringLiteral("--log"), log, path});
        if (interrupts > 0) {
            QVERIFY(spinUntil([&] { return term.receivedBytes().size() >= 5 + 1000; }, 30000));
            ::kill(p.processId(), SIGINT);
            if (interrupts == 2) {
                QVERIFY(!p.waitForFinished(1500)); // no limit: the stuck line is waited for
                ::kill(p.processId(), SIGINT);
            }
        }
        QVERIFY(p.waitForFinished(30000));
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitCode() == status, err.constData());
        QVERIFY2(err.contains(said), err.constData());
        if (status == 6)
            QVERIFY2(err.contains("acknowledged: 0"), err.constData());
        // The line that was leaving reached the terminal whole, and nothing after it.
        if (!stalls) {
            QTRY_VERIFY(term.downloadedLines() == std::vector<QByteArray>{line});
            QCOMPARE(term.receivedBytes().size(), 5 + line.size() + 1);
        }
        // Stopped, the line that left whole is answered before the port closes.
        const auto entries = logEntries(log);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first()[QStringLiteral("count")].toInt(), stalls ? 0 : 1);
    }

    // A terminal, cable or plug that answers what it was not asked: the
    // reply is neither saved nor answered, exit 5 with the core's words
    // naming it and its likely cause, and the file holds exactly the records
    // the terminal let go of.
    void unaskedReplyExitsFive_data()
    {
        QTest::addColumn<std::function<void(simterm::Options &)>>("misbehave");
        QTest::addColumn<int>("removed");
        QTest::addColumn<QByteArray>("named");
        using O = simterm::Options;
        QTest::newRow("every reply twice") << std::function([](O &o) { o.doubleReplies = true; }) << 0
                                           << QByteArray("not saved and not answered");
        QTest::newRow("NEXT corrupted") << std::function([](O &o) { o.corruptAtReply = 4; }) << 2
                                        << QByteArray("\"NEXU\"");
        QTest::newRow("echo on in the terminal") << std::function([](O &o) { o.echo = true; }) << 0
                                                 << QByteArray("echo is turned on in the terminal");
        QTest::newRow("echo with its CR turned into LF") << std::function([](O &o) { o.echoCrAsLf = o.echo = true; })
                                                         << 0 << QByteArray("(\"READ\\n");
        QTest::newRow("a loopback plug") << std::function([](O &o) { o.echo = true; o.silentAfterReplies = 0; }) << 0
                                         << QByteArray("a loopback plug");
        QTest::newRow("a lone CR before the second record")
            << std::function([](O &o) { o.loneCrAtReply = 3; }) << 1 << QByteArray("an empty reply (a CR alone");
        QTest::newRow("NEXT answers READ") << std::function([](O &o) { o.nakAtReply = 1; o.sayText = "NEXT"; }) << 0
                                           << QByteArray("answered \"READ\" with \"NEXT\"");
        QTest::newRow("a reply without end") << std::function([](O &o) { o.endlessAtReply = 1; }) << 0
                                             << QByteArray("More than 16 MiB came from the terminal");
    }
    void unaskedReplyExitsFive()
    {
        QFETCH(std::function<void(simterm::Options &)>, misbehave);
        QFETCH(int, removed);
        QFETCH(QByteArray, named);
        QTemporaryDir dir;
        const auto all = records(4);
        simterm::Options o;
        misbehave(o);
        SimTerminal term(all, o);
        const QString log = dir.filePath(QStringLiteral("log.jsonl"));
        const Run r = cli({QStringLiteral("upload"), QStringLiteral("-p"), term.slavePath(), QStringLiteral("--log"), log,
                           QStringLiteral("r.txt")},
                          environment(dir), dir.path());
        QVERIFY2(r.status == 5, r.err.constData());
        QVERIFY2(r.err.contains(named), r.err.constData());
        QCOMPARE(logEntries(log).first()[QStringLiteral("outcome")].toString(), QStringLiteral("refused"));
        QCOMPARE(readAll(dir.filePath(QStringLiteral("r.txt"))),
                 removed ? recordLines(all, removed) : QByteArray("<cannot read ") + QFile::encodeName(dir.filePath(QStringLiteral("r.txt"))) + ">");
        QCOMPARE(term.remainingRecords().size(), all.size() - removed);
    }

    void usage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");  // part of what is said on standard error
        QTest::newRow("no command") << QStringList{} << 2 << QByteArray() << QByteArray();
        QTest::newRow("unknown command") << QStringList{"fetch", "x"} << 2 << QByteArray() << QByteArray();
        QTest::newRow("unknown option") << QStringList{"upload", "--zap", "x"} << 2 << QByteArray() << QByteArray();
        QTest::newRow("no FILE") << QStringList{"upload", "-p", "/dev/null"} << 2 << QByteArray() << QByteArray();
        QTest::newRow("empty FILE") << QStringList{"upload", ""} << 2 << QByteArray() << QByteArray("FILE is empty");
        QTest::newRow("upload to -") << QStringList{"upload", "-"} << 2 << QByteArray() << QByteArray("standard output");
        QTest::newRow("FILE beginning with -")
            << QStringList{"upload", "-t", "1", "-records.txt"} << 2 << QByteArray()
            << QByteArray("goes after \"--\": quillan-cli upload [OPTIONS] -- -records.txt");
        QTest::newRow("two FILEs") << QStringList{"download", "a", "b"} << 2 << QByteArray() << QByteArray();
        QTest::newRow("a time-out past the limit") << QStringList{"upload", "-t", "99999999999", "x"} << 2 << QByteArray()
                                                   << QByteArray("--timeout takes seconds from 0 to 2000000");
        QTest::newRow("collect: no time-out is no poll") << QStringList{"collect", "-t", "0", "x"} << 2 << QByteArray()
                                                         << QByteArray("--timeout takes seconds from 0.001");
        QTest::newRow("collect: FILE -") << QStringList{"collect", "-"} << 2 << QByteArray()
                                         << QByteArray("collect writes the records to a file");
        QTest::newRow("collect: {date} in the folder") << QStringList{"collect", "days/{date}/r.txt"} << 2 << QByteArray()
                                                       << QByteArray("not in its folder");
        QTest::newRow("ports without {port}") << QStringList{"upload", "-p", "a", "-p", "b", "x"} << 2 << QByteArray()
                                              << QByteArray();
        QTest::newRow("download two ports") << QStringList{"download", "-p", "a", "-p", "b", "{port}"} << 2
                                            << QByteArray() << QByteArray();
        // One line, one transfer: names are compared by the device they lead to.
        QTest::newRow("one device, two names")
            << QStringList{"upload", "-p", "/dev/null", "-p", "/dev/../dev/null", "x-{port}"} << 2 << QByteArray()
            << QByteArray("-p /dev/null and -p /dev/../dev/null are the same device, /dev/null");
        QTest::newRow("COM port and its device")
            << QStringList{"upload", "-p", "COM2", "-p", "/dev/ttyS1", "x-{port}"} << 2 << QByteArray()
            << QByteArray("-p COM2 and -p /dev/ttyS1 are the same device");
        QTest::newRow("force and append") << QStringList{"upload", "--force", "--append", "x"} << 2 << QByteArray()
                                          << QByteArray();
        QTest::newRow("bad time-out") << QStringList{"upload", "-t", "-1", "x"} << 2 << QByteArray() << QByteArray();
        QTest::newRow("COM256") << QStringList{"upload", "-p", "COM256", "x"} << 2 << QByteArray()
                                << QByteArray("COM1 to COM255");
        QTest::newRow("assign COM256") << QStringList{"ports", "--assign", "COM256", "/dev/tty"} << 2 << QByteArray()
                                       << QByteArray("COM1 to COM255");
        QTest::newRow("assign without device") << QStringList{"ports", "--assign", "COM2"} << 2 << QByteArray()
                                               << QByteArray();
        QTest::newRow("assign no serial port") << QStringList{"ports", "--assign", "COM3", "/dev/null"} << 2
                                               << QByteArray() << QByteArray("/dev/null is not a serial port");
        // Terminals of a sort, but no serial line.
        QTest::newRow("assign /dev/tty") << QStringList{"ports", "--assign", "COM3", "/dev/tty"} << 2 << QByteArray()
                                         << QByteArray("/dev/tty is not a serial port: it is the terminal of");
        QTest::newRow("assign /dev/ptmx") << QStringList{"ports", "--assign", "COM3", "/dev/ptmx"} << 2 << QByteArray()
                                          << QByteArray("/dev/ptmx is not a serial port");
        QTest::newRow("assign, a line break in the name") << QStringList{"ports", "--assign", "COM3", "/\n/.."} << 2
                                                          << QByteArray() << QByteArray("cannot assign /\\n/..: / is not");
        QTest::newRow("assign /dev/console") << QStringList{"ports", "--assign", "COM3", "/dev/console"} << 2
                                             << QByteArray() << QByteArray("/dev/console is not a serial port");
        // A name Qt would read as another one (U+FFFD for the byte): refused before any port or file is opened.
        QTest::newRow("FILE not UTF-8") << QStringList{"upload", "--append", "-p", "/nonexistent/tty", "caf\\351.txt"}
                                        << 2 << QByteArray() << QByteArray("\"caf\\xe9.txt\" is not valid in the locale's encoding");
        QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("quillan-cli 1.00\n") << QByteArray();
        QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("Usage:") << QByteArray();
    }

    // Usage errors exit 2 before any file or port is touched.
    void usage()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QTemporaryDir dir;
        // Each argument as printf %b gives it: "\351" is the byte 0xE9, which no QString can pass.
        const Run r = cli(args, environment(dir), dir.path(),
                          QStringLiteral("p=$1; shift; for a do shift; set -- \"$@\" \"$(printf %b \"$a\")\"; done; "
                                         "exec \"$p\" \"$@\""));
        QVERIFY2(r.status == status, r.err.constData());
        QVERIFY(r.out.startsWith(out));
        QCOMPARE(r.err.startsWith("quillan-cli: "), status != 0);
        QVERIFY2(r.err.contains(err), r.err.constData());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("config/quillan/ports.conf"))));
    }

    void interrupt_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("status");
        QTest::newRow("SIGINT") << SIGINT << 130;
        QTest::newRow("SIGTERM") << SIGTERM << 130;
        QTest::newRow("SIGHUP") << SIGHUP << 129; // the SSH session closed
    }

    // A signal ends the transfer between two messages: every removed record
    // is in the file, whole lines only, the log line written, exit 130 (129
    // for SIGHUP); a second signal is harmless.
    void interrupt()
    {
        QFETCH(int, signal);
        QFETCH(int, status);
        QTemporaryDir dir;
        const auto all = records(5000);
        simterm::Options opt;
        opt.replyDelay = std::chrono::milliseconds(1);
        SimTerminal term(all, opt);
        const QString path = dir.filePath(QStringLiteral("r.txt"));
        const QString log = dir.filePath(QStringLiteral("log.jsonl"));
        QProcess p;
        p.setProcessEnvironment(environment(dir));
        p.start(QStringLiteral(QUILLAN_CLI_PATH), {QStringLiteral("upload"), QStringLiteral("-p"), term.slavePath(),
                                                   QStringLiteral("--log"), log, path});
        QVERIFY(spinUntil([&] { return term.repliesSent() >= 100; }, 30000));
        ::kill(p.processId(), signal);
        ::kill(p.processId(), signal); // a second one, as an impatient user sends it
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), status);
        QVERIFY(!term.remainingRecords().empty()); // it really was stopped midway
        verifyDurable(readAll(path), all, term);
        const auto entries = logEntries(log);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first()[QStringLiteral("outcome")].toString(), QStringLiteral("interrupted"));
    }

    // collect, left running while a terminal is out of its cradle, docks,
    // and its adapter is pulled in mid-upload and plugged back: nothing is
    // made while nothing docks, every record lands once (the one whose
    // "REMOVE" went unanswered may come twice, and the log names it), and
    // SIGTERM ends it between two messages with exit 0.
    void collectFromACradle()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("cradle"));
        const QString log = dir.filePath(QStringLiteral("collect.jsonl"));
        const auto first = simterm::generateRecords(20, 12);
        const auto second = simterm::generateRecords(30, 14);
        simterm::Options o;
        o.linkPath = link;
        o.docked = false;
        auto term = std::make_unique<SimTerminal>(first, o);
        // A service manager's notification socket, and standard error as the journal's stream.
        const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray socketPath = QFile::encodeName(dir.filePath(QStringLiteral("notify")));
        std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
        QVERIFY(::bind(notify, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        // Read as a manager reads it, at once: a full queue would hold the sender.
        QByteArray heard;
        const timeval tick{0, 100'000};
        ::setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        std::atomic<bool> listening{true};
        std::thread manager([&] {
            char datagram[256];
            while (listening) {
                const ssize_t n = ::recv(notify, datagram, sizeof datagram, 0);
                if (n > 0)
                    heard += QByteArray(datagram, n) + ';';
            }
        });
        const auto hangUp = [&] {
            listening = false;
            if (manager.joinable())
                manager.join();
        };
        const auto atEnd = qScopeGuard(hangUp);
        QProcessEnvironment env = environment(dir);
        env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(socketPath));
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral("sh"),
                {QStringLiteral("-c"), QStringLiteral("export JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr); exec \"$0\" \"$@\""),
                 QStringLiteral(QUILLAN_CLI_PATH), QStringLiteral("collect"), QStringLiteral("-p"), link, QStringLiteral("--interval"), QStringLiteral("0.1"),
                 QStringLiteral("--rest"), QStringLiteral("0.3"), QStringLiteral("-t"), QStringLiteral("0.3"),
                 QStringLiteral("--log"), log, QStringLiteral("rec-{port}-{date}.txt")});
        QVERIFY(spinUntil([&] { return term->messagesReceived() >= 3; }, 10000)); // polled, unheard
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("rec-*")}, QDir::Files), QStringList());

        term->setDocked(true);
        QVERIFY(spinUntil([&] { return term->remainingRecords().empty() && term->uploadDone(); }, 10000));
        // Pulled, then another terminal plugged in where it was, whose adapter
        // is pulled after its sixth record went out; then it comes back.
        term->hangUpNow();
        QVERIFY(spinUntil([&] { return !QFileInfo::exists(link) && readAll(log).contains("device gone"); }, 10000));
        o.docked = true;
        o.hangupAfterReplies = 11;
        term = std::make_unique<SimTerminal>(second, o);
        QVERIFY(spinUntil([&] { return term->hungUp(); }, 10000));
        const auto left = term->remainingRecords();
        QVERIFY(!left.empty());
        o.hangupAfterReplies = -1;
        term = std::make_unique<SimTerminal>(left, o);
        QVERIFY(spinUntil([&] { return term->remainingRecords().empty() && term->uploadDone(); }, 10000));
        QVERIFY(spinUntil([&] { return term->messagesReceived() >= 5; }, 10000)); // "DONE", and polls with nothing to give

        // The log rotated: SIGHUP, and collection goes on into a new one.
        QVERIFY(QFile::rename(log, log + QStringLiteral(".1")));
        ::kill(p.processId(), SIGHUP);
        QVERIFY(spinUntil([&] { return readAll(log).contains("log reopened"); }, 10000));
        ::kill(p.processId(), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, err.constData());
        for (const char *said : {"docked", "uploaded 20 records", "device gone", "device back", "collection stopped"})
            QVERIFY2(err.contains(said), err.constData());
        const QList<QByteArray> files = {"rec-cradle-" + QDate::currentDate().toString(Qt::ISODate).toLatin1() + ".txt"};
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("rec-*")}, QDir::Files), QStringList{QString::fromLatin1(files[0])});
        // The one record whose REMOVE went unanswered may be there twice, and only it.
        QByteArray unconfirmed;
        for (const QJsonObject &e : logEntries(log + QStringLiteral(".1"))) {
            if (e[QStringLiteral("unconfirmed")].toBool())
                unconfirmed = second[e[QStringLiteral("count")].toInt() - 1];
        }
        QByteArray expected = recordLines(first) + recordLines(second);
        const QByteArray got = readAll(dir.filePath(QString::fromLatin1(files[0])));
        if (!unconfirmed.isEmpty() && got.size() > expected.size())
            expected.insert(expected.indexOf(unconfirmed + "\r\n") + unconfirmed.size() + 2, unconfirmed + "\r\n");
        QCOMPARE(got, expected);
        // What the service manager heard, in order; and the journal each line's priority.
        hangUp();
        ::close(notify);
        QVERIFY2(heard.startsWith("READY=1;") && heard.contains("WATCHDOG=1;") && heard.endsWith("STOPPING=1;"),
                 heard.constData());
        // The journal names the program itself; a folded message keeps no indent.
        QVERIFY2(err.contains("<6>collecting") && err.contains("<4>") && !err.contains("quillan-cli:")
                     && !err.contains("  "),
                 err.constData());
    }

    // What a site does around collect: files taken away, a log a reader
    // locks, standard error nobody reads, a log folder away at SIGHUP, a
    // terminal ending its replies with CR LF, a full disk, and a stop in
    // mid-docking. Every record stays in a file or on the terminal, once,
    // and SIGTERM is obeyed at once with exit 0.
    void collectAgainstTheSite_data()
    {
        QTest::addColumn<Site>("site");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("the records file removed mid-docking") << Site::FileRemoved << QByteArray("removed or renamed");
        QTest::newRow("a reader locks the log") << Site::LogLocked << QByteArray();
        QTest::newRow("standard error a full pipe") << Site::StderrFull << QByteArray();
        QTest::newRow("SIGHUP while the log's folder is away, then back")
            << Site::LogAwayAtHup << QByteArray("cannot open the log");
        QTest::newRow("a CR LF terminal, told once") << Site::CrLfTerminal << QByteArray("with CR LF never completes");
        QTest::newRow("no room for the first record") << Site::NoRoom << QByteArray("could not be saved");
        QTest::newRow("stopped mid-docking") << Site::StopMidDocking << QByteArray("stopped;");
    }
    void collectAgainstTheSite()
    {
        QFETCH(Site, site);
        QFETCH(QByteArray, said);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("logs")));
        const QString log = dir.filePath(QStringLiteral("logs/collect.jsonl"));
        const QString file = dir.filePath(QStringLiteral("rec.txt"));
        const QString kept = dir.filePath(QStringLiteral("kept.txt"));
        // NoRoom: a file size limit that lets the port's lock file be made, and no 2 KB record be saved.
        const auto all = site == Site::NoRoom ? simterm::generateRecords(40, 2000)
                                              : records(site == Site::StopMidDocking || site == Site::FileRemoved ? 400 : 40);
        simterm::Options o;
        o.replyDelay = std::chrono::milliseconds(2);
        o.crlfEndings = site == Site::CrLfTerminal;
        SimTerminal term(all, o);
        writeAll(log, "");
        // A reader's shared lock, and a pipe already full that nobody reads.
        QFile reader(log);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        if (site == Site::LogLocked)
            QCOMPARE(::flock(reader.handle(), LOCK_SH), 0);
        const QString fifo = dir.filePath(QStringLiteral("stderr"));
        int full = -1;
        if (site == Site::StderrFull) {
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
            full = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
            while (::write(full, "x", 1) == 1) {}
        }
        const auto closeFull = qScopeGuard([full] { if (full >= 0) ::close(full); });
        const QString shell = site == Site::StderrFull ? QStringLiteral("exec \"$@\" 2>\"%1\"").arg(fifo)
                              : site == Site::NoRoom   ? QStringLiteral("ulimit -f 1; exec \"$@\"")
                                                       : QStringLiteral("exec \"$@\"");
        QProcess p;
        p.setProcessEnvironment(environment(dir));
        p.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), shell, QStringLiteral("sh"), QStringLiteral(QUILLAN_CLI_PATH),
                 QStringLiteral("collect"), QStringLiteral("-p"), term.slavePath(), QStringLiteral("--interval"),
                 QStringLiteral("0.1"), QStringLiteral("-t"), QStringLiteral("0.3"), QStringLiteral("--log"), log, file});
        const auto removed = [&] { return all.size() - term.remainingRecords().size(); };
        switch (site) {
        case Site::FileRemoved:
            // Seen through a hard link: what was written to the file it was.
            QVERIFY(spinUntil([&] { return removed() >= 20; }, 30000));
            QCOMPARE(::link(QFile::encodeName(file).constData(), QFile::encodeName(kept).constData()), 0);
            QVERIFY(QFile::remove(file));
            QVERIFY(spinUntil([&] { return term.remainingRecords().empty(); }, 30000));
            break;
        case Site::LogAwayAtHup:
            QVERIFY(spinUntil([&] { return term.remainingRecords().empty(); }, 30000));
            QVERIFY(QDir(dir.filePath(QStringLiteral("logs"))).removeRecursively());
            ::kill(p.processId(), SIGHUP);
            QTest::qWait(500);
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("logs")));
            ::kill(p.processId(), SIGHUP);
            QVERIFY(spinUntil([&] { return readAll(log).contains("log reopened"); }, 10000));
            break;
        case Site::CrLfTerminal:
            QVERIFY(spinUntil([&] { return term.messagesReceived() >= 6; }, 30000)); // polled again and again
            break;
        case Site::NoRoom:
            QVERIFY(spinUntil([&] { return term.messagesReceived() >= 3; }, 30000));
            break;
        case Site::StopMidDocking:
        case Site::LogLocked:
        case Site::StderrFull:
            QVERIFY(spinUntil([&] { return removed() >= 20; }, 30000));
            break;
        }
        ::kill(p.processId(), SIGTERM);
        QVERIFY2(p.waitForFinished(8000), "SIGTERM was not obeyed within 8 s");
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, err.constData());
        QVERIFY2((err + readAll(log)).contains(said), err.constData());
        // Every record the terminal let go of is in a file, once and in order.
        QByteArray saved = readAll(kept);
        if (saved.startsWith('<'))
            saved.clear();
        if (QFileInfo::exists(file))
            saved += readAll(file);
        QCOMPARE(simterm::parseRecordFile(saved).size() - removed() <= 1, true);
        QCOMPARE(saved, recordLines(all, qsizetype(simterm::parseRecordFile(saved).size())));
        const auto entries = logEntries(log);
        switch (site) {
        case Site::FileRemoved:
            QVERIFY(QFileInfo::exists(file) && QFileInfo::exists(kept));
            QVERIFY(term.remainingRecords().empty());
            break;
        case Site::CrLfTerminal:
            QCOMPARE(err.count("CR LF"), 1);
            break;
        case Site::NoRoom:
            QVERIFY(!QFileInfo::exists(file));
            QCOMPARE(removed(), size_t(0));
            break;
        case Site::StopMidDocking:
            QVERIFY(!term.remainingRecords().empty());
            QCOMPARE(entries.last()[QStringLiteral("outcome")].toString(), QStringLiteral("interrupted"));
            QCOMPARE(qsizetype(entries.last()[QStringLiteral("count")].toInt()), simterm::parseRecordFile(saved).size());
            break;
        case Site::LogLocked:
        case Site::StderrFull:
        case Site::LogAwayAtHup:
            break;
        }
    }

    // Twelve cradles under a limit of 30 open files: the ports that fit are
    // watched, the others are said not to be (no abort, no "in use"), and
    // collect goes on until SIGTERM.
    void collectBeyondTheOpenFileLimit()
    {
        QTemporaryDir dir;
        std::vector<std::unique_ptr<SimTerminal>> terms;
        QStringList args{QStringLiteral("collect"), QStringLiteral("-t"), QStringLiteral("0.3"),
                         QStringLiteral("--interval"), QStringLiteral("0.1")};
        for (int i = 0; i < 12; ++i) {
            terms.push_back(std::make_unique<SimTerminal>(records(3)));
            args << QStringLiteral("-p") << terms.back()->slavePath();
        }
        QProcess p;
        p.setProcessEnvironment(environment(dir));
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), QStringLiteral("ulimit -n 30; exec \"$@\""),
                                                       QStringLiteral("sh"), QStringLiteral(QUILLAN_CLI_PATH)}
                                               + args + QStringList{QStringLiteral("r-{port}.txt")});
        QVERIFY(spinUntil([&] { return terms.front()->remainingRecords().empty(); }, 30000));
        ::kill(p.processId(), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, err.constData());
        QVERIFY2(err.contains("not watched: too many open files") && !err.contains("in use"), err.constData());
        QVERIFY(terms.back()->receivedBytes().isEmpty());
    }

    void twoTerminals_data()
    {
        QTest::addColumn<int>("nakFirst");
        QTest::addColumn<int>("nakSecond");
        QTest::addColumn<int>("hangupSecond");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("shell");
        QTest::newRow("both complete") << 0 << 0 << -1 << 0 << QString();
        QTest::newRow("second refuses") << 0 << 2 << -1 << 5 << QString();
        // The status is the first failed port's in the order given.
        QTest::newRow("both fail") << 2 << 0 << 3 << 5 << QString();
        // A careless cron line: no summary may reach the signal pipe.
        QTest::newRow("standard streams closed") << 0 << 0 << -1 << 0 << QStringLiteral("exec \"$@\" <&- >&- 2>&-");
    }

    // Several -p run at once, each into FILE with {port} replaced by the
    // name of the port as given (here a symlink's own name).
    void twoTerminals()
    {
        QFETCH(int, nakFirst);
        QFETCH(int, nakSecond);
        QFETCH(int, hangupSecond);
        QFETCH(int, status);
        QFETCH(QString, shell);
        QTemporaryDir dir;
        const auto a = records(30);
        const auto b = simterm::generateRecords(20, 7);
        simterm::Options oa, ob;
        oa.linkPath = dir.filePath(QStringLiteral("left"));
        ob.linkPath = dir.filePath(QStringLiteral("right"));
        oa.nakAtReply = nakFirst;
        ob.nakAtReply = nakSecond;
        ob.hangupAfterReplies = hangupSecond;
        SimTerminal ta(a, oa), tb(b, ob);
        QStringList args{QStringLiteral("upload"), QStringLiteral("-p"), oa.linkPath, QStringLiteral("-p"),
                         ob.linkPath, QStringLiteral("out-{port}.txt")};
        // -q: errors only; into closed streams, the summaries are written all the same.
        if (shell.isEmpty())
            args.insert(1, QStringLiteral("-q"));
        const Run r = cli(args, environment(dir), dir.path(), shell);
        QVERIFY2(r.status == status, r.err.constData());
        QCOMPARE(r.err.isEmpty(), status == 0);
        verifyDurable(readAll(dir.filePath(QStringLiteral("out-left.txt"))), a, ta);
        verifyDurable(readAll(dir.filePath(QStringLiteral("out-right.txt"))), b, tb);
        QCOMPARE(ta.remainingRecords().empty(), nakFirst == 0);
        QCOMPARE(tb.remainingRecords().empty(), nakSecond == 0 && hangupSecond < 0);
    }

    void downloadFromAStream_data()
    {
        QTest::addColumn<bool>("pipe");  // a named pipe as FILE (process substitution); else "-"
        QTest::newRow("standard input") << false;
        QTest::newRow("named pipe") << true;
    }

    // "download -" reads standard input, and a pipe named as FILE is read
    // too; the line endings are decided for all of it, as for a file (here a
    // Linux price list with one line pasted from elsewhere).
    void downloadFromAStream()
    {
        QFETCH(bool, pipe);
        QTemporaryDir dir;
        SimTerminal term(std::vector<QByteArray>{});
        const QByteArray text("A1;10\nB2;20\nC3;30\r\nD4;40\n");
        const QString fifo = dir.filePath(QStringLiteral("prices"));
        if (pipe)
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString log = dir.filePath(QStringLiteral("log.jsonl"));
        QProcess p;
        p.setProcessEnvironment(environment(dir));
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral(QUILLAN_CLI_PATH), {QStringLiteral("download"), QStringLiteral("-p"), term.slavePath(),
                                                   QStringLiteral("--log"), log, pipe ? fifo : QStringLiteral("-")});
        QVERIFY(p.waitForStarted());
        if (pipe) {
            // Opened without blocking: a program that never reads it must fail the test, not hang it.
            int fd = -1;
            QVERIFY(spinUntil(
                [&] { return fd >= 0 || (fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK)) >= 0; },
                30000));
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            QCOMPARE(::write(fd, text.constData(), size_t(text.size())), ssize_t(text.size()));
            ::close(fd);
        } else {
            QCOMPARE(p.write(text), text.size());
            p.closeWriteChannel();
        }
        const bool ended = p.waitForFinished(10000);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(ended, err.constData());
        QVERIFY2(p.exitCode() == 0, err.constData());
        const auto got = term.downloadedLines();
        QCOMPARE(QList<QByteArray>(got.begin(), got.end()), (QList<QByteArray>{"A1;10", "B2;20", "C3;30", "D4;40"}));
        QVERIFY2(err.contains(pipe ? fifo.toUtf8() : QByteArray("4 lines sent from standard input")), err.constData());
        QCOMPARE(logEntries(log).first()[QStringLiteral("file")].toString(), pipe ? fifo : QStringLiteral("-"));
        QCOMPARE(QDir::temp().entryList({QStringLiteral("quillan-cli-*")}), QStringList()); // no copy left behind
    }

    // A second quillan-cli on the same device under another name is refused
    // (CI runs as root, whom TIOCEXCL does not stop), naming the holder; the
    // first transfer goes on untouched.
    void secondProgramOnOneDeviceIsRefused()
    {
        QTemporaryDir dir;
        const auto all = records(400);
        simterm::Options opt;
        opt.replyDelay = std::chrono::milliseconds(2);
        opt.linkPath = dir.filePath(QStringLiteral("dock"));
        SimTerminal term(all, opt);
        QProcess first;
        first.setProcessEnvironment(environment(dir));
        first.setWorkingDirectory(dir.path());
        first.start(QStringLiteral(QUILLAN_CLI_PATH), {QStringLiteral("upload"), QStringLiteral("-p"), term.slavePath(),
                                                       QStringLiteral("-q"), QStringLiteral("first.txt")});
        QVERIFY(spinUntil([&] { return term.repliesSent() >= 5; }, 30000));
        const Run r = cli({QStringLiteral("upload"), QStringLiteral("-p"), opt.linkPath, QStringLiteral("second.txt")},
                          environment(dir), dir.path());
        QCOMPARE(r.status, 4);
        QVERIFY2(r.err.contains(QStringLiteral("is in use by quillan-cli (process %1: ").arg(first.processId()).toUtf8()),
                 r.err.constData());
        QVERIFY2(!r.err.contains("window"), r.err.constData());
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("second.txt"))));
        QVERIFY(first.waitForFinished(60000));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(readAll(dir.filePath(QStringLiteral("first.txt"))), recordLines(all));
    }

    // A lasting assignment makes COM2 reach the terminal; QUILLAN_COM2 still
    // overrides it; --clear gives the default back.
    void portAssignment()
    {
        QTemporaryDir dir;
        const auto all = records(3);
        SimTerminal term(all);
        QProcessEnvironment env = environment(dir);
        Run r = cli({QStringLiteral("ports"), QStringLiteral("--assign"), QStringLiteral("COM2"), term.slavePath()},
                    env, dir.path());
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains(term.slavePath().toUtf8()), r.out.constData());

        QProcessEnvironment overridden = env;
        overridden.insert(QStringLiteral("QUILLAN_COM2"), QStringLiteral("/nonexistent/tty"));
        r = cli({QStringLiteral("upload"), QStringLiteral("-p"), QStringLiteral("COM2"), QStringLiteral("a.txt")},
                overridden, dir.path());
        QCOMPARE(r.status, 4);
        QVERIFY2(r.err.contains("COM2 (/nonexistent/tty)"), r.err.constData());
        QCOMPARE(term.messagesReceived(), 0);

        r = cli({QStringLiteral("upload"), QStringLiteral("-p"), QStringLiteral("COM2"), QStringLiteral("a.txt")}, env,
                dir.path());
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(readAll(dir.filePath(QStringLiteral("a.txt"))), recordLines(all));

        // A bare name is its /dev device, warned about only when that is missing.
        r = cli({QStringLiteral("ports"), QStringLiteral("--assign"), QStringLiteral("COM3"), QStringLiteral("ttyS0")},
                env, dir.path());
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(r.err.contains("does not exist"), !QFileInfo::exists(QStringLiteral("/dev/ttyS0")));

        r = cli({QStringLiteral("ports"), QStringLiteral("--json")}, env, dir.path());
        QCOMPARE(r.status, 0);
        QVERIFY(QJsonDocument::fromJson(r.out).isArray());

        r = cli({QStringLiteral("ports"), QStringLiteral("--assign"), QStringLiteral("COM2"), QStringLiteral("--clear")},
                env, dir.path());
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains("/dev/ttyS1"), r.out.constData());
        r = cli({QStringLiteral("upload"), QStringLiteral("-p"), QStringLiteral("COM2"), QStringLiteral("b.txt")}, env,
                dir.path());
        QVERIFY2(r.err.contains("COM2 (/dev/ttyS1)"), r.err.constData());
    }

    // Any COMn, assigned by a name relative to where the command ran, reaches
    // the same terminal from any other folder (cron); `ports` says what
    // every COM port means.
    void anyComPortFromAnyFolder()
    {
        QTemporaryDir dir;
        const auto all = records(3);
        SimTerminal term(all);
        const QProcessEnvironment env = environment(dir);
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("cradles")));
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("elsewhere")));
        QVERIFY(QFile::link(term.slavePath(), dir.filePath(QStringLiteral("cradles/dock"))));
        Run r = cli({QStringLiteral("ports"), QStringLiteral("--assign"), QStringLiteral("COM17"), QStringLiteral("dock")},
                    env, dir.filePath(QStringLiteral("cradles")));
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(r.out, QStringLiteral("COM17 = %1 (assigned)\n").arg(dir.filePath(QStringLiteral("cradles/dock"))).toUtf8());

        // A name with a line break is shown escaped, on one line.
        QVERIFY(QFile::link(term.slavePath(), dir.filePath(QStringLiteral("cradles/dock\nB"))));
        const QString escaped = dir.filePath(QStringLiteral("cradles/dock\\nB"));
        r = cli({QStringLiteral("ports"), QStringLiteral("--assign"), QStringLiteral("COM18"), QStringLiteral("dock\nB")},
                env, dir.filePath(QStringLiteral("cradles")));
        QCOMPARE(r.out, QStringLiteral("COM18 = %1 (assigned)\n").arg(escaped).toUtf8());

        r = cli({QStringLiteral("upload"), QStringLiteral("-p"), QStringLiteral("com17"), QStringLiteral("a.txt")}, env,
                dir.filePath(QStringLiteral("elsewhere")));
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(readAll(dir.filePath(QStringLiteral("elsewhere/a.txt"))), recordLines(all));

        r = cli({QStringLiteral("ports")}, env, dir.path());
        QCOMPARE(r.status, 0);
        const QByteArray listed = r.out.mid(r.out.indexOf("\nCOM ports") + 1);
        QCOMPARE(listed, QStringLiteral("COM ports (assigned, set by QUILLAN_COMn, or default):\n"
                                        "COM1 = /dev/ttyS0 (default)\n"
                                        "COM2 = /dev/ttyS1 (default)\n"
                                        "COM17 = %1 (assigned)\n"
                                        "COM18 = %2 (assigned)\n")
                             .arg(dir.filePath(QStringLiteral("cradles/dock")), escaped)
                             .toUtf8());
    }

    // The assignment is written where it will be found again, or not at all,
    // and the message says which.
    void assignmentWritesNothingItCannotKeep()
    {
        QTemporaryDir dir;
        SimTerminal term(std::vector<QByteArray>{});
        QProcessEnvironment env = environment(dir);
        const QString conf = dir.filePath(QStringLiteral("config/quillan/ports.conf"));
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("config/quillan")));
        const QByteArray malformed("[General]\nCOM1=/dev/ttyS4\nCOM2 /dev/ttyS5\n");
        writeAll(conf, malformed);
        Run r = cli({QStringLiteral("ports"), QStringLiteral("--assign"), QStringLiteral("COM3"), term.slavePath()}, env,
                    dir.path());
        QCOMPARE(r.status, 3);
        QVERIFY2(r.err.contains("(line 3); nothing was written"), r.err.constData());
        QCOMPARE(readAll(conf), malformed);

        // No HOME, no XDG_CONFIG_HOME: no /.config/quillan is made.
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        env.remove(QStringLiteral("HOME"));
        const QString root = QStringLiteral("/.config/quillan/ports.conf");
        const bool existed = QFileInfo::exists(root);
        const QByteArray before = existed ? readAll(root) : QByteArray();
        r = cli({QStringLiteral("ports"), QStringLiteral("--assign"), QStringLiteral("COM3"), term.slavePath()}, env,
                dir.path());
        QCOMPARE(r.status, 3);
        QVERIFY2(r.err.contains("neither HOME nor XDG_CONFIG_HOME is set"), r.err.constData());
        QCOMPARE(QFileInfo::exists(root), existed);
        if (existed)
            QCOMPARE(readAll(root), before);

        // Settings reached through another user's link in a sticky folder
        // are neither written nor read.
        const passwd *nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || !nobody)
            QSKIP("giving a link to the user nobody takes root (and that user)");
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("shared")) && QDir(dir.path()).mkpath(QStringLiteral("planted")));
        const QString link = dir.filePath(QStringLiteral("shared/quillan"));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("planted")), link));
        QCOMPARE(::lchown(QFile::encodeName(link).constData(), nobody->pw_uid, nobody->pw_gid), 0);
        QCOMPARE(::chmod(QFile::encodeName(dir.filePath(QStringLiteral("shared"))).constData(), 01777), 0);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("shared")));
        r = cli({QStringLiteral("ports"), QStringLiteral("--assign"), QStringLiteral("COM3"), term.slavePath()}, env,
                dir.path());
        QVERIFY2(r.status == 3 && r.err.contains("ports.conf is not used: ") && r.err.contains("it is not followed"),
                 r.err.constData());
        QCOMPARE(QDir(dir.filePath(QStringLiteral("planted"))).entryList(QDir::Files | QDir::Hidden), QStringList());
        writeAll(dir.filePath(QStringLiteral("planted/ports.conf")), "[General]\nCOM3=/dev/ttyS7\n");
        r = cli({QStringLiteral("ports")}, env, dir.path());
        QVERIFY2(r.status == 0 && r.out.contains("COM3") == false && r.err.contains("is not used"), r.out.constData());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
