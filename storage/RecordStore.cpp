#include "storage/RecordStore.h"

#include "storage/DiskSync.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUrl>
#include <QUuid>

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>

namespace {
const QString SqliteScheme = QStringLiteral("sqlite:");
const QStringList PostgresSchemes = {QStringLiteral("postgresql://"), QStringLiteral("postgres://")};
const QString Mask = QStringLiteral("***");

bool isSecretKey(const QString &key)
{
    return key == QLatin1String("password") || key == QLatin1String("sslpassword");
}

QString quotedIdentifier(const QString &name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

// "name", "schema.name", either part "quoted" ("" inside being a quote);
// unquoted parts fold to lower case as PostgreSQL folds them.
bool parseTableName(const QString &text, QStringList &parts)
{
    parts.clear();
    qsizetype i = 0;
    while (true) {
        QString part;
        if (i < text.size() && text[i] == QLatin1Char('"')) {
            for (++i;; ++i) {
                if (i >= text.size())
                    return false;
                if (text[i] == QLatin1Char('"')) {
                    if (i + 1 < text.size() && text[i + 1] == QLatin1Char('"'))
                        ++i;
                    else
                        break;
                }
                part += text[i];
            }
            ++i;
            if (part.isEmpty())
                return false;
        } else {
            while (i < text.size() && (text[i].isLetterOrNumber() || text[i] == QLatin1Char('_') || text[i] == QLatin1Char('$')))
                part += text[i++].toLower();
            if (part.isEmpty() || part[0].isDigit() || part[0] == QLatin1Char('$'))
                return false;
        }
        parts << part;
        if (i == text.size())
            return parts.size() <= 2;
        if (text[i] != QLatin1Char('.') || parts.size() == 2)
            return false;
        ++i;
    }
}

// SQLite's column affinity from a declared type, by its documented rules.
QString sqliteAffinity(const QString &declared)
{
    const QString t = declared.toUpper();
    if (t.contains(QLatin1String("INT")))
        return QStringLiteral("INTEGER");
    if (t.contains(QLatin1String("CHAR")) || t.contains(QLatin1String("CLOB")) || t.contains(QLatin1String("TEXT")))
        return QStringLiteral("TEXT");
    if (t.isEmpty() || t.contains(QLatin1String("BLOB")))
        return QStringLiteral("BLOB");
    if (t.contains(QLatin1String("REAL")) || t.contains(QLatin1String("FLOA")) || t.contains(QLatin1String("DOUB")))
        return QStringLiteral("REAL");
    return QStringLiteral("NUMERIC");
}

struct Column
{
    const char *name;
    QStringList postgres;  // format_type() names taken (a prefix, for character varying(n))
    QStringList sqlite;    // affinities taken
};

const QList<Column> &columns()
{
    static const QList<Column> list = {
        {"id", {"integer", "bigint"}, {"INTEGER"}},
        {"committed", {"timestamp with time zone"}, {"TEXT"}},
        {"station", {"text", "character varying"}, {"TEXT"}},
        {"port", {"text", "character varying"}, {"TEXT"}},
        {"device", {"text", "character varying"}, {"TEXT"}},
        {"transfer", {"uuid", "text", "character varying"}, {"TEXT"}},
        {"number", {"integer", "bigint"}, {"INTEGER"}},
        {"record", {"bytea"}, {"BLOB"}},
        {"unconfirmed", {"boolean"}, {"INTEGER", "NUMERIC"}},
        {"maybe_repeat", {"boolean"}, {"INTEGER", "NUMERIC"}},
    };
    return list;
}

// Columns the insert names; the markers read and update the rest of the list.
const QStringList InsertedColumns = {"committed", "station",  "port",        "device",      "transfer",
                                     "number",    "record",   "unconfirmed", "maybe_repeat"};
const QStringList ReadByMarkers = {"id", "station", "port", "transfer", "number", "record", "unconfirmed"};
const QStringList UpdatedByMarkers = {"unconfirmed", "maybe_repeat"};

QString joinedQuoted(const QStringList &names)
{
    QStringList quoted;
    for (const QString &n : names)
        quoted << quotedIdentifier(n);
    return quoted.join(QStringLiteral(", "));
}

// A value for a libpq connection string: quoted, with \ and ' escaped.
QString conninfoValue(QString value)
{
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\t'), QLatin1Char(' ')).simplified();
}
}

// PostgreSQL's insert, prepared once on the connection under this name.
constexpr const char *PgInsert = "quillan_insert";

struct RecordStore::Connection
{
    QString name;
    QSqlDatabase db;
    QSqlQuery insert, unconfirmed, repeat;
    // PostgreSQL: the libpq connection Qt's driver opened, valid while db is
    // open. Each record goes through it as a prepared statement with a binary
    // bytea, where Qt would send an EXECUTE with the record in hex for the
    // server to parse. Station, port, device and transfer as sent.
    PGconn *pg = nullptr;
    QByteArray station, port, device, transfer;

    explicit Connection(const QString &driver)
    {
        static std::atomic<int> counter{0};
        name = QStringLiteral("quillan-store-%1").arg(++counter);
        db = QSqlDatabase::addDatabase(driver, name);
    }
    ~Connection()
    {
        insert = QSqlQuery();
        unconfirmed = QSqlQuery();
        repeat = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
};

RecordStore::RecordStore() = default;

RecordStore::~RecordStore()
{
    close();
}

RecordStore::Destination RecordStore::parse(const QString &destination)
{
    for (const QString &scheme : PostgresSchemes) {
        if (destination.startsWith(scheme))
            return {Kind::Postgresql, destination, {}};
    }
    if (!destination.startsWith(SqliteScheme))
        return {Kind::File, destination, {}};
    QString path = destination.mid(SqliteScheme.size());
    if (path.startsWith(QLatin1String("//"))) {
        // The URL form names no host: sqlite:///var/lib/x.db is /var/lib/x.db.
        path = path.mid(2);
        if (!path.startsWith(QLatin1Char('/')))
            return {Kind::Invalid, {},
                    QStringLiteral("%1 names no absolute path: write sqlite:///PATH, or sqlite:PATH for a relative one")
                        .arg(destination)};
    }
    if (path.isEmpty())
        return {Kind::Invalid, {}, QStringLiteral("%1 names no database file: write sqlite:PATH").arg(destination)};
    return {Kind::Sqlite, path, {}};
}

// As libpq reads a URI: user information ends at the first '@' before any
// '/'; the query starts at the first '?' after it. secrets: each password as
// written and percent-decoded, to take out of messages that quote them.
static QString withoutSecrets(const QString &uri, QStringList *secrets)
{
    const auto keep = [secrets](const QString &secret) {
        if (secrets && !secret.isEmpty())
            *secrets << secret << QUrl::fromPercentEncoding(secret.toUtf8());
    };
    const qsizetype start = uri.indexOf(QLatin1String("://")) + 3;
    QString out = uri.left(start);
    qsizetype hostStart = start;
    const qsizetype at = uri.indexOf(QLatin1Char('@'), start);
    const qsizetype slash = uri.indexOf(QLatin1Char('/'), start);
    if (at >= 0 && (slash < 0 || at < slash)) {
        const QString userInfo = uri.mid(start, at - start);
        const qsizetype colon = userInfo.indexOf(QLatin1Char(':'));
        out += colon < 0 ? userInfo : userInfo.left(colon + 1) + Mask;
        if (colon >= 0)
            keep(userInfo.mid(colon + 1));
        out += QLatin1Char('@');
        hostStart = at + 1;
    }
    const qsizetype question = uri.indexOf(QLatin1Char('?'), hostStart);
    out += uri.mid(hostStart, question < 0 ? -1 : question + 1 - hostStart);
    if (question < 0)
        return out;
    QStringList params = uri.mid(question + 1).split(QLatin1Char('&'));
    for (QString &p : params) {
        const qsizetype eq = p.indexOf(QLatin1Char('='));
        if (eq >= 0 && isSecretKey(QUrl::fromPercentEncoding(p.left(eq).toUtf8()))) {
            keep(p.mid(eq + 1));
            p = p.left(eq + 1) + Mask;
        }
    }
    return out + params.join(QLatin1Char('&'));
}

QString RecordStore::redacted(const QString &destination)
{
    return parse(destination).kind == Kind::Postgresql ? withoutSecrets(destination, nullptr) : destination;
}

bool RecordStore::isOpen() const
{
    return m_db != nullptr;
}

QString RecordStore::connectionName() const
{
    return m_db ? m_db->name : QString();
}

QString RecordStore::shown() const
{
    return QStringLiteral("%1, table %2").arg(m_shown, m_table);
}

QString RecordStore::scrubbed(QString text) const
{
    for (const QString &secret : m_secrets)
        text.replace(secret, Mask);
    return text;
}

Error RecordStore::failure(const QString &doing, const QSqlError &error) const
{
    const QString reason = oneLine(error.databaseText().isEmpty() ? error.text() : error.databaseText());
    const QString code = error.nativeErrorCode();
    Error::Kind kind = Error::Kind::Io;
    QString why = reason;
    if (m_kind == Kind::Sqlite) {
        switch (code.toInt() & 0xff) {
        case 5: // SQLITE_BUSY
        case 6: // SQLITE_LOCKED
            kind = Error::Kind::Busy;
            why = QStringLiteral("the database is locked: another program kept it locked for %1 s (%2)")
                      .arg(m_busyTimeoutMs / 1000.0)
                      .arg(reason);
            break;
        case 13: kind = Error::Kind::DiskFull; break;             // SQLITE_FULL
        case 3: case 8: case 23: kind = Error::Kind::PermissionDenied; break; // PERM, READONLY, AUTH
        case 11: case 26: kind = Error::Kind::BadFile; break;     // CORRUPT, NOTADB
        case 14: kind = Error::Kind::NotFound; break;             // CANTOPEN
        default: break;
        }
    } else {
        if (code == QLatin1String("53100"))
            kind = Error::Kind::DiskFull;
        else if (code == QLatin1String("42501") || code.startsWith(QLatin1String("28")))
            kind = Error::Kind::PermissionDenied;
        else if (code == QLatin1String("3D000"))
            kind = Error::Kind::NotFound;
        else if (code.startsWith(QLatin1String("55P03")) || code == QLatin1String("40P01"))
            kind = Error::Kind::Busy;
        else if (code.isEmpty()) {
            // A failed connection carries libpq's text only.
            if (reason.contains(QLatin1String("authentication failed")) || reason.contains(QLatin1String("no password supplied"))
                || reason.contains(QLatin1String("pg_hba.conf")) || reason.contains(QLatin1String("role \""))) {
                kind = Error::Kind::PermissionDenied;
                why = QStringLiteral("authentication failed (%1)").arg(reason);
            } else if (reason.contains(QLatin1String("database \"")) && reason.contains(QLatin1String("does not exist"))) {
                kind = Error::Kind::NotFound;
                why = QStringLiteral("no such database (%1)").arg(reason);
            } else if (reason.contains(QLatin1String("Connection refused")) || reason.contains(QLatin1String("No such file"))
                       || reason.contains(QLatin1String("could not translate host name")) || reason.contains(QLatin1String("timeout expired"))) {
                why = QStringLiteral("no server answers there (%1)").arg(reason);
            }
        }
    }
    return {kind, scrubbed(QStringLiteral("%1 %2: %3").arg(doing, shown(), why))};
}

Error RecordStore::open(const QString &destination, const QString &table, const QString &station, const QString &port,
                        const QString &device)
{
    close();
    const Destination d = parse(destination);
    m_kind = d.kind;
    m_shown = redacted(destination);
    m_secrets.clear();
    m_canMark = false;
    const QString tableName = table.isEmpty() ? defaultTable() : table;
    m_table = tableName;
    if (d.kind == Kind::Invalid)
        return {Error::Kind::InvalidValue, d.problem};
    if (d.kind == Kind::File)
        return {Error::Kind::InvalidValue, QStringLiteral("%1 names a file, not a database").arg(destination)};
    if (!parseTableName(tableName, m_tableParts))
        return {Error::Kind::InvalidValue,
                QStringLiteral("\"%1\" is not a table name: write NAME or SCHEMA.NAME, either part in double quotes "
                               "if it holds other characters")
                    .arg(tableName)};
    QStringList quoted;
    for (const QString &p : m_tableParts)
        quoted << quotedIdentifier(p);
    m_table = quoted.join(QLatin1Char('.'));
    m_station = station.isEmpty() ? QSysInfo::machineHostName() : station;
    m_port = port;
    m_device = device;

    Error e = d.kind == Kind::Sqlite ? openSqlite(d.target) : openPostgresql(d.target);
    if (!e)
        e = prepareTable();
    if (!e)
        e = prepareStatements();
    if (e) {
        m_db.reset();
        return e;
    }
    beginTransfer();
    return {};
}

Error RecordStore::openSqlite(const QString &path)
{
    m_shown = QStringLiteral("SQLite database \"%1\"").arg(path);
    const QFileInfo info(path);
    if (info.isDir())
        return {Error::Kind::BadFile, QStringLiteral("%1 is a folder; name a database file in it").arg(m_shown)};
    if (!info.dir().exists())
        return {Error::Kind::NotFound, QStringLiteral("%1 cannot be made: there is no folder %2")
                                           .arg(m_shown, QDir::toNativeSeparators(info.absolutePath()))};
    const bool existed = info.exists();
    m_db = std::make_unique<Connection>(QStringLiteral("QSQLITE"));
    if (!m_db->db.isValid())
        return {Error::Kind::NotFound, QStringLiteral("Qt's SQLite driver (QSQLITE) is not installed")};
    m_db->db.setDatabaseName(path);
    // A report reading or briefly writing meanwhile makes a record wait, not fail.
    m_db->db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_busyTimeoutMs));
    if (!m_db->db.open())
        return failure(QStringLiteral("Cannot open"), m_db->db.lastError());
    QSqlQuery q(m_db->db);
    // WAL: readers never block the transfer; FULL: a commit is on disk when it returns.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
        return failure(QStringLiteral("Cannot use"), q.lastError());
    if (!q.next() || q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        return {Error::Kind::BadFile, QStringLiteral("%1 cannot be put in WAL mode (it stays in %2 mode)")
                                          .arg(m_shown, q.value(0).toString())};
    if (!q.exec(QStringLiteral("PRAGMA synchronous=FULL")))
        return failure(QStringLiteral("Cannot use"), q.lastError());
    // An insert touches the right edge of the table and of its index, a
    // marker a port's last rows: a few dozen pages. SQLite's default cache
    // (2,000 KiB) would fill with every page the upload makes and stay full.
    if (!q.exec(QStringLiteral("PRAGMA cache_size=-256")))
        return failure(QStringLiteral("Cannot use"), q.lastError());
    // While the WAL grows, every commit's flush allocates blocks and writes
    // the file's size too: a commit took about twice as long as one into a
    // WAL that starts again over blocks already written. Checkpointing after
    // some 100 commits (not 500) keeps it there, for one more flush as often.
    if (!q.exec(QStringLiteral("PRAGMA wal_autocheckpoint=200")))
        return failure(QStringLiteral("Cannot use"), q.lastError());
    if (!existed) {
        if (Error e = syncDirectoryOf(path))
            return {e.kind, QStringLiteral("%1 was made but its folder cannot be synced: %2").arg(m_shown, e.description)};
    }
    return {};
}

Error RecordStore::openPostgresql(const QString &uri)
{
    m_shown = QStringLiteral("PostgreSQL database %1").arg(m_shown);
    // libpq may quote a malformed password back; a server, a misplaced one.
    withoutSecrets(uri, &m_secrets);
    char *message = nullptr;
    PQconninfoOption *options = PQconninfoParse(uri.toUtf8().constData(), &message);
    if (!options) {
        const QString text = oneLine(message ? QString::fromUtf8(message) : QStringLiteral("out of memory"));
        PQfreemem(message);
        return {Error::Kind::InvalidValue, QStringLiteral("%1 is not a connection URI libpq takes: %2").arg(m_shown, scrubbed(text))};
    }
    m_db = std::make_unique<Connection>(QStringLiteral("QPSQL"));
    QStringList rest;
    bool named = false, timeout = !qEnvironmentVariableIsEmpty("PGCONNECT_TIMEOUT");
    QString unusable;
    for (PQconninfoOption *o = options; o->keyword; ++o) {
        if (!o->val)
            continue;
        const QString key = QString::fromUtf8(o->keyword);
        const QString value = QString::fromUtf8(o->val);
        if (qstrcmp(o->dispchar, "*") == 0 && !value.isEmpty())
            m_secrets << value;
        // Qt quotes these itself; the rest go as options, in which it takes ';' for a separator.
        if (key == QLatin1String("host"))
            m_db->db.setHostName(value);
        else if (key == QLatin1String("dbname"))
            m_db->db.setDatabaseName(value);
        else if (key == QLatin1String("user"))
            m_db->db.setUserName(value);
        else if (key == QLatin1String("password"))
            m_db->db.setPassword(value);
        else if (value.contains(QLatin1Char(';')))
            unusable = key;
        else
            rest << key + QLatin1Char('=') + conninfoValue(value);
        named |= key == QLatin1String("fallback_application_name");
        timeout |= key == QLatin1String("connect_timeout");
    }
    PQconninfoFree(options);
    // The longest first, so no piece of one is left beside a shorter one's mask.
    m_secrets.removeDuplicates();
    std::sort(m_secrets.begin(), m_secrets.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    if (!unusable.isEmpty())
        return {Error::Kind::InvalidValue,
                scrubbed(QStringLiteral("%1: the value of %2 holds a ';', which Qt's PostgreSQL driver cannot pass on")
                             .arg(m_shown, unusable))};
    if (!named)
        rest << QStringLiteral("fallback_application_name=quillan");
    // libpq would wait for an unreachable host for ever; psql's user is there to
    // press Ctrl-C, a transfer's terminal is not.
    if (!timeout)
        rest << QStringLiteral("connect_timeout=10");
    if (!m_db->db.isValid())
        return {Error::Kind::NotFound, QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed")};
    m_db->db.setConnectOptions(rest.join(QLatin1Char(';')));
    if (!m_db->db.open())
        return failure(QStringLiteral("Cannot connect to"), m_db->db.lastError());
    // The records go through libpq itself. Qt names the handle's type as the
    // compiler spells it: by the struct's tag for GCC, "struct pg_conn *" for MSVC.
    const QVariant handle = m_db->db.driver()->handle();
    const QByteArray type = QByteArray(handle.typeName()).replace("struct ", "").replace(' ', "");
    if (type == "pg_conn*" || type == "PGconn*")
        m_db->pg = *static_cast<PGconn *const *>(handle.constData());
    if (!m_db->pg)
        return {Error::Kind::NotFound, QStringLiteral("%1: Qt's PostgreSQL driver lends no libpq connection (handle %2)")
                                           .arg(m_shown, QString::fromLatin1(handle.typeName()))};
    // libpq would print the server's notices on standard error itself, outside
    // any message (CREATE ... IF NOT EXISTS meeting a name already taken).
    PQsetNoticeProcessor(m_db->pg, [](void *, const char *) {}, nullptr);
    // A commit returns only once it is on disk, whatever the server's default.
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("SELECT set_config('synchronous_commit', 'on', false) "
                               "WHERE current_setting('synchronous_commit') = 'off'")))
        return failure(QStringLiteral("Cannot use"), q.lastError());
    return {};
}

Error RecordStore::prepareTable()
{
    QSqlQuery q(m_db->db);
    const bool sqlite = m_kind == Kind::Sqlite;
    const QString schema = m_tableParts.size() == 2 ? quotedIdentifier(m_tableParts[0]) : QStringLiteral("\"main\"");
    if (sqlite) {
        q.prepare(QStringLiteral("SELECT type FROM %1.sqlite_master WHERE name = ? COLLATE NOCASE").arg(schema));
        q.addBindValue(m_tableParts.last());
    } else {
        q.prepare(QStringLiteral("SELECT c.relkind FROM pg_class c WHERE c.oid = to_regclass(?)"));
        q.addBindValue(m_table);
    }
    if (!q.exec())
        return failure(QStringLiteral("Cannot look for the table in"), q.lastError());
    if (!q.next())
        return createTable();
    const QString type = q.value(0).toString();
    if (type != QLatin1String(sqlite ? "table" : "r") && type != QLatin1String("p"))
        return {Error::Kind::BadFile, QStringLiteral("%1: that is not a table (%2); it is left as it is")
                                          .arg(shown(), sqlite ? type : QStringLiteral("relkind ") + type)};
    if (Error e = checkColumns())
        return e;
    // SQLite has no roles: whoever may open the file may mark its rows.
    m_canMark = sqlite;
    return sqlite ? Error{} : checkPrivileges();
}

Error RecordStore::createTable()
{
    const bool sqlite = m_kind == Kind::Sqlite;
    const QString t = sqlite ? QStringLiteral("TEXT") : QStringLiteral("text");
    const QString flag = sqlite ? QStringLiteral("INTEGER NOT NULL DEFAULT 0") : QStringLiteral("boolean NOT NULL DEFAULT false");
    const QString create =
        QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (id %2, committed %3 NOT NULL, station %4 NOT NULL, port %4 NOT NULL, "
                       "device %4 NOT NULL, transfer %5 NOT NULL, number integer NOT NULL, record %6 NOT NULL, "
                       "unconfirmed %7, maybe_repeat %7)")
            .arg(m_table,
                 // The rowid itself: AUTOINCREMENT would write its counter's
                 // page too at every commit.
                 sqlite ? QStringLiteral("INTEGER PRIMARY KEY")
                        : QStringLiteral("bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY"),
                 sqlite ? t : QStringLiteral("timestamptz"), t, sqlite ? t : QStringLiteral("uuid"),
                 sqlite ? QStringLiteral("BLOB") : QStringLiteral("bytea"), flag);
    // Both markers look up a port's last row. The one index is the only page
    // a commit writes besides the table's: tables made before had a second
    // one on (transfer, number), kept where it is but no longer needed.
    const QString name = m_tableParts.last();
    const QString indexSchema = sqlite && m_tableParts.size() == 2 ? quotedIdentifier(m_tableParts[0]) + QLatin1Char('.') : QString();
    const QString on = sqlite ? quotedIdentifier(name) : m_table;
    const QStringList statements = {
        create,
        QStringLiteral("CREATE INDEX IF NOT EXISTS %1%2 ON %3 (station, port, id)")
            .arg(indexSchema, quotedIdentifier(name + QStringLiteral("_port")), on),
    };
    if (!m_db->db.transaction())
        return failure(QStringLiteral("Cannot make the table in"), m_db->db.lastError());
    QSqlQuery q(m_db->db);
    for (const QString &s : statements) {
        if (!q.exec(s)) {
            const QSqlError error = q.lastError();
            q = QSqlQuery();
            m_db->db.rollback();
            // PostgreSQL's IF NOT EXISTS loses a race with another connection
            // making the same table (unique_violation in its catalog, or
            // duplicate_table): that one committed it, so it is there to check.
            if (!sqlite && (error.nativeErrorCode() == QLatin1String("23505") || error.nativeErrorCode() == QLatin1String("42P07")))
                return prepareTable();
            return failure(QStringLiteral("Cannot make the table in"), error);
        }
    }
    if (!m_db->db.commit())
        return failure(QStringLiteral("Cannot make the table in"), m_db->db.lastError());
    if (!sqlite)
        return checkPrivileges(); // made by this role: it holds every privilege
    m_canMark = true;
    return {};
}

Error RecordStore::checkColumns()
{
    const bool sqlite = m_kind == Kind::Sqlite;
    QSqlQuery q(m_db->db);
    if (sqlite) {
        const QString schema = m_tableParts.size() == 2 ? quotedIdentifier(m_tableParts[0]) + QLatin1Char('.') : QString();
        q.exec(QStringLiteral("PRAGMA %1table_xinfo(%2)").arg(schema, quotedIdentifier(m_tableParts.last())));
    } else {
        q.prepare(QStringLiteral(
            "SELECT attname, format_type(atttypid, atttypmod), attnotnull, "
            "       (atthasdef OR attidentity <> '') AND attgenerated = '', attgenerated <> '', attidentity <> '' "
            "FROM pg_attribute WHERE attrelid = to_regclass(?) AND attnum > 0 AND NOT attisdropped"));
        q.addBindValue(m_table);
        q.exec();
    }
    if (q.lastError().isValid())
        return failure(QStringLiteral("Cannot read the columns of"), q.lastError());
    struct Found { QString type; bool notNull, hasDefault, generated, key; };
    QHash<QString, Found> found;
    while (q.next()) {
        if (sqlite) // cid, name, type, notnull, dflt_value, pk, hidden
            found.insert(q.value(1).toString().toLower(),
                         {q.value(2).toString(), q.value(3).toInt() != 0, !q.value(4).isNull(), q.value(6).toInt() >= 2,
                          q.value(5).toInt() == 1});
        else
            found.insert(q.value(0).toString(), {q.value(1).toString(), q.value(2).toBool(), q.value(3).toBool(),
                                                 q.value(4).toBool(), q.value(5).toBool()});
    }
    QStringList problems;
    for (const Column &c : columns()) {
        const QString name = QString::fromLatin1(c.name);
        const auto it = found.constFind(name);
        if (it == found.constEnd()) {
            problems << QStringLiteral("it has no column %1").arg(name);
            continue;
        }
        const Found f = *it;
        found.remove(name);
        const QString kind = sqlite ? sqliteAffinity(f.type) : f.type;
        const QStringList &taken = sqlite ? c.sqlite : c.postgres;
        bool fits = false;
        for (const QString &t : taken)
            fits |= sqlite ? kind == t : (kind == t || kind.startsWith(t + QLatin1Char('(')));
        const QString wanted = taken.join(QStringLiteral(" or ")) + (sqlite ? QStringLiteral(" affinity") : QString());
        if (!fits)
            problems << QStringLiteral("column %1 is %2, not %3").arg(name, f.type.isEmpty() ? QStringLiteral("untyped") : f.type, wanted);
        else if (name == QLatin1String("id")) {
            // The row's id must come from the database itself.
            const bool rowid = sqlite && f.key && f.type.compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0;
            if (sqlite ? !rowid : !f.hasDefault)
                problems << (sqlite ? QStringLiteral("column id is not its INTEGER PRIMARY KEY")
                                    : QStringLiteral("column id has no default or identity to number the rows"));
        } else if (f.generated)
            problems << QStringLiteral("column %1 is generated, so no record can be written to it").arg(name);
    }
    for (auto it = found.constBegin(); it != found.constEnd(); ++it) {
        if (it->notNull && !it->hasDefault && !it->generated && !(sqlite && it->key))
            problems << QStringLiteral("its column %1 must have a value, and quillan has none for it").arg(it.key());
    }
    if (problems.isEmpty())
        return {};
    return {Error::Kind::BadFile,
            QStringLiteral("%1 cannot take the records: %2. The table is left as it is: name another table, or one "
                           "that does not exist yet to have it made")
                .arg(shown(), problems.join(QStringLiteral("; ")))};
}

Error RecordStore::checkPrivileges()
{
    QStringList insert, mark;
    for (const QString &c : InsertedColumns)
        insert << QStringLiteral("has_column_privilege(t.oid, '%1', 'INSERT')").arg(c);
    for (const QString &c : ReadByMarkers)
        mark << QStringLiteral("has_column_privilege(t.oid, '%1', 'SELECT')").arg(c);
    for (const QString &c : UpdatedByMarkers)
        mark << QStringLiteral("has_column_privilege(t.oid, '%1', 'UPDATE')").arg(c);
    // A serial id takes its number from a sequence the role must be let use.
    const QString sequence = QStringLiteral(
        "(SELECT attidentity <> '' OR s IS NULL OR has_sequence_privilege(s, 'USAGE') "
        " FROM pg_attribute, pg_get_serial_sequence(?, 'id') AS s WHERE attrelid = t.oid AND attname = 'id')");
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT %1, %2, %3, current_user, pg_get_serial_sequence(?, 'id') FROM (SELECT to_regclass(?) AS oid) AS t")
                  .arg(insert.join(QStringLiteral(" AND ")), sequence, mark.join(QStringLiteral(" AND "))));
    q.addBindValue(m_table);
    q.addBindValue(m_table);
    q.addBindValue(m_table);
    if (!q.exec() || !q.next())
        return failure(QStringLiteral("Cannot read the privileges on"), q.lastError());
    const QString role = quotedIdentifier(q.value(3).toString());
    if (!q.value(0).toBool())
        return {Error::Kind::PermissionDenied, QStringLiteral("%1: role %2 may not insert into it (GRANT INSERT ON %3 TO %2)")
                                                   .arg(shown(), role, m_table)};
    if (!q.value(1).toBool())
        return {Error::Kind::PermissionDenied,
                QStringLiteral("%1: role %2 may not use the sequence that numbers its rows (GRANT USAGE ON SEQUENCE %3 TO %2)")
                    .arg(shown(), role, q.value(4).toString())};
    m_canMark = q.value(2).toBool();
    return {};
}

Error RecordStore::prepareStatements()
{
    const bool sqlite = m_kind == Kind::Sqlite;
    const QString now = sqlite ? QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', 'now')") : QStringLiteral("now()");
    const QString no = sqlite ? QStringLiteral("0") : QStringLiteral("false");
    const QString yes = sqlite ? QStringLiteral("1") : QStringLiteral("true");
    // One pass of arg(): the table's name may hold a '%'.
    const auto insert = [&](const QString &parameters) {
        return QStringLiteral("INSERT INTO %1 (%2) VALUES (%3, %4, %5, %5)").arg(m_table, joinedQuoted(InsertedColumns), now, parameters, no);
    };
    m_db->insert = QSqlQuery(m_db->db);
    m_db->unconfirmed = QSqlQuery(m_db->db);
    m_db->repeat = QSqlQuery(m_db->db);
    if (sqlite) {
        if (!m_db->insert.prepare(insert(QStringLiteral("?, ?, ?, ?, ?, ?"))))
            return failure(QStringLiteral("Cannot prepare the insert into"), m_db->insert.lastError());
        m_db->insert.bindValue(0, m_station);
        m_db->insert.bindValue(1, m_port);
        m_db->insert.bindValue(2, m_device);
    } else {
        m_db->station = m_station.toUtf8();
        m_db->port = m_port.toUtf8();
        m_db->device = m_device.toUtf8();
        // The server takes each parameter's type from its column.
        PGresult *r = PQprepare(m_db->pg, PgInsert, insert(QStringLiteral("$1, $2, $3, $4, $5, $6")).toUtf8().constData(), 6, nullptr);
        const Error e = PQresultStatus(r) == PGRES_COMMAND_OK ? Error{} : failure(QStringLiteral("Cannot prepare the insert into"), pgError(r));
        PQclear(r);
        if (e)
            return e;
    }
    if (!m_canMark)
        return {};
    // A role that may only insert has no markers to prepare. A row to mark
    // unconfirmed is its port's last, whichever table index there is.
    if (!m_db->unconfirmed.prepare(QStringLiteral("UPDATE %1 SET unconfirmed = %2 WHERE id = (SELECT id FROM %1 WHERE station = ? AND port = ? "
                                                  "ORDER BY id DESC LIMIT 1) AND transfer = ? AND number = ?").arg(m_table, yes)))
        return failure(QStringLiteral("Cannot prepare the marker of"), m_db->unconfirmed.lastError());
    m_db->unconfirmed.bindValue(0, m_station);
    m_db->unconfirmed.bindValue(1, m_port);
    if (!m_db->repeat.prepare(QStringLiteral(
            "UPDATE %1 AS cur SET maybe_repeat = %2 WHERE cur.transfer = ? AND cur.number = 1 AND "
            "(SELECT p.unconfirmed AND p.record = cur.record FROM %1 AS p WHERE p.station = cur.station "
            "AND p.port = cur.port AND p.id < cur.id ORDER BY p.id DESC LIMIT 1)").arg(m_table, yes)))
        return failure(QStringLiteral("Cannot prepare the marker of"), m_db->repeat.lastError());
    return {};
}

QSqlError RecordStore::pgError(const PGresult *result) const
{
    const char *message = result ? PQresultErrorMessage(result) : "";
    const char *code = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return QSqlError(QString(), QString::fromUtf8(*message ? message : PQerrorMessage(m_db->pg)).trimmed(),
                     QSqlError::StatementError, QString::fromLatin1(code));
}

void RecordStore::beginTransfer()
{
    m_transfer = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_number = 0;
    if (m_db && m_db->pg)
        m_db->transfer = m_transfer.toUtf8();
    else if (m_db)
        m_db->insert.bindValue(3, m_transfer);
}

Error RecordStore::writeRecord(const QByteArray &record)
{
    if (!m_db)
        return {Error::Kind::PortNotOpen, QStringLiteral("The record store is not open")};
    const qint64 number = m_number + 1;
    // Autocommit: the row is committed once the insert's answer says so; a
    // connection lost before the answer came is a failure, whatever became
    // of the row. A null value would be NULL: an empty record is an empty value.
    if (m_db->pg) {
        const QByteArray n = QByteArray::number(number);
        const char *values[] = {m_db->station.constData(), m_db->port.constData(), m_db->device.constData(),
                                m_db->transfer.constData(), n.constData(), record.isNull() ? "" : record.constData()};
        const int lengths[] = {0, 0, 0, 0, 0, int(record.size())};
        const int binary[] = {0, 0, 0, 0, 0, 1};
        PGresult *r = PQexecPrepared(m_db->pg, PgInsert, 6, values, lengths, binary, 0);
        const Error e = PQresultStatus(r) == PGRES_COMMAND_OK ? Error{} : failure(QStringLiteral("Cannot save record %1 in").arg(number), pgError(r));
        PQclear(r);
        if (e)
            return e;
    } else {
        static const QByteArray empty("", 0);
        m_db->insert.bindValue(4, number);
        m_db->insert.bindValue(5, record.isNull() ? empty : record);
        if (!m_db->insert.exec())
            return failure(QStringLiteral("Cannot save record %1 in").arg(number), m_db->insert.lastError());
    }
    m_number = number;
    return {};
}

Error RecordStore::markUnconfirmed()
{
    if (!m_db || m_number == 0)
        return {Error::Kind::InvalidValue, QStringLiteral("No record was written to mark")};
    return markUnconfirmed(m_transfer, m_number);
}

Error RecordStore::markUnconfirmed(const QString &transfer, qint64 number)
{
    if (!m_db)
        return {Error::Kind::PortNotOpen, QStringLiteral("The record store is not open")};
    if (!m_canMark)
        return {Error::Kind::PermissionDenied, QStringLiteral("%1: this role may not mark rows").arg(shown())};
    m_db->unconfirmed.bindValue(2, transfer);
    m_db->unconfirmed.bindValue(3, number);
    if (!m_db->unconfirmed.exec())
        return failure(QStringLiteral("Cannot mark record %1 unconfirmed in").arg(number), m_db->unconfirmed.lastError());
    return {};
}

Error RecordStore::markRepeat(bool *marked)
{
    if (marked)
        *marked = false;
    if (!m_db || m_number == 0)
        return {Error::Kind::InvalidValue, QStringLiteral("No record was written to mark")};
    if (!m_canMark)
        return {Error::Kind::PermissionDenied, QStringLiteral("%1: this role may not mark rows").arg(shown())};
    m_db->repeat.bindValue(0, m_transfer);
    if (!m_db->repeat.exec())
        return failure(QStringLiteral("Cannot mark the first record as a possible repeat in"), m_db->repeat.lastError());
    if (marked)
        *marked = m_db->repeat.numRowsAffected() > 0;
    return {};
}

void RecordStore::close()
{
    m_db.reset();
    m_number = 0;
}
