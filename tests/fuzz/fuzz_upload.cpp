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
#include "transfer/Messages.h"

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
// A reply is a record only as the answer to "READ", and never an empty one;
// the PC's own message coming back, one holding a CR, "NEXT" after "READ",
// or anything but "NEXT", "OVER" and "NAK" after "REMOVE", is refused in a
// box ("<echo>", "<empty>", "<unexpected>" here) and neither saved nor answered.
Expected model(const std::vector<QByteArray> &reads)
{
    Expected e;
    QByteArray buffer;
    bool askedRecord = true;
    for (const QByteArray &read : reads) {
        if (e.over)
            fuzzFail("read after OVER", read);
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
            e.boxes << QStringLiteral("<empty>");
            buffer.clear();
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

QByteArray joined(const std::vector<QByteArray> &v)
{
    QByteArray b;
    for (const QByteArray &x : v)
        b += x + '|';
    return b;
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

    MemoryRig<UploadTransfer> rig;
    QStringList boxes;
    int boxesOpen = 0, mostOpenAtOnce = 0;
    QByteArray lastRecord;
    qint64 shownCount = -1;

    std::vector<QByteArray> reads;
    rig.port.onRead = [&](const QByteArray &r) { reads.push_back(r); };

    auto deliverNext = [&] {
        const uint8_t control = in.byte();
        size_t length = control & 0x3F;
        if (length == 0x3F)
            length += 4 * size_t(in.byte());
        rig.port.arrive(in.bytes(length));
        if (control & 0x40)
            rig.port.arrive({});
    };

    // The window's boxes: shown from the finished() handler, with what a
    // modal box's event loop lets through while it is open.
    QObject::connect(&rig.transfer, &UploadTransfer::finished, [&](const Outcome &o) {
        shownCount = o.count;
        // As the Upload window words it.
        if (o.reason == Outcome::Reason::UnexpectedReply)
            boxes.append(QStringLiteral("<unexpected>"));
        else if (o.reason == Outcome::Reason::Echo)
            boxes.append(QStringLiteral("<echo>"));
        else if (o.reason == Outcome::Reason::EmptyReply)
            boxes.append(QStringLiteral("<empty>"));
        else if (o.kind == Outcome::Kind::Refused)
            boxes.append(WindowTexts::UploadRefused);
        else if (o.kind == Outcome::Kind::Completed)
            boxes.append(WindowTexts::uploadCompleted(o.count));
        else
            boxes.append(Messages::ending(o));
        ++boxesOpen;
        mostOpenAtOnce = std::max(mostOpenAtOnce, boxesOpen);
        while (!in.empty() && (in.peek() & 0x80))
            deliverNext();
        --boxesOpen;
    });
    QObject::connect(&rig.transfer, &UploadTransfer::recordSaved, [&](const QByteArray &record, qint64 count) {
        lastRecord = record;
        shownCount = count;
    });
    rig.begin(path, preexisting ? RecordFile::Mode::Replace : RecordFile::Mode::Create);
    FUZZ_CHECK(rig.port.isOpen() && rig.transfer.underWay(), QByteArray());
    FUZZ_CHECK(rig.port.writes == std::vector<QByteArray>{"READ\r"}, joined(rig.port.writes));

    while (!in.empty())
        deliverNext();

    const Expected e = model(reads);

    // Every byte that reached the open port was read, or dropped by the close after OVER.
    FUZZ_CHECK(rig.port.readBytes + rig.port.droppedBytes == rig.port.arrivedBytes, rig.port.readBytes);
    FUZZ_CHECK(rig.port.droppedBytes.isEmpty() || e.over, rig.port.droppedBytes);
    // Nothing but READ, REMOVE and DONE, each with its CR, exactly as the model says.
    for (const QByteArray &w : rig.port.writes)
        FUZZ_CHECK(w == "READ\r" || w == "REMOVE\r" || w == "DONE\r", w);
    FUZZ_CHECK(rig.port.writes == e.writes, joined(rig.port.writes) + " expected " + joined(e.writes));
    FUZZ_CHECK(rig.port.writesWhileClosed == 0, QByteArray());
    FUZZ_CHECK(boxes == e.boxes, boxes.join(QLatin1Char('|')).toLatin1());
    FUZZ_CHECK(mostOpenAtOnce <= 1, QByteArray());
    FUZZ_CHECK(rig.transfer.count() == qint64(e.records.size()), QByteArray::number(rig.transfer.count()));
    FUZZ_CHECK(rig.transfer.underWay() == !e.over, QByteArray());
    FUZZ_CHECK(rig.port.isOpen() == !e.over, QByteArray());
    if (!e.over)
        FUZZ_CHECK(rig.transfer.pendingReply() == e.rxBuffer, rig.transfer.pendingReply());
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
