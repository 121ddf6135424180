// quillan-bareloop: the plain blocking loops of BareLoops.cpp as a program of
// their own, so that they can be measured in their own process beside any
// other PC program (bench/window.sh).
//
//   quillan-bareloop upload DEVICE OUTPUT     READ / record + CR LF, fdatasync / REMOVE ... DONE
//   quillan-bareloop download DEVICE INPUT    DOWN / one line per ACK / OVER
//   quillan-bareloop collect OUTPUT INTERVAL_MS TIMEOUT_MS DEVICE...
//                                             READ every interval on each, uploads, until SIGTERM
//
// The device is set to raw 115200 8N1 with RTS/CTS before the loop opens it
// again (the loop's own cfmakeraw() keeps the speed and flow control).
// Prints the number of records or lines moved; exit status 0 on success.
#include "BareLoops.h"

#include <QString>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: quillan-bareloop upload|download DEVICE FILE\n"
                         "       quillan-bareloop collect OUTPUT INTERVAL_MS TIMEOUT_MS DEVICE...\n");
    return 2;
}

// Returns the descriptor, kept open while the loop runs so the settings stay.
int configure(const char *device)
{
    const int fd = ::open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "quillan-bareloop: %s: %s\n", device, std::strerror(errno));
        return -1;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        std::fprintf(stderr, "quillan-bareloop: tcgetattr %s: %s\n", device, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD | CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        std::fprintf(stderr, "quillan-bareloop: tcsetattr %s: %s\n", device, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 6 && QLatin1String(argv[1]) == QLatin1String("collect")) {
        QStringList devices;
        for (int i = 5; i < argc; ++i)
            devices.append(QString::fromLocal8Bit(argv[i]));
        const long n = bareCollect(devices, QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
        if (n < 0)
            return 1;
        std::printf("%ld\n", n);
        return 0;
    }
    if (argc != 4)
        return usage();
    const QString what = QString::fromLocal8Bit(argv[1]);
    const QString device = QString::fromLocal8Bit(argv[2]);
    const QString file = QString::fromLocal8Bit(argv[3]);
    if (what != QLatin1String("upload") && what != QLatin1String("download"))
        return usage();

    const int held = configure(argv[2]);
    if (held < 0)
        return 1;
    const long n = what == QLatin1String("upload") ? bareUpload(device, file) : bareDownload(device, file);
    ::close(held);
    if (n < 0)
        return 1;
    std::printf("%ld\n", n);
    return 0;
}
