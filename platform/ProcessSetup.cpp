#include "platform/ProcessSetup.h"

#include <QtGlobal>

#include <csignal>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
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
} // namespace

void setUpProcess()
{
    openClosedStandardStreams();
#ifdef SIGXFSZ
    // Past a file size limit a write should fail and be reported, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // A log or standard error whose reader went away: an error, not a kill.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}
