#include "BareLoops.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

int bad(const char *what)
{
    std::fprintf(stderr, "bare loop: %s: %s\n", what, std::strerror(errno));
    return -1;
}

int openDevice(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return bad("open device");
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

bool writeAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Reads one CR-ended message; bytes after the CR stay in `carry`.
bool readMessage(int fd, std::string &carry, std::string &message)
{
    for (;;) {
        const size_t cr = carry.find('\r');
        if (cr != std::string::npos) {
            message.assign(carry, 0, cr);
            carry.erase(0, cr + 1);
            return true;
        }
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        carry.append(buf, size_t(n));
    }
}

} // namespace

long bareUpload(const QString &device, const QString &outputPath)
{
    Fd dev{openDevice(device)};
    if (dev.fd < 0)
        return -1;
    Fd out{::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    if (out.fd < 0)
        return bad("open output");
    std::string carry, msg, line;
    long saved = 0;
    for (;;) {
        if (!writeAll(dev.fd, "READ\r", 5) || !readMessage(dev.fd, carry, msg))
            return bad("READ");
        if (msg == "OVER")
            break;
        line = msg;
        line += "\r\n";
        if (!writeAll(out.fd, line.data(), line.size()) || ::fdatasync(out.fd) != 0)
            return bad("save record");
        ++saved;
        if (!writeAll(dev.fd, "REMOVE\r", 7) || !readMessage(dev.fd, carry, msg) || msg != "NEXT")
            return bad("REMOVE");
    }
    if (!writeAll(dev.fd, "DONE\r", 5))
        return bad("DONE");
    ::tcdrain(dev.fd);
    return saved;
}

long bareDownload(const QString &device, const QString &inputPath)
{
    Fd dev{openDevice(device)};
    if (dev.fd < 0)
        return -1;
    Fd in{::open(QFile::encodeName(inputPath).constData(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0)
        return bad("open input");
    std::string carry, msg;
    if (!writeAll(dev.fd, "DOWN\r", 5) || !readMessage(dev.fd, carry, msg) || msg != "ACK")
        return bad("DOWN");

    // 64 KiB at a time, lines ended by CR LF; the line is sent with its CR.
    std::vector<char> buf(64 * 1024);
    size_t pos = 0, end = 0;
    bool eof = false;
    long sent = 0;
    std::string pendingLine;
    for (;;) {
        const char *start = buf.data() + pos;
        const void *cr = std::memchr(start, '\r', end - pos);
        if (!cr) {
            pendingLine.append(start, end - pos);
            pos = end = 0;
            if (eof)
                break;
            const ssize_t n = ::read(in.fd, buf.data(), buf.size());
            if (n < 0)
                return bad("read input");
            if (n == 0)
                eof = true;
            end = size_t(n);
            continue;
        }
        const size_t len = size_t(static_cast<const char *>(cr) - start);
        pendingLine.append(start, len + 1); // with the CR
        pos += len + 1;
        if (pos == end && !eof) {
            const ssize_t n = ::read(in.fd, buf.data(), buf.size());
            if (n < 0)
                return bad("read input");
            pos = 0;
            end = size_t(n);
            eof = n == 0;
        }
        if (pos < end && buf[pos] == '\n')
            ++pos;
        if (!writeAll(dev.fd, pendingLine.data(), pendingLine.size()) || !readMessage(dev.fd, carry, msg)
            || msg != "ACK")
            return bad("line");
        pendingLine.clear();
        ++sent;
    }
    if (!pendingLine.empty()) {
        pendingLine += '\r';
        if (!writeAll(dev.fd, pendingLine.data(), pendingLine.size()) || !readMessage(dev.fd, carry, msg))
            return bad("last line");
        ++sent;
    }
    if (!writeAll(dev.fd, "OVER\r", 5))
        return bad("OVER");
    ::tcdrain(dev.fd);
    return sent;
}

namespace {
volatile sig_atomic_t collectEnds = 0;

long long nowMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// After a first record: the rest of an upload, as bareUpload does it.
bool uploadRest(int dev, int out, std::string &carry, std::string msg, long &saved)
{
    std::string line;
    while (msg != "OVER") {
        line = msg + "\r\n";
        if (!writeAll(out, line.data(), line.size()) || ::fdatasync(out) != 0) {
            bad("save record");
            return false;
        }
        ++saved;
        if (!writeAll(dev, "REMOVE\r", 7) || !readMessage(dev, carry, msg) || msg != "NEXT"
            || !writeAll(dev, "READ\r", 5) || !readMessage(dev, carry, msg)) {
            bad("REMOVE");
            return false;
        }
    }
    return writeAll(dev, "DONE\r", 5);
}
}

long bareCollect(const QStringList &devices, const QString &outputPath, int intervalMs, int timeoutMs)
{
    struct sigaction sa{};
    sa.sa_handler = [](int) { collectEnds = 1; };
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    struct Port {
        Fd dev;
        std::string carry;
        long long due = 0, deadline = -1; // deadline >= 0: a READ awaits its reply
    };
    std::vector<Port> ports(size_t(devices.size()));
    for (qsizetype i = 0; i < devices.size(); ++i) {
        if ((ports[size_t(i)].dev.fd = openDevice(devices[i])) < 0)
            return -1;
    }
    Fd out{::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)};
    if (out.fd < 0)
        return bad("open output");
    long saved = 0;
    std::vector<pollfd> fds(ports.size());
    while (!collectEnds) {
        long long now = nowMs(), next = now + intervalMs;
        for (size_t i = 0; i < ports.size(); ++i) {
            Port &p = ports[i];
            if (p.deadline < 0 && now >= p.due) {
                if (!writeAll(p.dev.fd, "READ\r", 5))
                    return bad("READ");
                p.deadline = now + timeoutMs;
            }
            next = std::min(next, p.deadline >= 0 ? p.deadline : p.due);
            fds[i] = {p.dev.fd, short(p.deadline >= 0 ? POLLIN : 0), 0};
        }
        if (::poll(fds.data(), fds.size(), int(std::max(0LL, next - now))) < 0 && errno != EINTR)
            return bad("poll");
        now = nowMs();
        for (size_t i = 0; i < ports.size(); ++i) {
            Port &p = ports[i];
            std::string msg;
            if ((fds[i].revents & POLLIN) && readMessage(p.dev.fd, p.carry, msg)) {
                if (msg == "OVER" ? !writeAll(p.dev.fd, "DONE\r", 5) : !uploadRest(p.dev.fd, out.fd, p.carry, msg, saved))
                    return -1;
                p.deadline = -1;
                p.due = nowMs() + intervalMs;
            } else if (p.deadline >= 0 && now >= p.deadline) {
                p.deadline = -1;
                p.due = now + intervalMs;
            }
        }
    }
    return saved;
}
