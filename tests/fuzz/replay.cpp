// Runs one fuzz target without libFuzzer, for builds where clang's fuzzer is
// not at hand (Windows): every file of its seed corpus, then a fixed number
// of inputs from a seeded generator, so each run sees the same inputs. The
// target's own checks abort on a broken invariant, as under libFuzzer.
// Usage: <target> CORPUS-FOLDER COUNT
#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {
int run(const QByteArray &input)
{
    return LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
}
}

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER COUNT\n", argv[0]);
        return 2;
    }
    const QDir corpus(QFile::decodeName(argv[1]));
    const QStringList seeds = corpus.entryList(QDir::Files, QDir::Name);
    if (seeds.isEmpty()) {
        std::fprintf(stderr, "no seed inputs in %s\n", argv[1]);
        return 1;
    }
    for (const QString &name : seeds) {
        QFile f(corpus.filePath(name));
        if (!f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(f.fileName()));
            return 1;
        }
        run(f.readAll());
    }
    const long count = std::strtol(argv[2], nullptr, 10);
    std::mt19937 generator(20261208);
    for (long i = 0; i < count; ++i) {
        // Short inputs mostly: the formats spend a byte or two on each step.
        QByteArray input(qsizetype(generator() % 300), '\0');
        for (char &c : input)
            c = char(generator() & 0xFF);
        run(input);
    }
    std::printf("%lld seed inputs and %ld generated inputs, no invariant broken\n", qlonglong(seeds.size()), count);
    return 0;
}
