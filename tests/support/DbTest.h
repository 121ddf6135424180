#pragma once

// What the database suites share: their data tables' columns, and rows read back by SQL.
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

/// Adds a data table's columns, one type for each name.
template <typename... Types, typename... Names> void columns(Names... names) { (QTest::addColumn<Types>(names), ...); }

/// A query's rows, each row's values joined by spaces; a failure is the one row "failed: why".
inline QByteArrayList sqlRows(QSqlDatabase db, const QString &sql)
{
    if (!db.isOpen() && !db.open())
        return {"failed: " + db.lastError().text().toUtf8()};
    QSqlQuery q(db);
    if (!q.exec(sql))
        return {"failed: " + q.lastError().text().toUtf8()};
    QByteArrayList all;
    while (q.next()) {
        QByteArrayList row;
        for (int i = 0; i < q.record().count(); ++i)
            row << q.value(i).toByteArray();
        all << row.join(' ');
    }
    return all;
}

/// The test's own connection to an SQLite file, named by its path.
inline QSqlDatabase sqliteFile(const QString &path)
{
    if (QSqlDatabase::contains(path))
        return QSqlDatabase::database(path);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), path);
    db.setDatabaseName(path);
    db.open();
    return db;
}
