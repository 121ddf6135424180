#include "platform/ProcessSetup.h"

#include <QDir>
#include <QtGlobal>

#include <climits>

#include <csignal>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {
// A standard stream the caller closed (a cron line's "<&- >&- 2>&-") would
// be the next file opened: the signal pipe, the port or a record file would
// then get the summaries written to standard error.
void openClosedStandardStreams()
{
#ifndef Q_OS_WIN
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor: fd itself, those below it being open by now.
        ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
#endif
    // Windows: the C runtime keeps descriptors 0 to 2 taken even when the
    // process got no standard handles, so no file opened later lands on them.
}

// The soft limit of open files is often 1024 or lower while the hard one is
// far higher; every watched port takes a few. Qt polls, never select()s, so
// descriptors above 1024 are safe.
void raiseOpenFileLimit()
{
#ifndef Q_OS_WIN
    struct rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}
} // namespace

void setUpProcess()
{
    openClosedStandardStreams();
    raiseOpenFileLimit();
#ifdef SIGXFSZ
    // Past a file size limit a write should fail and be reported, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // A log or standard error whose reader went away: an error, not a kill.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

int freeDescriptors()
{
#ifdef Q_OS_LINUX
    struct rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    // The entries of /proc/self/fd, less the listing's own.
    const qsizetype open =
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()
        - 1;
    if (open < 0)
        return -1;
    return int(qMin<rlim_t>(limit.rlim_cur, INT_MAX) - open);
#else
    return -1;
#endif
}
