#include "support/PgServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {
uid_t nobody(gid_t *gid = nullptr)
{
    const passwd *p = getpwnam("nobody");
    if (gid)
        *gid = p ? p->pw_gid : 65534;
    return p ? p->pw_uid : 65534;
}
}

// Debian keeps initdb and pg_ctl out of PATH, in a folder per version.
bool PgServer::run(const QString &program, const QStringList &arguments)
{
    const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    const QString path = versions.isEmpty() ? QString() : QStringLiteral("/usr/lib/postgresql/%1/bin/%2").arg(versions.last(), program);
    if (!QFile::exists(path)) {
        m_error = QStringLiteral("no PostgreSQL server (%1): install postgresql-15 (scripts/packages.sh)").arg(program);
        return false;
    }
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (geteuid() == 0) {
        gid_t gid;
        const uid_t uid = nobody(&gid);
        p.setChildProcessModifier([uid, gid] {
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
                _exit(126);
        });
    }
    p.start(path, arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed (%2): %3").arg(program, p.errorString(), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

bool PgServer::start()
{
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (m_running)
        return true;
    if (!m_dir.isValid() || (geteuid() == 0 && chown(QFile::encodeName(m_dir.path()).constData(), nobody(), gid_t(-1)) != 0)) {
        m_error = QStringLiteral("no temporary folder for the server that nobody may use: %1").arg(m_dir.errorString());
        return false;
    }
    if (!QFile::exists(data)) {
        if (!run(QStringLiteral("initdb"), {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-A"),
                                            QStringLiteral("trust"), QStringLiteral("--no-sync"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                                            QStringLiteral("--locale=C")}))
            return false;
        QFile hba(data + QStringLiteral("/pg_hba.conf"));
        if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate) || hba.write("local all postgres trust\nlocal all all scram-sha-256\n") < 0) {
            m_error = QStringLiteral("cannot write %1").arg(hba.fileName());
            return false;
        }
    }
    m_running = run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data, QStringLiteral("-l"), m_dir.filePath(QStringLiteral("log")), QStringLiteral("-w"),
                                               QStringLiteral("-o"), QStringLiteral("-k %1 -c listen_addresses=''").arg(m_dir.path()), QStringLiteral("start")});
    return m_running;
}

bool PgServer::stop()
{
    QSqlDatabase::removeDatabase(m_dir.path());
    if (m_running)
        m_running = !run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-m"),
                                                    QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")});
    return !m_running;
}

QString PgServer::uri(const QString &user, const QString &password) const
{
    const auto encoded = [](const QString &s) { return QString::fromUtf8(QUrl::toPercentEncoding(s)); };
    return QStringLiteral("postgresql://%1%2@/postgres?host=%3")
        .arg(encoded(user), password.isEmpty() ? QString() : QLatin1Char(':') + encoded(password), encoded(m_dir.path()));
}

QSqlDatabase PgServer::database()
{
    // Named by the folder: one connection per server.
    QSqlDatabase db = QSqlDatabase::database(m_dir.path(), false);
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_dir.path());
        db.setHostName(m_dir.path());
        db.setDatabaseName(QStringLiteral("postgres"));
        db.setUserName(QStringLiteral("postgres"));
    }
    if (!db.isOpen() && !db.open())
        m_error = db.lastError().text();
    return db;
}

bool PgServer::exec(const QString &sql)
{
    QSqlQuery q(database());
    if (!q.exec(sql)) {
        m_error = q.lastError().text();
        return false;
    }
    return true;
}
