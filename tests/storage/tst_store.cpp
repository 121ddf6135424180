// The upload's records in an SQLite file and in a throwaway PostgreSQL server.
#include "storage/RecordStore.h"
#include "support/DbTest.h"
#include "support/PgServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <future>
#include <thread>

using Kind = RecordStore::Kind;
#define OK(call) QCOMPARE((call).description, QString())

class TestStore : public QObject
{
    Q_OBJECT
    PgServer m_pg;
    QString m_pgDown;  // why there is no server, if there is none
    QTemporaryDir m_dir;
    int m_case = 0;
    QString m_file;    // this case's SQLite file
    QString m_schema;  // this case's PostgreSQL schema

    static bool pg(const QString &engine) { return engine == QLatin1String("postgresql"); }
    QString destination(const QString &engine) { return pg(engine) ? m_pg.uri() : "sqlite:" + m_file; }
    QString table(const QString &engine) { return pg(engine) ? m_schema + ".records" : "records"; }
    Error open(RecordStore &store, const QString &engine, const QString &port = "COM1") { return store.open(destination(engine), table(engine), "pc7", port, "/dev/ttyS0"); }
    // A query's rows, values joined by spaces and rows by '|'; %1 is the table.
    QString rows(const QString &engine, const QString &sql)
    {
        const QString query = sql.contains("%1") ? sql.arg(table(engine)) : sql;
        return QString::fromUtf8(sqlRows(pg(engine) ? m_pg.database() : sqliteFile(m_file), query).join('|'));
    }
    // The store's own connection's answer.
    static QByteArrayList onStore(const RecordStore &store, const QString &sql) { return sqlRows(QSqlDatabase::database(store.connectionName()), sql); }
    void engines()
    {
        QTest::addColumn<QString>("engine");
        for (const char *engine : {"sqlite", "postgresql"})
            QTest::newRow(engine) << engine;
    }

private Q_SLOTS:
    void initTestCase() { m_pgDown = m_pg.start() ? QString() : m_pg.error(); }
    void init()
    {
        m_file = m_dir.filePath(QStringLiteral("records-%1.db").arg(++m_case));
        m_schema = QStringLiteral("s%1").arg(m_case);
        if (!QString(QTest::currentDataTag()).startsWith("postgresql") && !QString(QTest::currentTestFunction()).startsWith("postgresql"))
            return;
        QVERIFY2(m_pgDown.isEmpty(), qPrintable("no PostgreSQL server for the test: " + m_pgDown));
        QVERIFY2(m_pg.exec(QStringLiteral("CREATE SCHEMA %1; GRANT USAGE ON SCHEMA %1 TO PUBLIC").arg(m_schema)), qPrintable(m_pg.error()));
    }
    void destinations_data()
    {
        columns<QString, Kind, QString, QString>("destination", "kind", "target", "shown");
        QTest::newRow("relative file") << "sqlite:rec.db" << Kind::Sqlite << "rec.db" << "sqlite:rec.db";
        QTest::newRow("absolute file") << "sqlite:/a/rec.db" << Kind::Sqlite << "/a/rec.db" << "sqlite:/a/rec.db";
        QTest::newRow("URL form") << "sqlite:///var/lib/q/r.db" << Kind::Sqlite << "/var/lib/q/r.db" << "sqlite:///var/lib/q/r.db";
        QTest::newRow("URL with a host") << "sqlite://host/r.db" << Kind::Invalid << "" << "sqlite://host/r.db";
        QTest::newRow("no path") << "sqlite:" << Kind::Invalid << "" << "sqlite:";
        QTest::newRow("a file named sqlite:x") << "./sqlite:x" << Kind::File << "./sqlite:x" << "./sqlite:x";
        QTest::newRow("a text file") << "out.txt" << Kind::File << "out.txt" << "out.txt";
        QTest::newRow("postgres scheme") << "postgres://u@h/db" << Kind::Postgresql << "postgres://u@h/db" << "postgres://u@h/db";
        const QString user = "postgresql://u:s3cret@h:5433/db?sslmode=require", query = "postgresql:///db?password=s3cret&user=u&sslpassword=s3cret";
        QTest::newRow("password in the user part") << user << Kind::Postgresql << user << "postgresql://u:***@h:5433/db?sslmode=require";
        QTest::newRow("password parameters") << query << Kind::Postgresql << query << "postgresql:///db?password=***&user=u&sslpassword=***";
        QTest::newRow("parameter name encoded") << "postgres://h?pass%77ord=s3cret" << Kind::Postgresql << "postgres://h?pass%77ord=s3cret" << "postgres://h?pass%77ord=***";
    }
    void destinations()
    {
        QFETCH(QString, destination); QFETCH(Kind, kind);
        const RecordStore::Destination d = RecordStore::parse(destination);
        QCOMPARE(d.kind, kind);
        QTEST(d.target, "target");
        QCOMPARE(d.problem.isEmpty(), kind != Kind::Invalid);
        QTEST(RecordStore::redacted(destination), "shown");
    }
    // Every byte kept as it came, each row committed with its transfer's details.
    void records_data() { engines(); }
    void records()
    {
        QFETCH(QString, engine);
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all += char(i);
        const QList<QByteArray> records = {QByteArray(), "", QByteArray(1, '\0'), "\xff", all, "A;1\r\nB", QByteArray(70000, 'x')};
        RecordStore store;
        OK(open(store, engine));
        QStringList expected;
        for (const QByteArray &r : records) {
            OK(store.writeRecord(r));
            expected << QStringLiteral("%1 %2 false pc7 COM1 /dev/ttyS0 %3 0 0 1").arg(store.recordsWritten()).arg(r.toHex().toUpper(), store.transferId());
        }
        QCOMPARE(rows(engine, pg(engine) ? "SELECT number, upper(encode(record, 'hex')), record IS NULL, station, port, device, transfer, "
                                           "unconfirmed::int, maybe_repeat::int, (abs(extract(epoch FROM now() - committed)) < 60)::int FROM %1 ORDER BY id"
                                         : "SELECT number, hex(record), iif(record IS NULL, 'true', 'false'), station, port, device, transfer, "
                                           "unconfirmed, maybe_repeat, abs(julianday('now') - julianday(committed)) * 86400 < 60 FROM %1 ORDER BY id"),
                 expected.join('|'));
        if (!pg(engine)) {
            QCOMPARE(rows(engine, "PRAGMA journal_mode"), QString("wal"));
            QCOMPARE(onStore(store, "PRAGMA synchronous") + onStore(store, "PRAGMA cache_size") + onStore(store, "PRAGMA wal_autocheckpoint"),
                     QByteArrayList({"2", "-256", "200"})); // FULL
            // A commit writes two pages into the WAL: the table's and its index's.
            QCOMPARE(onStore(store, "PRAGMA wal_checkpoint(TRUNCATE)"), QByteArrayList{"0 0 0"});
            OK(store.writeRecord("r"));
            QCOMPARE(onStore(store, "PRAGMA wal_checkpoint(PASSIVE)"), QByteArrayList{"0 2 2"});
        }
    }
    // Names as SQL reads them, always quoted when used; SQLite's schema is an attached database's.
    void tableNames_data()
    {
        columns<QString, QString>("name", "made"); // made: as sqlite_master holds it; empty: refused
        QTest::newRow("folded to lower case") << "Records" << "records";
        QTest::newRow("quoted, with quotes and a dot") << "\"My \"\"odd\"\". table\"" << "My \"odd\". table";
        QTest::newRow("schema-qualified") << "main.\"t; DROP TABLE x\"" << "t; DROP TABLE x";
        QTest::newRow("three parts") << "a.b.c" << "";
        QTest::newRow("unquoted punctuation") << "t; DROP TABLE x" << "";
        QTest::newRow("an unfinished quote") << "\"t" << "";
    }
    void tableNames()
    {
        QFETCH(QString, name); QFETCH(QString, made);
        RecordStore store;
        const Error e = store.open("sqlite:" + m_file, name, {}, "COM1", "/dev/ttyS0");
        QCOMPARE(e.kind, made.isEmpty() ? Error::Kind::InvalidValue : Error::Kind::None);
        QCOMPARE(rows("sqlite", "SELECT name FROM sqlite_master WHERE type = 'table' AND name <> 'sqlite_sequence'"), made);
    }
    // A full disk, here a page limit on the store's own connection, fails the record.
    void sqliteFull()
    {
        RecordStore store;
        OK(open(store, "sqlite"));
        QVERIFY(QSqlQuery(QSqlDatabase::database(store.connectionName())).exec("PRAGMA max_page_count = 8"));
        const Error e = store.writeRecord(QByteArray(64 * 1024, 'x'));
        QCOMPARE(e.kind, Error::Kind::DiskFull);
        QVERIFY2(e.description.contains("Cannot save record 1 in SQLite database") && e.description.contains(m_file), qPrintable(e.description));
        QCOMPARE(store.recordsWritten(), 0);
        QCOMPARE(rows("sqlite", "SELECT count(*) FROM records"), QString("0"));
    }
    // Another connection's read transaction never holds a record back; its
    // write lock does until it ends or the busy timeout passes.
    void sqliteLocks_data()
    {
        columns<QString, int, int, Error::Kind, int, int>("take", "holdMs", "timeoutMs", "kind", "minMs", "maxMs");
        QTest::newRow("a reader") << "BEGIN;SELECT count(*) FROM records" << 1500 << 5000 << Error::Kind::None << 0 << 500;
        QTest::newRow("a writer past the timeout") << "BEGIN IMMEDIATE" << 1500 << 300 << Error::Kind::Busy << 300 << 1400;
        QTest::newRow("a writer done in time") << "BEGIN IMMEDIATE" << 300 << 5000 << Error::Kind::None << 250 << 1400;
    }
    void sqliteLocks()
    {
        QFETCH(QString, take); QFETCH(int, holdMs); QFETCH(int, timeoutMs); QFETCH(int, minMs); QFETCH(int, maxMs);
        RecordStore store;
        store.setBusyTimeout(timeoutMs);
        OK(open(store, "sqlite"));
        std::promise<QString> locked;
        std::thread holder([&, file = m_file] {
            {
                QSqlDatabase d = QSqlDatabase::addDatabase("QSQLITE", "holder");
                d.setDatabaseName(file);
                QSqlQuery q(d);
                bool ok = d.open();
                for (const QString &statement : take.split(';'))
                    ok = ok && q.exec(statement) && (!q.isSelect() || q.next());
                locked.set_value(ok ? QString() : q.lastError().text());
                std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
                q = QSqlQuery();
                d.rollback();
            }
            QSqlDatabase::removeDatabase("holder");
        });
        const QString lockError = locked.get_future().get();
        QElapsedTimer clock;
        clock.start();
        const Error e = store.writeRecord("r1");
        const qint64 ms = clock.elapsed();
        holder.join();
        QCOMPARE(lockError, QString());
        QTEST(e.kind, "kind");
        QVERIFY2(ms >= minMs && ms < maxMs, qPrintable(QString::number(ms)));
        QVERIFY2(!e || (e.description.contains("locked") && e.description.contains(m_file)), qPrintable(e.description));
    }
    // An existing table is used only as it is: one it cannot fill is refused
    // before anything is written, naming what is wrong, and left unchanged.
    void existingTables_data()
    {
        columns<QString, QString, QString>("engine", "columns", "refusal");
        const auto row = [](const char *engine, const char *name) -> QTestData & { return QTest::newRow(qPrintable(engine + QString(": ") + name)) << engine; };
        const QString lite = "committed TEXT, station TEXT, port TEXT, device TEXT, transfer TEXT, number INTEGER, ", key = "id INTEGER PRIMARY KEY, " + lite;
        const QString ints = "unconfirmed INT, maybe_repeat INT", bools = "unconfirmed bool, maybe_repeat bool";
        row("sqlite", "no record column") << key + ints << "it has no column record";
        row("sqlite", "record as text") << key + "record TEXT, " + ints << "column record is TEXT, not BLOB affinity";
        row("sqlite", "id not the row's id") << "id INTEGER, " + lite + "record BLOB, " + ints << "column id is not its INTEGER PRIMARY KEY";
        row("sqlite", "a column left without a value") << key + "record BLOB, " + ints + ", note TEXT NOT NULL" << "its column note must have a value";
        row("sqlite", "a fitting table of its own making") << key + "record BLOB, unconfirmed BOOLEAN, maybe_repeat BOOLEAN, note TEXT" << "";
        row("sqlite", "made by quillan before, AUTOINCREMENT") << "id INTEGER PRIMARY KEY AUTOINCREMENT, " + lite + "record BLOB NOT NULL, " + ints << "";
        const QString pgsql = "committed timestamptz, station text, port text, device text, transfer uuid, ";
        row("postgresql", "number as text") << "id serial, " + pgsql + "number text, record bytea, " + bools << "column number is text, not integer or bigint";
        row("postgresql", "no markers") << "id serial, " + pgsql + "number int, record bytea" << "it has no column unconfirmed; it has no column maybe_repeat";
        row("postgresql", "id without a default") << "id int, " + pgsql + "number int, record bytea, " + bools << "column id has no default";
        row("postgresql", "a fitting table of its own making")
            << "id bigserial, committed timestamptz, station varchar(40), port text, device text, transfer text, "
               "number bigint, record bytea, unconfirmed bool, maybe_repeat bool, note text" << "";
    }
    void existingTables()
    {
        QFETCH(QString, engine); QFETCH(QString, columns); QFETCH(QString, refusal);
        QCOMPARE(rows(engine, "CREATE TABLE %1 (" + columns + ")"), QString());
        const QString shape = pg(engine) ? "SELECT attname, format_type(atttypid, atttypmod) FROM pg_attribute WHERE attrelid = '%1'::regclass "
                                           "UNION ALL SELECT relname, '' FROM pg_class WHERE relname LIKE 'records%'"
                                         : "SELECT name, sql FROM sqlite_master";
        const QString before = rows(engine, shape);
        RecordStore store;
        const Error e = open(store, engine);
        if (refusal.isEmpty()) {
            OK(e);
            OK(store.writeRecord("r"));
            QCOMPARE(rows(engine, "SELECT count(*) FROM %1"), QString("1"));
            return;
        }
        QCOMPARE(e.kind, Error::Kind::BadFile);
        QVERIFY2(e.description.contains(refusal) && e.description.contains("records"), qPrintable(e.description));
        QCOMPARE(rows(engine, shape), before);
    }
    // maybe_repeat: a transfer's first record equal to the same port's last
    // row, whose REMOVE went unanswered (or whose commit had no answer, marked
    // by the next connection).
    void markers_data()
    {
        // unconfirmed: 0 no, 1 by the transfer itself, 2 by the next connection
        columns<QString, int, QString, QByteArray, QByteArray, QString>("engine", "unconfirmed", "port", "last", "first", "flags");
        for (const QString engine : {"sqlite", "postgresql"}) {
            const auto row = [&](const char *name) -> QTestData & { return QTest::newRow(qPrintable(engine + ": " + name)) << engine; };
            row("the unconfirmed record again") << 1 << "COM1" << QByteArray("B\0", 2) << QByteArray("B\0", 2) << "0 0|1 0|0 1";
            row("an empty record again") << 1 << "COM1" << QByteArray("") << QByteArray("") << "0 0|1 0|0 1";
            row("after a confirmed record") << 0 << "COM1" << QByteArray("B") << QByteArray("B") << "0 0|0 0|0 0";
            row("another record") << 1 << "COM1" << QByteArray("B") << QByteArray("B ") << "0 0|1 0|0 0";
            row("on another port") << 1 << "COM2" << QByteArray("B") << QByteArray("B") << "0 0|1 0|0 0";
            row("a commit without answer, again") << 2 << "COM1" << QByteArray("B") << QByteArray("B") << "0 0|1 0|0 1";
        }
    }
    void markers()
    {
        QFETCH(QString, engine); QFETCH(QByteArray, last); QFETCH(int, unconfirmed); QFETCH(QString, port); QFETCH(QByteArray, first);
        RecordStore before, after;
        OK(open(before, engine));
        QVERIFY(before.canMark());
        OK(before.writeRecord("A"));
        OK(before.writeRecord(last));
        if (unconfirmed == 1)
            OK(before.markUnconfirmed());
        OK(open(after, engine, port));
        if (unconfirmed == 2)
            OK(after.markUnconfirmed(before.transferId(), 2));
        OK(after.writeRecord(first));
        bool marked = true;
        OK(after.markRepeat(&marked));
        QTEST(rows(engine, pg(engine) ? "SELECT unconfirmed::int, maybe_repeat::int FROM %1 ORDER BY id" : "SELECT unconfirmed, maybe_repeat FROM %1 ORDER BY id"),
              "flags");
        QCOMPARE(marked, rows(engine, "SELECT count(*) FROM %1 WHERE maybe_repeat = TRUE") == "1");
    }
    // A role that may not create tables writes into one made for it; the
    // markers need their own grants, and their absence only disables them.
    void postgresqlGrants_data()
    {
        columns<QString, bool, QString, bool>("grants", "serialId", "refusal", "canMark");
        QTest::newRow("INSERT only") << "INSERT" << false << "" << false;
        QTest::newRow("INSERT and the markers' grants")
            << "INSERT, SELECT (id, station, port, transfer, number, record, unconfirmed), UPDATE (unconfirmed, maybe_repeat)" << false << "" << true;
        QTest::newRow("SELECT only") << "SELECT" << false << "may not insert into it (GRANT INSERT ON" << false;
        QTest::newRow("INSERT, a serial id's sequence not") << "INSERT" << true << "may not use the sequence" << false;
    }
    void postgresqlGrants()
    {
        QFETCH(QString, grants); QFETCH(bool, serialId); QFETCH(QString, refusal);
        RecordStore maker, store;
        if (serialId)
            QCOMPARE(rows("postgresql", "CREATE TABLE %1 (id serial, committed timestamptz, station text, port text, device text, "
                                        "transfer uuid, number int, record bytea, unconfirmed bool, maybe_repeat bool)"), QString());
        else
            OK(open(maker, "postgresql"));
        const QString role = "writer" + QString::number(m_case);
        QVERIFY(m_pg.addRole(role, "pw", grants + " ON " + table("postgresql")));
        const Error e = store.open(m_pg.uri(role, "pw"), table("postgresql"), {}, "COM1", "/dev/ttyS0");
        QCOMPARE(e.kind, refusal.isEmpty() ? Error::Kind::None : Error::Kind::PermissionDenied);
        if (e) {
            QVERIFY2(e.description.contains(refusal) && e.description.contains(role), qPrintable(e.description));
            return;
        }
        QTEST(store.canMark(), "canMark");
        OK(store.writeRecord("r"));
        QCOMPARE(store.markUnconfirmed().kind, store.canMark() ? Error::Kind::None : Error::Kind::PermissionDenied);
        QCOMPARE(rows("postgresql", "SELECT record, unconfirmed FROM %1"), QString("r ") + (store.canMark() ? "true" : "false"));
    }
    // The password wherever libpq finds it: in the URI however quoted, in a
    // password file, in a service file. What fails says why and where, and
    // never the password.
    void postgresqlConnections_data()
    {
        // password: the role's; file: what the variable names
        columns<QString, QString, QByteArray, QString, Error::Kind, QString>("uri", "password", "variable", "file", "kind", "reason");
        const QString odd = "s3cret'\\ ;@%/?&=", part = "postgresql://ROLE:" + QUrl::toPercentEncoding(odd) + "@/postgres?host=DIR";
        const auto row = [](const char *name, const QString &uri, const QString &password, Error::Kind kind = Error::Kind::None, const char *reason = "",
                            const QByteArray &variable = {}, const char *file = "") {
            QTest::newRow(name) << uri << password << variable << QString(file) << kind << QString(reason);
        };
        row("in the user part", part, odd);
        row("as a parameter", "postgresql:///postgres?host=DIR&user=ROLE&password=" + QUrl::toPercentEncoding(odd), odd);
        row("in PGPASSFILE", "postgresql://ROLE@/postgres?host=DIR", "s3cret:1", Error::Kind::None, "", "PGPASSFILE", "*:*:*:ROLE:s3cret\\:1\n");
        row("in a service", "postgresql:///?service=quillan", "s3cret2", Error::Kind::None, "", "PGSERVICEFILE",
            "[quillan]\nhost=DIR\ndbname=postgres\nuser=ROLE\npassword=s3cret2\n");
        row("no server there", "postgresql://ROLE:s3cret@/postgres?host=/nonexistent", "s3cret", Error::Kind::Io, "no server answers");
        row("wrong password", "postgresql://ROLE:s3cretX@/postgres?host=DIR", "s3cret", Error::Kind::PermissionDenied, "authentication failed");
        row("no such role", "postgresql://nobody2:s3cret@/postgres?host=DIR", "s3cret", Error::Kind::PermissionDenied, "authentication failed");
        row("no such database", "postgresql:///nodb?host=DIR&user=ROLE&password=s3cret", "s3cret", Error::Kind::NotFound, "no such database");
        row("a URI libpq refuses", part + "&nosuch=1", odd, Error::Kind::InvalidValue, "nosuch");
        row("a password libpq cannot decode", "postgresql://ROLE:s3cret%zz@/postgres", "s3cret", Error::Kind::InvalidValue, "percent");
    }
    void postgresqlConnections()
    {
        QFETCH(QString, uri); QFETCH(QString, password); QFETCH(QByteArray, variable); QFETCH(QString, file); QFETCH(QString, reason);
        const QString role = "user" + QString::number(m_case);
        QVERIFY(m_pg.addRole(role, password, "CREATE ON SCHEMA " + m_schema));
        uri.replace("ROLE", role).replace("DIR", QUrl::toPercentEncoding(m_pg.socketDir()));
        QFile f(m_dir.filePath(variable));
        if (!variable.isEmpty()) {
            const QByteArray text = file.replace("ROLE", role).replace("DIR", m_pg.socketDir()).toUtf8();
            QVERIFY(f.open(QIODevice::WriteOnly, QFile::ReadOwner | QFile::WriteOwner) && f.write(text) > 0 && f.flush()); // libpq wants it private
            qputenv(variable, f.fileName().toLocal8Bit());
        }
        RecordStore store;
        const Error e = store.open(uri, table("postgresql"), {}, "COM1", "/dev/ttyS0");
        if (!variable.isEmpty())
            qunsetenv(variable);
        QTEST(e.kind, "kind");
        QVERIFY2(e.description.contains(reason) && (!e || e.description.contains(RecordStore::redacted(uri))), qPrintable(e.description));
        QVERIFY2(!e.description.contains("s3cret"), qPrintable(e.description));
        if (!e) {
            OK(store.writeRecord("r"));
            QCOMPARE(rows("postgresql", "SELECT count(*) FROM %1"), QString("1"));
        }
    }
    // Every libpq parameter reaches the server, but a commit is always waited for.
    void postgresqlSettings()
    {
        RecordStore store;
        OK(store.open(m_pg.uri() + "&options=-c%20synchronous_commit%3Doff%20-c%20work_mem%3D1234kB", table("postgresql"), {}, "COM1", "x"));
        QCOMPARE(onStore(store, "SELECT current_setting('synchronous_commit'), current_setting('work_mem'), current_setting('application_name')"),
                 QByteArrayList{"on 1234kB quillan"});
    }
    // A server gone between records: the record is reported not saved.
    void postgresqlServerStops()
    {
        RecordStore store;
        OK(open(store, "postgresql"));
        OK(store.writeRecord("one"));
        QVERIFY2(m_pg.stop(), qPrintable(m_pg.error()));
        const Error e = store.writeRecord("two");
        QVERIFY2(m_pg.start(), qPrintable(m_pg.error()));
        QCOMPARE(e.kind, Error::Kind::Io);
        QVERIFY2(e.description.contains("Cannot save record 2"), qPrintable(e.description));
        QCOMPARE(rows("postgresql", "SELECT record FROM %1"), QString("one"));
    }
    // Thousands of records a second: far more than a 115200-baud line brings.
    void rate_data() { engines(); }
    void rate()
    {
        QFETCH(QString, engine);
        RecordStore store;
        OK(open(store, engine));
        const int count = qEnvironmentVariableIntValue("QUILLAN_STORE_RATE_RECORDS") > 0 ? qEnvironmentVariableIntValue("QUILLAN_STORE_RATE_RECORDS") : 1000;
        QElapsedTimer clock;
        clock.start();
        for (int i = 1; i <= count; ++i)
            OK(store.writeRecord(QByteArray::number(i) + ";4006381333931;12"));
        qInfo("%s: %d records in %lld ms, %.0f a second", qPrintable(engine), count, clock.elapsed(), count * 1000.0 / qMax<qint64>(1, clock.elapsed()));
        QCOMPARE(rows(engine, "SELECT count(*), max(number) FROM %1"), QStringLiteral("%1 %1").arg(count));
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
