#include "Measure.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <numeric>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

QString simtermPath()
{
    const QByteArray configured = qgetenv("QUILLAN_SIMTERM");
    return configured.isEmpty() ? QStringLiteral(QUILLAN_SIMTERM_PATH) : QString::fromLocal8Bit(configured);
}

SimProcess::SimProcess(const QStringList &args)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return;
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(simtermPath()));
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    m_out = pipeFds[0];
    if (rc != 0) {
        m_pid = -1;
        return;
    }
    QByteArray line;
    char c;
    while (::read(m_out, &c, 1) == 1 && c != '\n')
        line += c;
    m_device = QString::fromLocal8Bit(line);
}

SimProcess::~SimProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        wait();
    }
    if (m_out >= 0)
        ::close(m_out);
}

int SimProcess::wait()
{
    if (m_pid <= 0)
        return -1;
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool readTimings(const QString &path, Timings &out)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    out = {};
    while (!f.atEnd()) {
        QByteArray line = f.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.startsWith("M ")) {
            // M first cr text
            const qsizetype a = line.indexOf(' ', 2), b = line.indexOf(' ', a + 1);
            if (a < 0 || b < 0)
                return false;
            out.messages.push_back({line.mid(2, a - 2).toLongLong(), line.mid(b + 1)});
        } else if (line.startsWith("R ")) {
            const qsizetype a = line.indexOf(' ', 2);
            if (a < 0)
                return false;
            out.replies.push_back({line.mid(2, a - 2).toLongLong(), line.mid(a + 1)});
        }
    }
    return true;
}

Stats stats(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    // Nearest rank.
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(std::ceil(q * double(v.size()))) - (q > 0))]; };
    s.median = at(0.5);
    s.p90 = at(0.9);
    s.p99 = at(0.99);
    s.min = v.front();
    s.max = v.back();
    s.mean = std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
    return s;
}

long peakResidentKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &l : lines)
        if (l.startsWith("VmHWM:"))
            return l.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

QString tempDirOnDisk(const QString &under)
{
    QDir base(under);
    const QString name = QStringLiteral("quillan-bench-%1").arg(::getpid());
    base.mkpath(name);
    return base.absoluteFilePath(name);
}
