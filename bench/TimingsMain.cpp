// quillan-timings: turnarounds and rate from a quillan-simterm --timings file,
// whoever the PC program was. Prints "key value" lines for bench/window.sh.
//
//   quillan-timings upload FILE...     records, record->REMOVE and NEXT->READ
//                                      (n, median, p90, p99, mean in µs), records/s
//   quillan-timings download FILE...   lines, ACK->line (n, median, p90, p99, mean), lines/s
//
// Several files (runs of the same program) are pooled: every exchange of
// every run counts once; the rate is all items over all their seconds.
// Exit status 1 when a file is missing or the dialogue in it is not a whole
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

void append(std::vector<double> &to, const std::vector<double> &from)
{
    to.insert(to.end(), from.begin(), from.end());
}

bool fail(const char *why, const char *file)
{
    std::fprintf(stderr, "quillan-timings: %s: %s\n", file, why);
    return false;
}

struct Pool {
    long items = 0;
    double seconds = 0;
    std::vector<double> first, second;
};

bool addUpload(const Timings &t, const char *file, Pool &pool)
{
    const auto &m = t.messages;
    const auto &r = t.replies;
    if (m.size() < 2 || m.front().text != "READ" || m.back().text != "DONE")
        return fail("not a whole upload (READ ... DONE)", file);
    if (r.empty() || r.back().text != "OVER")
        return fail("the terminal's last reply is not OVER", file);
    long records = 0;
    for (size_t k = 0; k < r.size() && k < m.size(); ++k)
        if (m[k].text == "READ" && !isWord(r[k].text))
            ++records;
    append(pool.first,
           turnarounds(
               t, [](const QByteArray &msg, const QByteArray &rep) { return msg == "READ" && !isWord(rep); },
               [](const QByteArray &next) { return next == "REMOVE"; }));
    append(pool.second, turnarounds(
                            t, [](const QByteArray &, const QByteArray &rep) { return rep == "NEXT"; },
                            [](const QByteArray &next) { return next == "READ"; }));
    // From the first READ to the READ after the last NEXT: whole cycles only.
    if (records > 0 && m.size() >= size_t(2 * records + 1)) {
        pool.items += records;
        pool.seconds += double(m[size_t(2 * records)].micros - m[0].micros) / 1e6;
    }
    return true;
}

bool addDownload(const Timings &t, const char *file, Pool &pool)
{
    const auto &m = t.messages;
    if (m.size() < 2 || m.front().text != "DOWN" || m.back().text != "OVER")
        return fail("not a whole download (DOWN ... OVER)", file);
    const long lines = long(m.size()) - 2;
    append(pool.first, turnarounds(
                           t, [](const QByteArray &, const QByteArray &rep) { return rep == "ACK"; },
                           [](const QByteArray &next) { return next != "OVER"; }));
    // From the first line's first byte to OVER's: whole line + ACK cycles.
    if (lines > 0) {
        pool.items += lines;
        pool.seconds += double(m.back().micros - m[1].micros) / 1e6;
    }
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: quillan-timings upload|download TIMINGS-FILE...\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return usage();
    const QByteArray what(argv[1]);
    if (what != "upload" && what != "download")
        return usage();
    const bool upload = what == "upload";
    Pool pool;
    for (int i = 2; i < argc; ++i) {
        Timings t;
        if (!readTimings(QString::fromLocal8Bit(argv[i]), t)) {
            fail("cannot read the timings file", argv[i]);
            return 1;
        }
        if (!(upload ? addUpload(t, argv[i], pool) : addDownload(t, argv[i], pool)))
            return 1;
    }
    std::printf("files %d\n%s %ld\n", argc - 2, upload ? "records" : "lines", pool.items);
    if (upload) {
        printStats("record_remove", pool.first);
        printStats("next_read", pool.second);
    } else {
        printStats("ack_line", pool.first);
    }
    if (pool.seconds > 0)
        std::printf("seconds %.3f\nrate %.2f\n", pool.seconds, double(pool.items) / pool.seconds);
    return 0;
}
