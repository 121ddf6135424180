#include "cli/SignalWatch.h"

#include <QList>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

namespace {
#ifdef Q_OS_UNIX
int pipeFds[2] = {-1, -1};

void onSignal(int sig)
{
    const int saved = errno;
    const char c = char(sig);
    [[maybe_unused]] auto n = ::write(pipeFds[1], &c, 1); // full pipe: a byte is already waiting
    errno = saved;
}
#else
std::atomic<bool> signalled{false};
std::atomic<bool> ending{false};
HANDLE endedEvent = nullptr; // set once the watch is gone: the transfer has ended

void onSignal(int sig)
{
    signalled = true;
    std::signal(sig, onSignal);
}

// Runs on a thread of its own. Ctrl-C and Ctrl-Break end the transfer between
// two messages, as SIGINT does; closing the console (or logging off) ends the
// process once this returns, so it waits for the transfer to end first,
// within the few seconds Windows allows.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (!ending)
            signalled = true;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        signalled = true;
        if (endedEvent)
            WaitForSingleObject(endedEvent, 4000);
        return TRUE;
    default:
        return FALSE;
    }
}
#endif
}

SignalWatch::SignalWatch(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::pipe(pipeFds) != 0)
        return;
    for (int fd : pipeFds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    m_notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char buf[64];
        QList<int> seen;
        for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) {
            for (ssize_t i = 0; i < n; ++i) {
                if (!seen.contains(buf[i]))
                    seen.append(buf[i]);
            }
        }
        for (int sig : std::as_const(seen))
            Q_EMIT caught(sig);
    });
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART; // a port or file call in progress goes on
    // SIGHUP: the SSH session or terminal window closed; the transfer still
    // ends between two messages with its file, summary and log whole.
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
#else
    endedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::signal(SIGTERM, onSignal);
    m_poll = new QTimer(this);
    m_poll->setInterval(50);
    connect(m_poll, &QTimer::timeout, this, [this] {
        if (signalled.exchange(false))
            Q_EMIT caught(SIGINT);
    });
    m_poll->start();
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#endif
}

SignalWatch::~SignalWatch()
{
    // The process is ending: a late second signal must not kill it midway.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
#ifdef Q_OS_WIN
    ending = true;
    if (endedEvent)
        SetEvent(endedEvent); // a console being closed may end the process now
#endif
#ifdef Q_OS_UNIX
    std::signal(SIGHUP, SIG_IGN);
    delete m_notifier;
    m_notifier = nullptr;
    for (int &fd : pipeFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
#endif
}
