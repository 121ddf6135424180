// Bad input over a real pseudo-terminal: a reply far larger than any record,
// random bytes, NUL-only records and replies dribbled in one byte per read,
// with the Upload and DownLoad windows as the program builds them.
#include "AllocCounter.h"
#include "support/WindowRig.h"
#include "support/WindowTexts.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <atomic>
#include <set>
#include <thread>

using simterm::SimTerminal;

namespace {

using UploadRig = WindowRig<Upload>;

// The terminal sends bytes; true once handled() holds, each reply handled before the next.
template <typename Window> bool reply(WindowRig<Window> &rig, const QByteArray &bytes, const std::function<bool()> &handled)
{
    return rig.term.sendRaw(bytes) && spinUntil(handled, 10000);
}

// "DONE" goes out before the closing box, but the terminal reads it on its
// own thread: it may still be on its way when the box shows.
bool doneReached(const UploadRig &rig)
{
    return spinUntil([&] { return rig.term.receivedBytes().endsWith("DONE\r"); }, 10000);
}

// sendRaw() blocks until the pty has taken every byte, which needs the PC to
// read; for more than the pty holds it runs here while the test spins the
// event loop.
class BackgroundSend
{
public:
    BackgroundSend(SimTerminal &term, QByteArray bytes)
        : m_thread([this, &term, bytes = std::move(bytes)] {
            m_ok = term.sendRaw(bytes);
            m_finished = true;
        })
    {
    }
    ~BackgroundSend() { join(); }
    bool finished() const { return m_finished; }
    bool join()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_ok;
    }

private:
    std::atomic<bool> m_ok{false};
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

// Random replies, each ended by a CR, none of them a word of either dialogue,
// the last one not empty.
QByteArray randomBurst(quint32 seed, int size)
{
    QRandomGenerator gen(seed);
    QByteArray burst;
    while (burst.size() < size) {
        QByteArray piece;
        const int length = int(gen.bounded(48));
        for (int i = 0; i < length; ++i) {
            char c = char(gen.bounded(256));
            if (c == '\r')
                c = '\n'; // keeps LF, NUL and 8-bit bytes common
            piece += c;
        }
        if (piece == "NAK" || piece == "NEXT" || piece == "OVER" || piece == "ACK")
            continue;
        burst += piece + '\r';
    }
    if (burst.endsWith("\r\r"))
        burst.insert(burst.size() - 1, 'z');
    return burst;
}

// True when `text` is `source` with `count` of its CRs taken out.
bool isWithCrsRemoved(const QByteArray &source, const QByteArray &text, qsizetype count)
{
    if (text.size() + count != source.size())
        return false;
    std::set<qsizetype> at{0};
    for (char c : source) {
        std::set<qsizetype> next;
        for (qsizetype j : at) {
            if (j < text.size() && text[j] == c)
                next.insert(j + 1);
            if (c == '\r')
                next.insert(j);
        }
        at.swap(next);
    }
    return at.count(text.size()) > 0;
}

// Sends the bytes one by one, each only once the PC has read the one before.
bool sendByteByByte(UploadRig &rig, const QByteArray &reply)
{
    const QByteArray kept = rxBuffer(*rig.window);
    const int messagesBefore = rig.term.messagesReceived();
    for (qsizetype i = 0; i < reply.size(); ++i) {
        if (!rig.term.sendRaw(reply.mid(i, 1)))
            return false;
        const bool last = i + 1 == reply.size();
        const QByteArray soFar = kept + reply.left(i + 1);
        const bool handled = spinUntil(
            [&] {
                // A reply's CR ends with its answer; before it the byte sits in RxBuffer.
                return last ? rig.term.messagesReceived() == messagesBefore + 1
                            : rxBuffer(*rig.window) == soFar;
            },
            10000);
        if (!handled)
            return false;
    }
    return true;
}

} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // One reply of 10 MiB without a CR, then the CR: one record, byte-exact.
    // The work must stay linear in the bytes: a buffer copied or regrown in
    // full on every read would ask the heap for about half the record's size
    // on each of the ~1,000 reads, so that is what is counted (time is only
    // reported). The allowance is a few copies of the record plus what the
    // serial port reserves for every read (32 KiB chunks: ~64 KiB a read).
    void tenMiBReplyIsOneRecord()
    {
        UploadRig rig({}, manualTerminal());
        QVERIFY2(rig.term.isOk(), qPrintable(rig.term.errorString()));
        const QString path = rig.file(QStringLiteral("records.txt"));
        QVERIFY(rig.startAwaited(path));

        const qsizetype size = 10 * 1024 * 1024;
        QByteArray big(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i) {
            const char c = char((i * 131 + (i >> 12)) & 0xFF);
            big[i] = c == '\r' ? '\n' : c;
        }
        int notifications = 0;
        QObject::connect(rig.port, &SerialPort::readyRead, rig.window.get(), [&] { ++notifications; });

        QElapsedTimer clock;
        clock.start();
        AllocCounter::start();
        BackgroundSend send(rig.term, big);
        const bool allRead = spinUntil([&] { return rxBuffer(*rig.window).size() == size; }, 120000);
        const bool sent = send.join();
        bool answered = false;
        if (allRead && rig.term.sendRaw("\r"))
            answered = spinUntil([&] { return rig.sent("REMOVE") == 1; }, 30000);
        const AllocCounter::Totals heap = AllocCounter::stop();
        const qint64 ms = clock.elapsed();

        QVERIFY(sent);
        QVERIFY2(allRead, qPrintable(QStringLiteral("read %1 of %2 bytes").arg(rxBuffer(*rig.window).size()).arg(size)));
        QVERIFY(answered);
        QCOMPARE(QFileInfo(path).size(), size + 2);
        QVERIFY2(readAll(path) == big + "\r\n", "the record differs from the reply");
        QVERIFY(rxBuffer(*rig.window).isEmpty());
        QCOMPARE(recordCount(*rig.window), 1);
        QVERIFY(rig.box->shown.isEmpty());
        // Many reads, or linearity would mean nothing.
        QVERIFY2(notifications >= 16, qPrintable(QString::number(notifications)));

        const double allowance = 10.0 * double(size) + 128.0 * 1024.0 * notifications;
        qInfo("10 MiB reply: %d reads, %.1f ms, %.0f MiB/s; heap asked for %.1f MiB (%.1f bytes per byte) "
              "in %llu calls, allowance %.1f MiB",
              notifications, double(ms), ms > 0 ? 10.0 * 1000.0 / double(ms) : 0.0, double(heap.bytes) / 1048576.0,
              double(heap.bytes) / double(size), static_cast<unsigned long long>(heap.calls), allowance / 1048576.0);
        QVERIFY(AllocCounter::available());
        QVERIFY(heap.calls > 0);
        QVERIFY2(double(heap.bytes) < allowance, "heap work grows faster than the reply");

        QVERIFY(reply(rig, "OVER\r", [&] { return rig.box->shown.size() == 1; }));
        QCOMPARE(rig.box->shown[0].text, WindowTexts::recordsReceived(1));
        QVERIFY(doneReached(rig));
        QCOMPARE(rig.term.receivedBytes(), QByteArray("READ\rREMOVE\rDONE\r"));
    }

    // A burst of random replies, read however the pty cuts it, then a proper
    // dialogue. Whatever the reads, a reply holding a CR is never saved, and
    // with only one "READ" sent at most one reply is a record: every other
    // one is refused, neither saved nor answered.
    void randomBurstThenDialogueUpload()
    {
        UploadRig rig({}, manualTerminal());
        const QString path = rig.file(QStringLiteral("records.txt"));
        QVERIFY(rig.startAwaited(path));
        const QByteArray burst = randomBurst(20240611, 24 * 1024);
        BackgroundSend send(rig.term, burst);
        // All read once the sender is done, nothing waits at the port and the
        // last reply (the burst ends with a CR) has been handled.
        QVERIFY(spinUntil(
            [&] {
                return send.finished() && rig.port->bytesAvailable() == 0 && rxBuffer(*rig.window).isEmpty()
                       && !rig.box->shown.isEmpty();
            },
            30000));
        QVERIFY(send.join());
        const int records = rig.sent("REMOVE");
        QVERIFY(records <= 1);
        QCOMPARE(rig.sent("READ"), 1);
        const QByteArray afterBurst = readAll(path);
        const auto saved = simterm::parseRecordFile(afterBurst);
        QCOMPARE(int(saved.size()), records);
        for (const QByteArray &r : saved)
            QVERIFY2(!r.contains('\r') && burst.startsWith(r + '\r'), "a record that was not the first reply");
        for (const QString &text : rig.box->texts())
            QVERIFY2(text.contains(QLatin1String("not saved and not answered")), qPrintable(text));
        const qsizetype refusals = rig.box->shown.size();

        // Then a dialogue by the rules.
        // "NEXT" answers only "REMOVE": it is sent only where a record was saved.
        if (records == 1)
            QVERIFY(reply(rig, "NEXT\r", [&] { return rig.sent("READ") == 2; }));
        QVERIFY(reply(rig, "R1\r", [&] { return rig.sent("REMOVE") == records + 1; }));
        QVERIFY(reply(rig, "NEXT\r", [&] { return rig.sent("READ") == records + 2; }));
        QVERIFY(reply(rig, "NAK\r", [&] { return rig.box->shown.size() == refusals + 1; }));
        QCOMPARE(rig.box->shown.last().text, WindowTexts::UploadRefused);
        QVERIFY(rxBuffer(*rig.window).isEmpty());
        QVERIFY(reply(rig, "R2\r", [&] { return rig.sent("REMOVE") == records + 2; }));
        QVERIFY(reply(rig, "OVER\r", [&] { return rig.box->shown.size() == refusals + 2; }));
        QCOMPARE(rig.box->shown.last().text, WindowTexts::recordsReceived(records + 2));
        QCOMPARE(readAll(path), afterBurst + "R1\r\nR2\r\n");
        QVERIFY(doneReached(rig));
        const auto messages = rig.term.receivedMessages();
        QCOMPARE(messages.back(), QByteArray("DONE"));
        for (size_t i = 0; i < messages.size(); ++i) {
            QVERIFY2(messages[i] == "READ" || messages[i] == "REMOVE" || messages[i] == "DONE", messages[i].constData());
            if (messages[i] == "REMOVE")
                QCOMPARE(messages[i - 1], QByteArray("READ"));
        }
        QVERIFY(!rig.port->isOpen());
    }

    // Download keeps an unknown reply in RxBuffer, so after random bytes
    // every later reply is appended to them: no line may ever be sent for
    // them, each complete reply is "Unknown Command !!", and the buffer is
    // the burst less the CRs that ended those replies.
    void randomBurstThenDialogueDownload()
    {
        WindowRig<DownLoad> rig({}, manualTerminal());
        QVERIFY(rig.startAwaited(rig.input("L1\r\nL2\r\n")));
        const QByteArray burst = randomBurst(7, 16 * 1024);
        BackgroundSend send(rig.term, burst);
        // Every byte read: the buffer keeps all but the CRs that ended a reply.
        QVERIFY(spinUntil(
            [&] { return send.finished() && rxBuffer(*rig.window).size() + rig.box->shown.size() == burst.size(); },
            30000));
        QVERIFY(send.join());
        const qsizetype replies = rig.box->shown.size();
        QVERIFY(replies >= 1);
        for (const QString &text : rig.box->texts())
            QCOMPARE(text, WindowTexts::UnknownCommand);
        const QByteArray kept = rxBuffer(*rig.window);
        // The burst's last CR ended a reply for sure; the others only where a read ended.
        QVERIFY2(isWithCrsRemoved(burst.chopped(1), kept, replies - 1), "RxBuffer is not the burst less some CRs");
        QVERIFY(!rig.timer->isActive());

        QVERIFY(reply(rig, "ACK\r", [&] { return rig.box->shown.size() == replies + 1; }));
        QCOMPARE(rig.box->shown.last().text, WindowTexts::UnknownCommand);
        QCOMPARE(rxBuffer(*rig.window), kept + "ACK");
        QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        QVERIFY(rig.port->isOpen());
    }

    // NUL bytes are data like any other, on the way in and on the way out.
    void nulOnlyRecords()
    {
        {
            UploadRig rig({}, manualTerminal());
            const QString path = rig.file(QStringLiteral("records.txt"));
            QVERIFY(rig.startAwaited(path));
            const QByteArray one(1, '\0');
            const QByteArray many(4096, '\0');
            QVERIFY(reply(rig, one + '\r', [&] { return rig.sent("REMOVE") == 1; }));
            QVERIFY(reply(rig, "NEXT\r", [&] { return rig.sent("READ") == 2; }));
            QVERIFY(reply(rig, many + '\r', [&] { return rig.sent("REMOVE") == 2; }));
            QVERIFY(reply(rig, "OVER\r", [&] { return rig.box->shown.size() == 1; }));
            QCOMPARE(rig.box->shown[0].text, WindowTexts::recordsReceived(2));
            QCOMPARE(readAll(path), one + "\r\n" + many + "\r\n");
        }
        {
            WindowRig<DownLoad> rig({}, manualTerminal());
            const QByteArray nuls(3, '\0');
            QVERIFY(rig.startAwaited(rig.input(nuls + "\r\nB\r\n")));
            QVERIFY(reply(rig, "ACK\r", [&] { return rig.term.receivedBytes().size() == 5 + 4; }));
            QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r") + nuls + '\r');
            // A NUL-only reply is not ACK: reported and kept.
            QVERIFY(reply(rig, QByteArray(1, '\0') + '\r', [&] { return rig.box->shown.size() == 1; }));
            QCOMPARE(rig.box->shown[0].text, WindowTexts::UnknownCommand);
            QCOMPARE(rxBuffer(*rig.window), QByteArray(1, '\0'));
            QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r") + nuls + '\r');
        }
    }

    // 1,000 records and their NEXT, every byte its own read: the PC has taken
    // each byte before the next is written.
    void thousandRepliesOneBytePerRead()
    {
        UploadRig rig({}, manualTerminal());
        const QString path = rig.file(QStringLiteral("records.txt"));
        QVERIFY(rig.startAwaited(path));
        int notifications = 0;
        QObject::connect(rig.port, &SerialPort::readyRead, rig.window.get(), [&] { ++notifications; });
        QList<QByteArray> records;
        qsizetype bytes = 0;
        for (int i = 0; i < 1000; ++i) {
            const QByteArray record = "r" + QByteArray::number(i);
            QVERIFY2(sendByteByByte(rig, record + '\r'), qPrintable(QStringLiteral("record %1").arg(i)));
            QVERIFY2(sendByteByByte(rig, "NEXT\r"), qPrintable(QStringLiteral("NEXT after record %1").arg(i)));
            records.append(record);
            bytes += record.size() + 1 + 5;
        }
        QVERIFY(notifications >= bytes);
        QVERIFY(reply(rig, "OVER\r", [&] { return rig.box->shown.size() == 1; }));
        QCOMPARE(rig.box->shown[0].text, WindowTexts::recordsReceived(1000));
        QCOMPARE(readAll(path), recordLines(records));
        QVERIFY(doneReached(rig));
        QCOMPARE(rig.sent("REMOVE"), 1000);
        QCOMPARE(rig.term.receivedMessages().back(), QByteArray("DONE"));
    }
};

QTEST_MAIN(TestBadInput)
#include "tst_badinput.moc"
