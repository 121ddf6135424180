#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class QSqlError;
struct pg_result;

// The upload's records written into a database table instead of a text file,
// with the same promise: writeRecord() returns only once the row is committed
// (one transaction per record), so the terminal may then be told to delete
// the record. A commit whose outcome is unknown (the connection lost during
// it) is a failure.
//
// Destinations:
//   sqlite:PATH, sqlite:///ABSOLUTE/PATH   an SQLite file, made when missing
//   postgresql://..., postgres://...       a libpq connection URI, as psql takes it
//   anything else                          a text file (RecordFile); "./sqlite:x" is one
//
// The table (default "records", "schema.table" allowed) is made when missing.
// An existing one is used only when it has every column with a fitting type,
// and nothing else that an INSERT of ours would leave without a value; it is
// never altered. Columns:
//   id            generated (identity / INTEGER PRIMARY KEY)
//   committed     when the row was committed, UTC (timestamptz / ISO 8601 text)
//   station       the PC's host name, or as given
//   port          the port as the user named it
//   device        the device it resolved to
//   transfer      one id per upload or docking (a UUID)
//   number        the record's number in the transfer, from 1
//   record        the record's bytes exactly (bytea / BLOB; empty is empty, never NULL)
//   unconfirmed   the terminal did not answer this row's REMOVE: the record may come again
//   maybe_repeat  the first row of a transfer that equals the previous row of the
//                 same station and port, which was unconfirmed
//
// PostgreSQL privileges for a role that writes into an existing table:
//   GRANT INSERT ON records TO writer;                       -- writeRecord()
//   GRANT SELECT (id, station, port, transfer, number, record, unconfirmed),
//         UPDATE (unconfirmed, maybe_repeat) ON records TO writer;  -- the markers
// and USAGE on id's sequence if id is a serial column (an identity column
// needs none). Without the markers' grants writing works and canMark() is false.
class RecordStore
{
public:
    enum class Kind { File, Sqlite, Postgresql, Invalid };
    struct Destination
    {
        Kind kind = Kind::Invalid;
        QString target;   // File, Sqlite: the path; Postgresql: the URI
        QString problem;  // Invalid: why
    };
    /// What a destination names; classifies only, touches nothing.
    static Destination parse(const QString &destination);
    /// The destination as messages may show it: any password (in the user
    /// part or as password= / sslpassword=) replaced by "***".
    static QString redacted(const QString &destination);

    static constexpr int DefaultBusyTimeoutMs = 5000;
    static QString defaultTable() { return QStringLiteral("records"); }

    RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;
    ~RecordStore();

    /// Connects, makes or checks the table and prepares the insert; nothing
    /// is written. station empty: this host's name. Starts a transfer.
    /// Destinations of Kind File are not this class's: refused.
    Error open(const QString &destination, const QString &table, const QString &station, const QString &port,
               const QString &device);
    /// Starts a new transfer (new id, numbers from 1) on the open store.
    void beginTransfer();
    /// Inserts and commits the record as the next row of this transfer.
    Error writeRecord(const QByteArray &record);
    /// Marks the last row written as unconfirmed.
    Error markUnconfirmed();
    /// Marks row number of transfer unconfirmed if it is this station and
    /// port's last row: a record whose commit had no answer may have been
    /// committed all the same.
    Error markUnconfirmed(const QString &transfer, qint64 number);
    /// Marks this transfer's first row maybe_repeat if the row before it for
    /// this station and port is unconfirmed and holds the same bytes.
    Error markRepeat(bool *marked = nullptr);
    void close();

    /// SQLite: how long a write waits for another connection's lock.
    /// Takes effect at the next open().
    void setBusyTimeout(int ms) { m_busyTimeoutMs = ms; }

    bool isOpen() const;
    bool canMark() const { return m_canMark; }
    QString transferId() const { return m_transfer; }
    qint64 recordsWritten() const { return m_number; }
    /// The destination as messages show it, with its table.
    QString shown() const;
    /// The QSqlDatabase connection's name, for a look at its settings.
    QString connectionName() const;

private:
    struct Connection;
    Error openSqlite(const QString &path);
    Error openPostgresql(const QString &uri);
    Error prepareTable();
    Error checkColumns();
    Error checkPrivileges();
    Error createTable();
    Error prepareStatements();
    Error failure(const QString &doing, const QSqlError &error) const;
    /// libpq's answer (or, without one, the connection's last message) as Qt's driver would give it.
    QSqlError pgError(const pg_result *result) const;
    QString scrubbed(QString text) const;

    std::unique_ptr<Connection> m_db;
    Kind m_kind = Kind::Invalid;
    QString m_shown;           // the destination without its password
    QStringList m_secrets;     // text never to appear in a message
    QStringList m_tableParts;  // schema (optional) and name, unquoted
    QString m_table;           // quoted, for SQL
    QString m_station;
    QString m_port;
    QString m_device;
    QString m_transfer;
    qint64 m_number = 0;
    int m_busyTimeoutMs = DefaultBusyTimeoutMs;
    bool m_canMark = false;
};
