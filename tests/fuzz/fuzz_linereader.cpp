// LineReader against a splitter that sees the whole file at once. The reader
// fills 64 KiB at a time, so the input is placed where line endings meet
// that boundary (or its multiples).
//
// Input: a mode byte, a position byte, then the body.
//   mode & 3        0: the file is the body
//                   1: a filler line of ChunkSize - 128 + position bytes, then the body
//                   2: filler and body twice, meeting the second boundary elsewhere
//                   3: like 1, the filler made of LFs (then mostly lines of their own)
//   mode & 4        atEnd() asked twice before each line (it must not consume)
//   mode & 8        a second reader opens the same file after the first ends
#include "FuzzSupport.h"
#include "storage/LineReader.h"
#include "support/TestFiles.h"

namespace {

std::vector<QByteArray> readAllLines(const QString &path, bool askTwice)
{
    LineReader reader;
    if (Error e = openWhole(reader, path))
        fuzzFail("open failed", e.description.toUtf8());
    std::vector<QByteArray> lines;
    QByteArray line;
    for (;;) {
        const bool end = reader.atEnd();
        if (askTwice)
            FUZZ_CHECK(reader.atEnd() == end, QByteArray());
        if (end)
            break;
        if (Error e = readWholeLine(reader, line))
            fuzzFail("readWholeLine failed", e.description.toUtf8());
        lines.push_back(line);
        if (lines.size() > 1'000'000)
            fuzzFail("more lines than bytes");
    }
    reader.close();
    FUZZ_CHECK(!reader.isOpen() && reader.atEnd(), QByteArray());
    return lines;
}

QByteArray describe(const std::vector<QByteArray> &got, const std::vector<QByteArray> &want)
{
    QByteArray d = "got " + QByteArray::number(qsizetype(got.size())) + " lines, want "
                   + QByteArray::number(qsizetype(want.size()));
    for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
        if (got[i] != want[i])
            return d + "; first difference at line " + QByteArray::number(qsizetype(i)) + ": " + got[i].left(60)
                   + " / " + want[i].left(60);
    return d;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    const uint8_t mode = in.byte();
    const uint8_t position = in.byte();
    const QByteArray body = in.bytes(size);

    QByteArray file;
    const QByteArray filler(LineReader::ChunkSize - 128 + position, (mode & 3) == 3 ? '\n' : 'f');
    switch (mode & 3) {
    case 0:
        file = body;
        break;
    case 1:
    case 3:
        file = filler + body;
        break;
    case 2:
        file = filler + body + filler + body;
        break;
    }

    const QString path = scratchFile(QStringLiteral("lines.txt"), file);

    const std::vector<QByteArray> want = referenceLines(file);
    const std::vector<QByteArray> got = readAllLines(path, mode & 4);
    FUZZ_CHECK(got == want, describe(got, want));
    if (mode & 8)
        FUZZ_CHECK(readAllLines(path, false) == want, QByteArray("second reading differs"));
    return 0;
}
