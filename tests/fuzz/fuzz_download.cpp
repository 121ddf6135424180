// Download: reply handling and the reply time-out under arbitrary replies,
// read boundaries, timer ticks and input files.
//
// Input: a flags byte, a file length byte, the file's bytes, then pieces,
// each a control byte and its bytes.
//   flags bit 0     the file starts with a line that ends just before or
//                   after the line reader's first chunk (length from the next byte)
//   control & 0x1F  piece length; 0x1F: 31 + 4 * the next byte
//   control & 0x20  an empty notification follows the piece
//   control & 0x40  1 to 6 timer ticks (the next byte says how many) come first
//   control & 0x80  the piece arrives while the next message box is open
#include "wording/Messages.h"
#include "FuzzSupport.h"
#include "support/MemoryRig.h"
#include "support/WindowTexts.h"

#include <QStringList>

#include <algorithm>
#include <numeric>

namespace {

struct Event
{
    bool tick = false;
    bool inBox = false;   // a tick while a message box was open
    QByteArray read;      // otherwise: what one readAll() handed out
};

struct Expected
{
    std::vector<QByteArray> writes{"DOWN\r"};
    QStringList boxes;
    QByteArray rxBuffer;
    int ticks = 0;
    qint64 acknowledged = 0;  // lines answered with ACK
    bool timerActive = true;  // started by Start
    bool over = false;
};

// The dialogue as the PC must hold it, given the file's lines and what
// happened in order.
Expected model(const std::vector<Event> &events, const std::vector<QByteArray> &lines)
{
    Expected e;
    size_t next = 0;
    bool lineOut = false;
    QByteArray lastSent = "DOWN";
    QByteArray buffer;
    for (const Event &ev : events) {
        if (ev.tick) {
            // An inactive timer does not tick; one tick during a box is dropped.
            if (!e.timerActive || ev.inBox)
                continue;
            ++e.ticks;
            if (buffer.isEmpty() && e.ticks >= 5) {
                e.boxes << WindowTexts::TimedOut;
                e.timerActive = false;
                e.ticks = 0;
            }
            continue;
        }
        if (e.over)
            fuzzFail("read after OVER", ev.read);
        e.timerActive = false;
        buffer += ev.read;
        if (buffer.isEmpty() || buffer.back() != '\r')
            continue;
        buffer.chop(1);
        if (buffer == "NAK") {
            e.boxes << WindowTexts::Nak;
        } else if (buffer == "ACK") {
            buffer.clear();
            if (lineOut)
                ++e.acknowledged;
            lineOut = false;
            if (next == lines.size()) {
                e.writes.push_back("OVER\r");
                e.over = true;
            } else {
                lastSent = lines[next];
                e.writes.push_back(lines[next++] + '\r');
                lineOut = true;
                e.ticks = 0;
                e.timerActive = true;
            }
        } else {
            e.boxes << (echoOf(lastSent, buffer, LineReader::ChunkSize) ? QStringLiteral("<echo>") : WindowTexts::UnknownCommand);
        }
    }
    e.rxBuffer = buffer;
    return e;
}

// A box's text as the DownLoad window words it.
QString worded(const Outcome &o)
{
    if (o.reason == Outcome::Reason::Echo)
        return QStringLiteral("<echo>");
    if (o.kind == Outcome::Kind::Refused)
        return o.reply == "NAK" ? WindowTexts::Nak : WindowTexts::UnknownCommand;
    if (o.kind == Outcome::Kind::TimedOut && o.reason == Outcome::Reason::None)
        return WindowTexts::TimedOut;
    return Messages::ending(o);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    const uint8_t flags = in.byte();
    QByteArray file;
    if (flags & 1)
        file = QByteArray(LineReader::ChunkSize - 128 + in.byte(), 'p');
    file += in.bytes(in.byte());

    const QString path = scratchFile(QStringLiteral("download.txt"), file);
    const std::vector<QByteArray> lines = referenceLines(file);

    DownloadRig rig;
    Boxes boxes;

    std::vector<Event> events;
    rig.port.onRead = [&](const QByteArray &r) { events.push_back({false, false, r}); };

    auto deliverNext = [&] {
        const uint8_t control = in.byte();
        if (control & 0x40) {
            const int ticks = 1 + in.byte() % 6;
            for (int i = 0; i < ticks; ++i) {
                events.push_back({true, boxes.open > 0, {}});
                rig.timer.fire();
            }
        }
        rig.port.arrive(in.piece(control, 0x1F));
        if (control & 0x20)
            rig.port.arrive({});
    };

    // The window's boxes: a completed download shows none.
    QObject::connect(&rig.transfer, &Transfer::finished, [&](const Outcome &o) {
        if (o.kind == Outcome::Kind::Completed)
            return;
        boxes.show(worded(o), in, deliverNext);
    });
    rig.begin(path);
    FUZZ_CHECK(rig.port.isOpen() && rig.transfer.underWay() && rig.timer.isActive(), QByteArray());

    while (!in.empty())
        deliverNext();

    const Expected e = model(events, lines);
    checkBoth(rig, boxes, e.boxes, e.over, e.rxBuffer);
    // The file's lines in order, one per ACK, each with its CR; OVER only at the end.
    // A long line goes out in pieces: compare the bytes in order.
    FUZZ_CHECK(rig.port.written() == std::accumulate(e.writes.begin(), e.writes.end(), QByteArray()),
               joined(rig.port.writes) + " expected " + joined(e.writes));
    FUZZ_CHECK(rig.timer.isActive() == e.timerActive, QByteArray());
    if (!e.over) {
        FUZZ_CHECK(rig.transfer.ticks() == e.ticks, QByteArray::number(rig.transfer.ticks()));
        FUZZ_CHECK(rig.transfer.count() == e.acknowledged, QByteArray::number(rig.transfer.count()));
    }
    rig.transfer.stop();
    return 0;
}
