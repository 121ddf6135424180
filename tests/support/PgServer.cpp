#include "support/PgServer.h"

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// nobody's user and group ids.
std::pair<uid_t, gid_t> nobody()
{
    const passwd *p = getpwnam("nobody");
    return {p ? p->pw_uid : 65534, p ? p->pw_gid : 65534};
}
}

// Debian keeps initdb and postgres out of PATH, in a folder per version.
bool PgServer::launch(QProcess &p, const QString &program, const QStringList &arguments)
{
    const QStringList versions = QDir(u"/usr/lib/postgresql"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    const QString path = versions.isEmpty() ? QString() : u"/usr/lib/postgresql/%1/bin/%2"_s.arg(versions.last(), program);
    if (!QFile::exists(path))
        return fail(u"no PostgreSQL server (%1): install postgresql-15 (scripts/packages.sh)"_s.arg(program));
    p.setWorkingDirectory(m_dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"LC_ALL"_s, u"C"_s);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    // The server's own log goes to a file: a pipe nobody reads would stop it once full.
    if (program == "postgres"_L1)
        p.setStandardOutputFile(m_dir.filePath(u"log"_s), QIODevice::Append);
    p.setChildProcessModifier([root = geteuid() == 0, ids = nobody()] {
        if (root && (setgroups(0, nullptr) != 0 || setgid(ids.second) != 0 || setuid(ids.first) != 0))
            _exit(126);
        prctl(PR_SET_PDEATHSIG, SIGQUIT); // after setuid, which clears it
    });
    p.start(path, arguments);
    return p.waitForStarted() || fail(u"%1 did not start: %2"_s.arg(program, p.errorString()));
}

bool PgServer::start()
{
    const QString data = m_dir.filePath(u"data"_s);
    if (m_server)
        return true;
    if (!m_dir.isValid() || (geteuid() == 0 && chown(QFile::encodeName(m_dir.path()).constData(), nobody().first, gid_t(-1)) != 0))
        return fail(u"no temporary folder for the server that nobody may use: %1"_s.arg(m_dir.errorString()));
    if (!QFile::exists(data)) {
        QProcess init;
        if (!launch(init, u"initdb"_s, QStringList{u"-D"_s, data} + u"-U postgres -A trust --no-sync -E UTF8 --locale=C"_s.split(u' ')))
            return false;
        if (!init.waitForFinished(60000) || init.exitStatus() != QProcess::NormalExit || init.exitCode() != 0)
            return fail(u"initdb failed: %1"_s.arg(QString::fromLocal8Bit(init.readAll())));
        QFile hba(data + u"/pg_hba.conf"_s);
        if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate) || hba.write("local all postgres trust\nlocal all all scram-sha-256\n") < 0)
            return fail(u"cannot write %1"_s.arg(hba.fileName()));
    }
    m_server = std::make_unique<QProcess>();
    if (!launch(*m_server, u"postgres"_s, {u"-D"_s, data, u"-k"_s, m_dir.path(), u"-c"_s, u"listen_addresses="_s})) {
        m_server.reset();
        return false;
    }
    // Ready once it takes a connection; a server that ends meanwhile says why in its log.
    for (int waited = 0; waited < 30000 && m_server->state() == QProcess::Running; waited += 50) {
        if (database().isOpen())
            return true;
        m_server->waitForFinished(50);
    }
    QFile log(m_dir.filePath(u"log"_s));
    m_error = u"the server did not start: %1"_s.arg(log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll()) : m_error);
    stop();
    return false;
}

bool PgServer::stop()
{
    QSqlDatabase::removeDatabase(m_dir.path());
    if (!m_server)
        return true;
    // SIGINT: a fast shutdown, which ends every session at once.
    ::kill(pid_t(m_server->processId()), SIGINT);
    const bool stopped = m_server->waitForFinished(30000);
    if (!stopped)
        m_server->kill();
    m_server.reset();
    return stopped;
}

QString PgServer::uri(const QString &user, const QString &password) const
{
    const auto encoded = [](const QString &s) { return QString::fromUtf8(QUrl::toPercentEncoding(s)); };
    return u"postgresql://%1%2@/postgres?host=%3"_s.arg(encoded(user), password.isEmpty() ? QString() : u':' + encoded(password), encoded(m_dir.path()));
}

QSqlDatabase PgServer::database()
{
    // Named by the folder: one connection per server.
    QSqlDatabase db = QSqlDatabase::database(m_dir.path(), false);
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(u"QPSQL"_s, m_dir.path());
        db.setHostName(m_dir.path());
        db.setDatabaseName(u"postgres"_s);
        db.setUserName(u"postgres"_s);
    }
    if (!db.isOpen() && !db.open())
        m_error = db.lastError().text();
    return db;
}

bool PgServer::exec(const QString &sql)
{
    QSqlQuery q(database());
    return q.exec(sql) || fail(q.lastError().text());
}

bool PgServer::addRole(const QString &name, const QString &password, const QString &grant)
{
    return exec(u"CREATE ROLE %1 LOGIN PASSWORD '%2'; GRANT %3 TO %1"_s.arg(name, QString(password).replace(u'\'', u"''"_s), grant));
}
