// Running the simulated terminal as a separate process, reading the timings
// it wrote, and the statistics the bench reports.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

#include <sys/types.h>

struct TimedText {
    std::int64_t micros = 0;  // message: first byte read; reply: CR written
    QByteArray text;
};

struct Timings {
    std::vector<TimedText> messages;
    std::vector<TimedText> replies;
};

// quillan-simterm started with the given arguments; its pty path is read from
// the first line of its output.
class SimProcess
{
public:
    explicit SimProcess(const QStringList &args);
    ~SimProcess();
    bool ok() const { return !m_device.isEmpty(); }
    QString device() const { return m_device; }
    /// Waits for the process to end; its exit status.
    int wait();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    QString m_device;
};

QString simtermPath();
bool readTimings(const QString &path, Timings &out);

// Microsecond gaps from a terminal reply (CR written) to the first byte of
// the PC's next message, for the replies accepted by `reply` whose next
// message is accepted by `next`.
template <typename ReplyPred, typename NextPred>
std::vector<double> turnarounds(const Timings &t, ReplyPred reply, NextPred next)
{
    std::vector<double> out;
    for (size_t k = 0; k < t.replies.size() && k + 1 < t.messages.size(); ++k)
        if (reply(t.messages[k].text, t.replies[k].text) && next(t.messages[k + 1].text))
            out.push_back(double(t.messages[k + 1].micros - t.replies[k].micros));
    return out;
}

struct Stats {
    size_t n = 0;
    double median = 0, p90 = 0, p99 = 0, min = 0, max = 0, mean = 0;
};
Stats stats(std::vector<double> v);

/// VmHWM of this process in KiB, or -1.
long peakResidentKiB();

QString tempDirOnDisk(const QString &under);
