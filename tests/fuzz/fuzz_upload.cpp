// Upload: reply assembly and reply handling under arbitrary replies and read
// boundaries, including bytes that arrive while a message box is open.
//
// Input: one flags byte, then pieces, each a control byte and its bytes.
//   flags bit 0     the output file exists already (and is replaced)
//   control & 0x3F  piece length; 0x3F: 63 + 4 * the next byte
//   control & 0x40  an empty notification follows the piece
//   control & 0x80  the piece arrives while the next message box is open
// The PC's reads are what the port handed out; the expected outcome is worked
// out from them by a separate model of the dialogue.
#include "FuzzSupport.h"
#include "support/MemoryRig.h"
#include "support/TestFiles.h"
#include "support/WindowTexts.h"
#include "wording/Messages.h"

#include <QFile>
#include <QStringList>

#include <algorithm>

namespace {

struct Expected
{
    std::vector<QByteArray> writes{"READ\r"};
    std::vector<QByteArray> records;
    QStringList boxes;
    QByteArray rxBuffer;
    bool over = false;
};

// The dialogue as the PC must hold it, fed with the reads in order.
// A reply is a record only as the answer to "READ", and an empty one only
// after a quiet no read here lasts (a read right after it makes it noise);
// the PC's own message coming back, one holding a CR, "NEXT" after "READ",
// or anything but "NEXT", "OVER" and "NAK" after "REMOVE", is refused in a
// box ("<echo>", "<empty>", "<unexpected>" here) and neither saved nor answered.
Expected model(const std::vector<QByteArray> &reads)
{
    Expected e;
    QByteArray buffer;
    bool askedRecord = true;
    bool quietAwaited = false; // a CR alone answered READ: a record only if nothing follows at once
    for (const QByteArray &read : reads) {
        if (e.over)
            fuzzFail("read after OVER", read);
        if (std::exchange(quietAwaited, false)) {
            // Noise ahead of what came: refused, and kept for a reply that goes on.
            e.boxes << QStringLiteral("<empty>");
            buffer = read;
            continue;
        }
        buffer += read;
        if (buffer.isEmpty() || buffer.back() != '\r')
            continue;
        buffer.chop(1);
        if (echoOf(askedRecord ? "READ" : "REMOVE", buffer, 64)) {
            e.boxes << QStringLiteral("<echo>");
            buffer.clear();
        } else if (buffer.contains('\r') || (askedRecord ? buffer == "NEXT" : buffer != "NAK" && buffer != "NEXT" && buffer != "OVER")) {
            e.boxes << QStringLiteral("<unexpected>");
            buffer.clear();
        } else if (askedRecord && buffer.isEmpty()) {
            quietAwaited = true;
        } else if (buffer == "NAK") {
            e.boxes << WindowTexts::UploadRefused;
            buffer.clear();
        } else if (buffer == "NEXT") {
            e.writes.push_back("READ\r");
            askedRecord = true;
            buffer.clear();
        } else if (buffer == "OVER") {
            e.writes.push_back("DONE\r");
            e.boxes << WindowTexts::uploadCompleted(qint64(e.records.size()));
            e.over = true;
        } else {
            e.records.push_back(buffer);
            e.writes.push_back("REMOVE\r");
            askedRecord = false;
            buffer.clear();
        }
    }
    e.rxBuffer = buffer;
    return e;
}

// A box's text as the Upload window words it.
QString worded(const Outcome &o)
{
    if (o.reason == Outcome::Reason::UnexpectedReply)
        return QStringLiteral("<unexpected>");
    if (o.reason == Outcome::Reason::Echo)
        return QStringLiteral("<echo>");
    if (o.reason == Outcome::Reason::EmptyReply)
        return QStringLiteral("<empty>");
    if (o.kind == Outcome::Kind::Refused)
        return WindowTexts::UploadRefused;
    if (o.kind == Outcome::Kind::Completed)
        return WindowTexts::uploadCompleted(o.count);
    return Messages::ending(o);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    const uint8_t flags = in.byte();
    const bool preexisting = flags & 1;

    const QString path = scratchDir() + QStringLiteral("/upload.txt");
    QFile::remove(path);
    QFile::remove(RecordFile::backupPath(path));
    if (preexisting)
        writeAll(path, "stale record\r\n");

    UploadRig rig;
    Boxes boxes;
    QByteArray lastRecord;
    qint64 shownCount = -1;

    std::vector<QByteArray> reads;
    rig.port.onRead = [&](const QByteArray &r) { reads.push_back(r); };

    auto deliverNext = [&] {
        const uint8_t control = in.byte();
        rig.port.arrive(in.piece(control, 0x3F));
        if (control & 0x40)
            rig.port.arrive({});
    };

    // The window's boxes: shown from the finished() handler, with what a
    // modal box's event loop lets through while it is open.
    QObject::connect(&rig.transfer, &Transfer::finished, [&](const Outcome &o) {
        shownCount = o.count;
        boxes.show(worded(o), in, deliverNext);
    });
    QObject::connect(&rig.transfer, &Transfer::recordSaved, [&](const QByteArray &record, qint64 count) {
        lastRecord = record;
        shownCount = count;
    });
    rig.begin(path, preexisting ? RecordFile::Mode::Replace : RecordFile::Mode::Create);
    FUZZ_CHECK(rig.port.isOpen() && rig.transfer.underWay(), QByteArray());
    FUZZ_CHECK(rig.port.writes == std::vector<QByteArray>{"READ\r"}, joined(rig.port.writes));

    while (!in.empty())
        deliverNext();

    const Expected e = model(reads);

    checkBoth(rig, boxes, e.boxes, e.over, e.rxBuffer);
    // Nothing but READ, REMOVE and DONE, each with its CR, exactly as the model says.
    for (const QByteArray &w : rig.port.writes)
        FUZZ_CHECK(w == "READ\r" || w == "REMOVE\r" || w == "DONE\r", w);
    FUZZ_CHECK(rig.port.writes == e.writes, joined(rig.port.writes) + " expected " + joined(e.writes));
    FUZZ_CHECK(rig.transfer.count() == qint64(e.records.size()), QByteArray::number(rig.transfer.count()));
    if (!e.records.empty())
        FUZZ_CHECK(lastRecord == e.records.back(), lastRecord);
    if (!e.records.empty() || e.over)
        FUZZ_CHECK(shownCount == qint64(e.records.size()), QByteArray::number(shownCount));

    // The file holds exactly the records answered with REMOVE, byte for byte, in order.
    const QByteArray expectedFile = recordLines(e.records);
    rig.transfer.stop();
    if (!preexisting || !e.records.empty())
        FUZZ_CHECK(readAll(path) == expectedFile, readAll(path));
    // A replacement takes the name with its first record; without one the old file stays.
    if (preexisting && !e.records.empty())
        FUZZ_CHECK(readAll(RecordFile::backupPath(path)) == "stale record\r\n", readAll(RecordFile::backupPath(path)));
    if (preexisting && e.records.empty())
        FUZZ_CHECK(readAll(path) == "stale record\r\n" && !QFile::exists(RecordFile::backupPath(path)), readAll(path));
    return 0;
}
