#pragma once

#include <QProcess>
#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A throwaway PostgreSQL server: its own cluster in a temporary folder, run
// as an unprivileged user (nobody when the tests run as root, as the server
// refuses root), listening only on a Unix socket in that folder. The
// superuser "postgres" connects without a password, other roles with theirs.
// The server is this process's child and ends with it, even when a test
// crashes.
class PgServer
{
public:
    ~PgServer() { stop(); }
    /// initdb the first time, then the server; false with error() saying why.
    bool start();
    bool stop();
    QString error() const { return m_error; }
    QString socketDir() const { return m_dir.path(); }
    /// postgresql://USER[:PASSWORD]@/postgres?host=DIR, percent-encoded.
    QString uri(const QString &user = QStringLiteral("postgres"), const QString &password = {}) const;
    /// The superuser's connection to database postgres.
    QSqlDatabase database();
    /// Runs statements as the superuser; false with error().
    bool exec(const QString &sql);
    /// A role that logs in with password, granted grant (as "INSERT ON t").
    bool addRole(const QString &name, const QString &password, const QString &grant);

private:
    bool fail(const QString &why) { m_error = why; return false; }
    bool launch(QProcess &p, const QString &program, const QStringList &arguments);

    QTemporaryDir m_dir;
    QString m_error;
    std::unique_ptr<QProcess> m_server;
};
