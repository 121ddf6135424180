// quillan-cli uploading and collecting into real SQLite files and a real
// PostgreSQL server, with the faults a site has: a killed process, a server
// that goes away, a locked file, a table in the way, two writers at once.
#include "support/DbTest.h"
#include "support/PgServer.h"
#include "support/TestFiles.h"
#include "tools/SimTerminal.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>

using simterm::SimTerminal;
using namespace Qt::StringLiterals;

namespace {
const QString Password = u"Quill-Pw-93"_s;
const simterm::Options Slow = [] { simterm::Options o; o.replyDelay = std::chrono::milliseconds(2); return o; }();

QList<QByteArray> first(const std::vector<QByteArray> &all, size_t n = size_t(-1))
{
    return QList<QByteArray>(all.begin(), all.begin() + qsizetype(std::min(n, all.size())));
}

// Standard error into dir's "err": read while the process runs, whatever its size.
void start(QProcess &p, const QTemporaryDir &dir, const QStringList &args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_CONFIG_HOME"_s, dir.filePath(u"config"_s));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir.path());
    p.setStandardErrorFile(dir.filePath(u"err"_s));
    p.start(QStringLiteral(QUILLAN_CLI_PATH), args);
}

int finished(QProcess &p)
{
    const bool ended = p.state() == QProcess::NotRunning || p.waitForFinished(60000);
    return ended && p.error() == QProcess::UnknownError && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

size_t removed(const SimTerminal &t, const std::vector<QByteArray> &all) { return all.size() - t.remainingRecords().size(); }
bool emptied(const SimTerminal &t) { return t.remainingRecords().empty() && t.uploadDone(); }
} // namespace

class TestDbCli : public QObject
{
    Q_OBJECT
    PgServer m_pg;
    int m_case = 0;
    QString m_table; // this case's

    // The records in the table by id; where: which rows.
    QList<QByteArray> stored(QSqlDatabase db, const QString &where = {}) { return sqlRows(db, u"SELECT record FROM %1 %2 ORDER BY id"_s.arg(m_table, where)); }
    QStringList upload(const SimTerminal &t, const QString &dest) { return {u"upload"_s, u"-p"_s, t.slavePath(), u"-t"_s, u"2"_s, u"--table"_s, m_table, dest}; }
    QStringList collect(const QStringList &ports, const QString &dest)
    {
        QStringList a{u"collect"_s, u"--interval"_s, u"0.1"_s, u"-t"_s, u"2"_s, u"--table"_s, m_table, u"--log"_s, u"log.jsonl"_s, dest};
        for (const QString &port : ports)
            a << u"-p"_s << port;
        return a;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error()));
        QVERIFY2(m_pg.addRole(u"writer"_s, Password, u"CREATE ON SCHEMA public"_s), qPrintable(m_pg.error()));
    }
    void init()
    {
        m_table = u"t%1"_s.arg(++m_case);
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error())); // again, after a case that stopped it failed
    }
    void faultMidUpload_data()
    {
        columns<bool, bool>("pg", "serverStops"); // serverStops: else quillan-cli is killed
        QTest::newRow("sqlite, quillan-cli killed") << false << false;
        QTest::newRow("postgresql, quillan-cli killed") << true << false;
        QTest::newRow("postgresql, server stopped") << true << true;
    }
    // At a random moment: every record the terminal let go of is in the table
    // once, in order; at most one more was committed and is still on the terminal.
    void faultMidUpload()
    {
        QFETCH(bool, pg); QFETCH(bool, serverStops);
        QTemporaryDir dir;
        const auto all = simterm::generateRecords(300, 12);
        SimTerminal term(all, Slow);
        const QString file = dir.filePath(u"r.db"_s);
        QProcess p;
        start(p, dir, upload(term, pg ? m_pg.uri(u"writer"_s, Password) : "sqlite:"_L1 + file));
        const size_t at = QRandomGenerator::global()->bounded(1, 80);
        QVERIFY(spinUntil([&] { return removed(term, all) >= at; }, 30000));
        QVERIFY(serverStops ? m_pg.stop() : ::kill(pid_t(p.processId()), SIGKILL) == 0);
        const int status = finished(p);
        const QByteArray err = readAll(dir.filePath(u"err"_s));
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error()));
        QVERIFY2(!serverStops || (status == 3 && err.contains("Cannot save record") && !err.contains(Password.toUtf8())
                                  && err.contains("PostgreSQL database postgresql://writer:***@/postgres")), err.constData());
        const size_t gone = removed(term, all);
        const QList<QByteArray> got = stored(pg ? m_pg.database() : sqliteFile(file));
        QVERIFY2(gone < all.size() && (size_t(got.size()) == gone || size_t(got.size()) == gone + 1), qPrintable(u"%1 rows, %2 removed"_s.arg(got.size()).arg(gone)));
        QCOMPARE(got, first(all, size_t(got.size())));
        if (!pg)
            QCOMPARE(sqlRows(sqliteFile(file), u"PRAGMA integrity_check"_s) + sqlRows(sqliteFile(file), u"PRAGMA journal_mode"_s), QByteArrayList({"ok", "wal"}));
    }
    // The server goes away mid-docking and comes back: the docking ends with a
    // warning, the terminal is not asked while its records have nowhere to go,
    // and a later poll carries on. Every record lands once.
    void collectThroughAnOutage()
    {
        QTemporaryDir dir;
        const auto all = simterm::generateRecords(300, 12);
        SimTerminal term(all, Slow);
        QProcess p;
        start(p, dir, collect({term.slavePath()}, m_pg.uri()));
        QVERIFY(spinUntil([&] { return removed(term, all) >= 30; }, 30000));
        QVERIFY(m_pg.stop());
        QVERIFY(spinUntil([&] { return readAll(dir.filePath(u"err"_s)).contains("Cannot connect"); }, 10000));
        const int asked = term.messagesReceived();
        QTest::qWait(1000); // ten polls
        QCOMPARE(term.messagesReceived(), asked);
        QVERIFY(!term.remainingRecords().empty());
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error()));
        QVERIFY(spinUntil([&] { return emptied(term); }, 30000));
        ::kill(pid_t(p.processId()), SIGTERM);
        const QByteArray err = readAll(dir.filePath(u"err"_s));
        QVERIFY2(finished(p) == 0 && err.contains("Cannot save record"), err.constData());
        QCOMPARE(stored(m_pg.database(), u"WHERE NOT maybe_repeat"_s), first(all));
    }
    void unusableStore_data()
    {
        // dest: {dir} the test's folder, {pg} the server; table: made there beforehand, %1 its name
        columns<QString, QString, QString>("dest", "table", "said");
        const QString other = u"CREATE TABLE %1 (id integer PRIMARY KEY, record text NOT NULL, note text NOT NULL);INSERT INTO %1 VALUES (7, 'x', 'kept')"_s;
        QTest::newRow("no server on the socket") << "postgresql://postgres@/postgres?host={dir}" << QString() << "Cannot connect to PostgreSQL database";
        QTest::newRow("SQLite file in a missing folder") << "sqlite:{dir}/none/r.db" << QString() << "there is no folder";
        QTest::newRow("SQLite table of another shape") << "sqlite:{dir}/r.db" << other << "cannot take the records";
        QTest::newRow("PostgreSQL table of another shape") << "{pg}" << other << "cannot take the records";
    }
    // Nothing is asked of the terminal while its records have nowhere to go.
    void unusableStore()
    {
        QFETCH(QString, dest); QFETCH(QString, table); QFETCH(QString, said);
        QTemporaryDir dir;
        dest.replace(u"{dir}"_s, dir.path()).replace(u"{pg}"_s, m_pg.uri());
        QSqlDatabase db = dest.startsWith("sqlite:"_L1) ? sqliteFile(dest.mid(7)) : m_pg.database();
        for (const QString &sql : table.isEmpty() ? QStringList() : table.arg(m_table).split(u';'))
            QVERIFY(QSqlQuery(db).exec(sql));
        const QList<QByteArray> before = sqlRows(db, u"SELECT * FROM %1 ORDER BY 1"_s.arg(m_table));
        SimTerminal term(simterm::generateRecords(5, 12));
        QProcess p;
        start(p, dir, upload(term, dest));
        const QByteArray err = finished(p) == 3 ? readAll(dir.filePath(u"err"_s)) : "not exit 3";
        QVERIFY2(err.contains(said.toUtf8()), err.constData());
        QCOMPARE(term.receivedBytes(), QByteArray());
        QCOMPARE(sqlRows(db, u"SELECT * FROM %1 ORDER BY 1"_s.arg(m_table)), before);
    }
    void lockedSqlite_data()
    {
        columns<int, int>("holdMs", "status");
        QTest::newRow("lock let go after 1 s") << 1000 << 0;
        QTest::newRow("lock held on") << 60000 << 3;
    }
    // Another program's write lock: a record waits for it up to the busy
    // timeout (5 s), then the upload ends and the terminal keeps everything.
    void lockedSqlite()
    {
        QFETCH(int, holdMs); QFETCH(int, status);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"r.db"_s);
        QProcess made, p;
        SimTerminal empty;
        start(made, dir, upload(empty, "sqlite:"_L1 + file)); // the table, made before the lock
        QCOMPARE(finished(made), 0);
        const auto all = simterm::generateRecords(5, 12);
        SimTerminal term(all);
        QSqlDatabase lock = sqliteFile(file);
        QVERIFY(QSqlQuery(lock).exec(u"BEGIN IMMEDIATE"_s));
        QTimer::singleShot(holdMs, &p, [&] { QSqlQuery(lock).exec(u"ROLLBACK"_s); });
        QElapsedTimer clock;
        clock.start();
        start(p, dir, upload(term, "sqlite:"_L1 + file));
        QVERIFY(spinUntil([&] { return p.state() == QProcess::NotRunning; }, 30000));
        QSqlQuery(lock).exec(u"ROLLBACK"_s);
        const QByteArray err = readAll(dir.filePath(u"err"_s));
        QVERIFY2(finished(p) == status && (!status || clock.elapsed() >= 4900), err.constData());
        QVERIFY2(!status || err.contains("the database is locked: another program kept it locked for 5 s"), err.constData());
        QCOMPARE(stored(lock), status ? QList<QByteArray>() : first(all));
        QCOMPARE(term.remainingRecords().size(), status ? all.size() : 0);
    }
    void twoWriters_data()
    {
        QTest::addColumn<bool>("collecting");
        QTest::newRow("two uploads into a new table") << false;
        QTest::newRow("two collects into a new table") << true;
    }
    // Two processes writing one PostgreSQL table at once: both finish, their
    // rows interleave (neither waited for the other), nothing is lost.
    void twoWriters()
    {
        QFETCH(bool, collecting);
        QTemporaryDir dirs[2];
        const std::vector<QByteArray> all[2] = {simterm::generateRecords(150, 12), simterm::generateRecords(150, 13)};
        SimTerminal a(all[0], Slow), b(all[1], Slow);
        const SimTerminal *terms[2] = {&a, &b};
        // Both made to make the table at one moment: queued behind a table of
        // that name not yet committed, then let go together.
        QSqlDatabase held = m_pg.database(), watch = QSqlDatabase::cloneDatabase(held, m_table);
        QVERIFY(held.transaction() && QSqlQuery(held).exec(u"CREATE TABLE %1 (x int)"_s.arg(m_table)) && watch.open());
        QProcess p[2];
        for (int i = 0; i < 2; ++i)
            start(p[i], dirs[i], collecting ? collect({terms[i]->slavePath()}, m_pg.uri()) : upload(*terms[i], m_pg.uri()));
        QSqlQuery q(watch);
        QVERIFY(spinUntil([&] { return q.exec(u"SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'"_s) && q.next() && q.value(0) == 2; }, 10000));
        QVERIFY(held.rollback());
        QVERIFY(!collecting || spinUntil([&] { return emptied(a) && emptied(b); }, 30000));
        for (int i = 0; i < 2; ++i) {
            if (collecting)
                ::kill(pid_t(p[i].processId()), SIGTERM);
            QVERIFY2(finished(p[i]) == 0, readAll(dirs[i].filePath(u"err"_s)).constData());
        }
        const QByteArray order = sqlRows(m_pg.database(), u"SELECT CASE port WHEN '%1' THEN 'a' ELSE 'b' END FROM %2 ORDER BY id"_s.arg(a.slavePath(), m_table)).join();
        QVERIFY2(order.contains("abab") || order.contains("baba"), order.constData());
        for (int i = 0; i < 2; ++i)
            QCOMPARE(stored(m_pg.database(), u"WHERE port = '%1'"_s.arg(terms[i]->slavePath())), first(all[i]));
    }
    // A password written in the URI works, is warned of once, and is seen
    // neither in messages, nor in the log, nor by ps while collect runs. Only
    // quillan-cli speaks on standard error, though the table made anew finds
    // the name of an index taken (by an earlier table renamed for the archive).
    void passwordInTheUri()
    {
        QVERIFY(m_pg.exec(u"CREATE TABLE %1_2025 (x int); CREATE INDEX %1_port ON %1_2025 (x)"_s.arg(m_table)));
        QTemporaryDir dir;
        const auto all = simterm::generateRecords(20, 12);
        SimTerminal a(all, Slow), b(simterm::generateRecords(20, 13), Slow);
        QProcess p;
        start(p, dir, collect({a.slavePath(), b.slavePath()}, m_pg.uri(u"writer"_s, Password)));
        QVERIFY(spinUntil([&] { return emptied(a) && emptied(b); }, 30000));
        const QByteArray cmdline = readAll(u"/proc/%1/cmdline"_s.arg(p.processId()));
        QVERIFY2(cmdline.contains("postgresql://writer:***@") && !cmdline.contains(Password.toUtf8()), cmdline.constData());
        ::kill(pid_t(p.processId()), SIGTERM);
        QCOMPARE(finished(p), 0);
        const QByteArray err = readAll(dir.filePath(u"err"_s)), log = readAll(dir.filePath(u"log.jsonl"_s));
        QVERIFY2(err.count("has a password in it") == 1 && !err.contains(Password.toUtf8()), err.constData());
        for (const QByteArray &line : err.trimmed().split('\n'))
            QVERIFY2(line.startsWith("quillan-cli: "), err.constData());
        QVERIFY2(log.contains("writer:***@") && !log.contains(Password.toUtf8()), log.constData());
        QCOMPARE(stored(m_pg.database(), u"WHERE port = '%1'"_s.arg(a.slavePath())), first(all));
    }
};

QTEST_GUILESS_MAIN(TestDbCli)
#include "tst_dbcli.moc"
