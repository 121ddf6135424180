#include "support/PgServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
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

PgServer::~PgServer()
{
    stop();
}

// Debian keeps initdb and postgres out of PATH, in a folder per version.
bool PgServer::launch(QProcess &p, const QString &program, const QStringList &arguments)
{
    const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    const QString path = versions.isEmpty() ? QString() : QStringLiteral("/usr/lib/postgresql/%1/bin/%2").arg(versions.last(), program);
    if (!QFile::exists(path)) {
        m_error = QStringLiteral("no PostgreSQL server (%1): install postgresql-15 (scripts/packages.sh)").arg(program);
        return false;
    }
    p.setWorkingDirectory(m_dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    // The server's own log goes to a file: a pipe nobody reads would stop it once full.
    if (program == QLatin1String("postgres"))
        p.setStandardOutputFile(m_dir.filePath(QStringLiteral("log")), QIODevice::Append);
    const bool root = geteuid() == 0;
    gid_t gid;
    const uid_t uid = nobody(&gid);
    p.setChildProcessModifier([root, uid, gid] {
        if (root && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
        prctl(PR_SET_PDEATHSIG, SIGQUIT); // after setuid, which clears it
    });
    p.start(path, arguments);
    if (!p.waitForStarted()) {
        m_error = QStringLiteral("%1 did not start: %2").arg(program, p.errorString());
        return false;
    }
    return true;
}

bool PgServer::start()
{
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (m_server)
        return true;
    if (!m_dir.isValid() || (geteuid() == 0 && chown(QFile::encodeName(m_dir.path()).constData(), nobody(), gid_t(-1)) != 0)) {
        m_error = QStringLiteral("no temporary folder for the server that nobody may use: %1").arg(m_dir.errorString());
        return false;
    }
    if (!QFile::exists(data)) {
        QProcess init;
        if (!launch(init, QStringLiteral("initdb"), {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-A"),
                                                     QStringLiteral("trust"), QStringLiteral("--no-sync"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                                                     QStringLiteral("--locale=C")}))
            return false;
        if (!init.waitForFinished(60000) || init.exitStatus() != QProcess::NormalExit || init.exitCode() != 0) {
            m_error = QStringLiteral("initdb failed: %1").arg(QString::fromLocal8Bit(init.readAll()));
            return false;
        }
        QFile hba(data + QStringLiteral("/pg_hba.conf"));
        if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate) || hba.write("local all postgres trust\nlocal all all scram-sha-256\n") < 0) {
            m_error = QStringLiteral("cannot write %1").arg(hba.fileName());
            return false;
        }
    }
    m_server = std::make_unique<QProcess>();
    if (!launch(*m_server, QStringLiteral("postgres"), {QStringLiteral("-D"), data, QStringLiteral("-k"), m_dir.path(), QStringLiteral("-c"),
                                                        QStringLiteral("listen_addresses=")})) {
        m_server.reset();
        return false;
    }
    // Ready once it takes a connection; a server that ends meanwhile says why in its log.
    for (int waited = 0; waited < 30000 && m_server->state() == QProcess::Running; waited += 50) {
        if (database().isOpen())
            return true;
        m_server->waitForFinished(50);
    }
    QFile log(m_dir.filePath(QStringLiteral("log")));
    m_error = QStringLiteral("the server did not start: %1").arg(log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll()) : m_error);
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
