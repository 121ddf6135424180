// quillan-timings: turnarounds and rate from a quillan-simterm --timings file,
// whoever the PC program was. Prints "key value" lines for bench/window.sh.
//
//   quillan-timings upload FILE      records, record->REMOVE and NEXT->READ
//                                    (n, median, p90, p99 in µs), records/s
//   quillan-timings download FILE    lines, ACK->line (n, median, p90, p99), lines/s
//
// Exit status 1 when the file is missing or the dialogue in it is not a whole
// upload (READ ... DONE) or download (DOWN ... OVER).
#include "Measure.h"

#include <cstdio>

namespace {

bool isWord(const QByteArray &t)
{
    return t == "OVER" || t == "NEXT" || t == "NAK" || t == "ACK";
}

void printStats(const char *name, const std::vector<double> &v)
{
    const Stats s = stats(v);
    std::printf("%s_n %zu\n%s_median %.1f\n%s_p90 %.1f\n%s_p99 %.1f\n%s_mean %.1f\n", name, s.n, name, s.median, name,
                s.p90, name, s.p99, name, s.mean);
}

int fail(const char *why)
{
    std::fprintf(stderr, "quillan-timings: %s\n", why);
    return 1;
}

int upload(const Timings &t)
{
    const auto &m = t.messages;
    const auto &r = t.replies;
    if (m.size() < 2 || m.front().text != "READ" || m.back().text != "DONE")
        return fail("not a whole upload (READ ... DONE)");
    long records = 0;
    for (size_t k = 0; k < r.size(); ++k)
        if (k < m.size() && m[k].text == "READ" && !isWord(r[k].text))
            ++records;
    if (r.empty() || r.back().text != "OVER")
        return fail("the terminal's last reply is not OVER");
    std::printf("records %ld\n", records);
    printStats("record_remove",
               turnarounds(
                   t, [](const QByteArray &msg, const QByteArray &rep) { return msg == "READ" && !isWord(rep); },
                   [](const QByteArray &next) { return next == "REMOVE"; }));
    printStats("next_read",
               turnarounds(
                   t, [](const QByteArray &, const QByteArray &rep) { return rep == "NEXT"; },
                   [](const QByteArray &next) { return next == "READ"; }));
    // From the first READ to the READ after the last NEXT: whole cycles only.
    if (records > 0 && m.size() >= size_t(2 * records + 1)) {
        const double secs = double(m[size_t(2 * records)].micros - m[0].micros) / 1e6;
        std::printf("seconds %.3f\nrate %.2f\n", secs, double(records) / secs);
    }
    return 0;
}

int download(const Timings &t)
{
    const auto &m = t.messages;
    if (m.size() < 2 || m.front().text != "DOWN" || m.back().text != "OVER")
        return fail("not a whole download (DOWN ... OVER)");
    const long lines = long(m.size()) - 2;
    std::printf("lines %ld\n", lines);
    printStats("ack_line",
               turnarounds(
                   t, [](const QByteArray &, const QByteArray &rep) { return rep == "ACK"; },
                   [](const QByteArray &next) { return next != "OVER"; }));
    // From the first line's first byte to OVER's: whole line + ACK cycles.
    if (lines > 0) {
        const double secs = double(m.back().micros - m[1].micros) / 1e6;
        std::printf("seconds %.3f\nrate %.2f\n", secs, double(lines) / secs);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillan-timings upload|download TIMINGS-FILE\n");
        return 2;
    }
    Timings t;
    if (!readTimings(QString::fromLocal8Bit(argv[2]), t))
        return fail("cannot read the timings file");
    const QByteArray what(argv[1]);
    if (what == "upload")
        return upload(t);
    if (what == "download")
        return download(t);
    std::fprintf(stderr, "usage: quillan-timings upload|download TIMINGS-FILE\n");
    return 2;
}
