// Drives the simulated terminal from the PC's side of the pseudo-terminal,
// with plain POSIX I/O so nothing here depends on the program under test.
#include "tools/SimTerminal.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace simterm;
using namespace std::chrono_literals;

namespace {

constexpr int replyWaitMs = 3000;   // generous: only reached when something is wrong
constexpr int silenceWaitMs = 250;  // how long "no reply" is given to show up

const QByteArray noReply = "<no reply>";

std::vector<QByteArray> toVector(const QByteArrayList &l) { return {l.begin(), l.end()}; }
QByteArrayList toList(const std::vector<QByteArray> &v) { return {v.begin(), v.end()}; }

// The PC's end of the line.
class PcPort {
public:
    explicit PcPort(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {}
    ~PcPort()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool isOpen() const { return fd >= 0; }

    bool send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            if (n < 0) {
                lastErrno = errno;
                return false;
            }
            done += n;
        }
        return true;
    }
    bool sendMessage(const QByteArray &text) { return send(text + '\r'); }

    enum class Status { Data, Timeout, HangUp };
    // One read() once the port is readable, as a serial driver would see it.
    Status readOnce(int timeoutMs, QByteArray &out)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return Status::Timeout;
        char buf[8192];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out = QByteArray(buf, n);
            return Status::Data;
        }
        if (n < 0 && errno == EAGAIN)
            return Status::Timeout;
        lastErrno = n < 0 ? errno : 0;
        return Status::HangUp;   // read() gave 0 or an error such as EIO
    }

    // The next CR-terminated message without its CR, or noReply.
    QByteArray readMessage(int timeoutMs = replyWaitMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (buffer.indexOf('\r') < 0) {
            QByteArray chunk;
            const auto st = readOnce(int(std::max<qint64>(deadline.remainingTime(), 0)), chunk);
            if (st != Status::Data)
                return noReply;
            buffer += chunk;
        }
        const qsizetype cr = buffer.indexOf('\r');
        const QByteArray msg = buffer.left(cr);
        buffer.remove(0, cr + 1);
        return msg;
    }

    // Every read() until `bytes` bytes came (0: until a chunk ends in CR).
    QByteArrayList reads(qsizetype bytes = 0)
    {
        QByteArrayList out;
        qsizetype total = 0;
        for (;;) {
            QByteArray chunk;
            if (readOnce(replyWaitMs, chunk) != Status::Data)
                return out;
            out << chunk;
            total += chunk.size();
            if (bytes > 0 ? total >= bytes : chunk.endsWith('\r'))
                return out;
        }
    }

    QByteArray exchange(const QByteArray &text, int timeoutMs = replyWaitMs)
    {
        if (!sendMessage(text))
            return "<write failed>";
        return readMessage(timeoutMs);
    }

    int fd;
    int lastErrno = 0;
    QByteArray buffer;
};

} // namespace

class TestSimTerm : public QObject {
    Q_OBJECT

private slots:
    void uploadRoundTrip_data();
    void uploadRoundTrip();
    void dialogue_data();
    void dialogue();
    void download_data();
    void download();
    void hangupAfter_data();
    void hangupAfter();
    void splitPieces_data();
    void splitPieces();
    void doubleAndCrlf_data();
    void doubleAndCrlf();
    void corruptedReply();
    void stopsReadingMidMessage();
    void baudThrottleKeepsBytes();
    void neverSpeaksFirst();
    void manualMode();
    void transcriptAndTimings();
    void symlink();
    void stopEarly();
    void parseRecordFile_data();
    void parseRecordFile();
    void generatedRecords_data();
    void generatedRecords();
    void cliUpload();
    void cliDownloadStore();
    void cliSigtermRemovesLink();
};

// Every record must come back byte for byte and vanish only on REMOVE.
void TestSimTerm::uploadRoundTrip_data()
{
    QTest::addColumn<QByteArrayList>("records");
    QTest::newRow("inventory lines") << QByteArrayList{"4006381333931;12;Pencils HB", "5012345678900;3;Stapler"};
    QTest::newRow("nul and high bytes")
        << QByteArrayList{QByteArray("a\0b", 3), QByteArray("\x80\xff\xfe\x81", 4), QByteArray(1, '\0')};
    QTest::newRow("LF inside") << QByteArrayList{"line1\nline2", "\n", "tail\n"};
    QTest::newRow("empty record in the middle") << QByteArrayList{"first", "", "third"};
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        if (b != '\r')
            all.append(char(b));
    QTest::newRow("every byte but CR, long") << QByteArrayList{all.repeated(12), all};
    QTest::newRow("no records") << QByteArrayList{};
}

void TestSimTerm::uploadRoundTrip()
{
    QFETCH(QByteArrayList, records);
    SimTerminal term(toVector(records));
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.isOpen());

    for (qsizetype i = 0; i < records.size(); ++i) {
        QCOMPARE(pc.exchange("READ"), records[i]);
        // Sent but not acknowledged: still held.
        QCOMPARE(toList(term.remainingRecords()), records.mid(i));
        QCOMPARE(pc.exchange("REMOVE"), QByteArray("NEXT"));
        QCOMPARE(toList(term.remainingRecords()), records.mid(i + 1));
    }
    QCOMPARE(pc.exchange("READ"), QByteArray("OVER"));
    QVERIFY(!term.uploadDone());
    QCOMPARE(pc.exchange("DONE", silenceWaitMs), noReply);
    QVERIFY(term.uploadDone());
    QVERIFY(term.remainingRecords().empty());
    QCOMPARE(term.repliesSent(), int(2 * records.size() + 1));
}

// A scripted dialogue: each step a PC message and the reply expected for it.
void TestSimTerm::dialogue_data()
{
    QTest::addColumn<int>("nakAt");
    QTest::addColumn<int>("silentAfter");
    QTest::addColumn<QByteArrayList>("sends");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QByteArrayList>("remaining");
    QTest::addColumn<QByteArrayList>("lines");

    QTest::newRow("REMOVE before any READ is refused")
        << 0 << -1 << QByteArrayList{"REMOVE", "READ"} << QByteArrayList{"NAK", "r1"}
        << QByteArrayList{"r1", "r2"} << QByteArrayList{};
    QTest::newRow("READ again repeats the record")
        << 0 << -1 << QByteArrayList{"READ", "READ", "REMOVE", "READ"} << QByteArrayList{"r1", "r1", "NEXT", "r2"}
        << QByteArrayList{"r2"} << QByteArrayList{};
    QTest::newRow("second REMOVE is refused")
        << 0 << -1 << QByteArrayList{"READ", "REMOVE", "REMOVE"} << QByteArrayList{"r1", "NEXT", "NAK"}
        << QByteArrayList{"r2"} << QByteArrayList{};
    QTest::newRow("words are case-sensitive")
        << 0 << -1 << QByteArrayList{"read", "Read", "READ "} << QByteArrayList{"NAK", "NAK", "NAK"}
        << QByteArrayList{"r1", "r2"} << QByteArrayList{};
    QTest::newRow("empty and unknown messages")
        << 0 << -1 << QByteArrayList{"", "HELLO", "ACK", "NEXT"} << QByteArrayList{"NAK", "NAK", "NAK", "NAK"}
        << QByteArrayList{"r1", "r2"} << QByteArrayList{};
    QTest::newRow("DONE ends an outstanding record")
        << 0 << -1 << QByteArrayList{"READ", "DONE", "REMOVE"} << QByteArrayList{"r1", noReply, "NAK"}
        << QByteArrayList{"r1", "r2"} << QByteArrayList{};
    QTest::newRow("download in between forgets the outstanding record")
        << 0 << -1 << QByteArrayList{"READ", "DOWN", "x", "OVER", "REMOVE"}
        << QByteArrayList{"r1", "ACK", "ACK", noReply, "NAK"} << QByteArrayList{"r1", "r2"}
        << QByteArrayList{"x"};
    QTest::newRow("whole upload")
        << 0 << -1 << QByteArrayList{"READ", "REMOVE", "READ", "REMOVE", "READ", "DONE"}
        << QByteArrayList{"r1", "NEXT", "r2", "NEXT", "OVER", noReply} << QByteArrayList{}
        << QByteArrayList{};
    QTest::newRow("NAK at 1st reply: record not sent")
        << 1 << -1 << QByteArrayList{"READ", "REMOVE", "READ"} << QByteArrayList{"NAK", "NAK", "r1"}
        << QByteArrayList{"r1", "r2"} << QByteArrayList{};
    QTest::newRow("NAK at 2nd reply: REMOVE refused, record kept")
        << 2 << -1 << QByteArrayList{"READ", "REMOVE", "READ", "REMOVE"} << QByteArrayList{"r1", "NAK", "r1", "NEXT"}
        << QByteArrayList{"r2"} << QByteArrayList{};
    QTest::newRow("NAK at OVER")
        << 5 << -1 << QByteArrayList{"READ", "REMOVE", "READ", "REMOVE", "READ"}
        << QByteArrayList{"r1", "NEXT", "r2", "NEXT", "NAK"} << QByteArrayList{} << QByteArrayList{};
    QTest::newRow("NAK at DOWN: no download started")
        << 1 << -1 << QByteArrayList{"DOWN", "READ"} << QByteArrayList{"NAK", "r1"} << QByteArrayList{"r1", "r2"}
        << QByteArrayList{};
    QTest::newRow("NAK at 3rd reply: that line not stored")
        << 3 << -1 << QByteArrayList{"DOWN", "L1", "L2", "L3", "OVER"}
        << QByteArrayList{"ACK", "ACK", "NAK", "ACK", noReply} << QByteArrayList{"r1", "r2"}
        << QByteArrayList{"L1", "L3"};
    // A hung terminal does nothing with what it hears, but it does hear it.
    QTest::newRow("silent from the start")
        << 0 << 0 << QByteArrayList{"READ", "REMOVE"} << QByteArrayList{noReply, noReply}
        << QByteArrayList{"r1", "r2"} << QByteArrayList{};
    QTest::newRow("silent once a record was sent")
        << 0 << 1 << QByteArrayList{"READ", "REMOVE", "READ"} << QByteArrayList{"r1", noReply, noReply}
        << QByteArrayList{"r1", "r2"} << QByteArrayList{};
    QTest::newRow("silent after one removal")
        << 0 << 2 << QByteArrayList{"READ", "REMOVE", "READ", "REMOVE"}
        << QByteArrayList{"r1", "NEXT", noReply, noReply} << QByteArrayList{"r2"} << QByteArrayList{};
    QTest::newRow("silent in a download")
        << 0 << 2 << QByteArrayList{"DOWN", "a", "b", "OVER"} << QByteArrayList{"ACK", "ACK", noReply, noReply}
        << QByteArrayList{"r1", "r2"} << QByteArrayList{"a"};
}

void TestSimTerm::dialogue()
{
    QFETCH(int, nakAt);
    QFETCH(int, silentAfter);
    QFETCH(QByteArrayList, sends);
    QFETCH(QByteArrayList, replies);
    QFETCH(QByteArrayList, remaining);
    QFETCH(QByteArrayList, lines);
    QCOMPARE(sends.size(), replies.size());

    Options opt;
    opt.nakAtReply = nakAt;
    opt.silentAfterReplies = silentAfter;
    SimTerminal term({"r1", "r2"}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.isOpen());
    for (qsizetype i = 0; i < sends.size(); ++i) {
        const int wait = replies[i] == noReply ? silenceWaitMs : replyWaitMs;
        const QByteArray got = pc.exchange(sends[i], wait);
        QVERIFY2(got == replies[i], qPrintable(QStringLiteral("step %1 (%2): got %3, expected %4")
                                                   .arg(i)
                                                   .arg(QString::fromLatin1(sends[i]),
                                                        QString::fromLatin1(got),
                                                        QString::fromLatin1(replies[i]))));
    }
    QCOMPARE(toList(term.remainingRecords()), remaining);
    QCOMPARE(toList(term.downloadedLines()), lines);
    QCOMPARE(toList(term.receivedMessages()), sends);
    QCOMPARE(term.repliesSent(), int(sends.size() - replies.count(noReply)));
}

void TestSimTerm::download_data()
{
    QTest::addColumn<QByteArrayList>("lines");
    QTest::newRow("plain") << QByteArrayList{"4006381333931;12;Pencils HB", "5012345678900;3;Stapler"};
    QTest::newRow("empty lines") << QByteArrayList{"", "a", "", ""};
    QTest::newRow("protocol words are data")
        << QByteArrayList{"READ", "DOWN", "REMOVE", "DONE", "NAK", "ACK", "NEXT", "over"};
    QTest::newRow("binary bytes and LF")
        << QByteArrayList{QByteArray("\0\0", 2), QByteArray("\xff\x80\x7f", 3), "a\nb", "\n\n"};
    QTest::newRow("nothing to send") << QByteArrayList{};
    QTest::newRow("long line") << QByteArrayList{QByteArray(5000, 'x')};
}

void TestSimTerm::download()
{
    QFETCH(QByteArrayList, lines);
    QByteArrayList storedViaCallback;
    std::mutex cbMutex;
    Options opt;
    opt.lineStored = [&](const QByteArray &l) {
        std::lock_guard lock(cbMutex);
        storedViaCallback << l;
    };
    SimTerminal term({"kept"}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.isOpen());

    QCOMPARE(pc.exchange("DOWN"), QByteArray("ACK"));
    QVERIFY(term.inDownload());
    for (const QByteArray &line : lines)
        QCOMPARE(pc.exchange(line), QByteArray("ACK"));
    QCOMPARE(pc.exchange("OVER", silenceWaitMs), noReply);
    QVERIFY(term.downloadDone());
    QVERIFY(!term.inDownload());
    QCOMPARE(toList(term.downloadedLines()), lines);
    {
        std::lock_guard lock(cbMutex);
        QCOMPARE(storedViaCallback, lines);
    }
    // Back to normal afterwards, records untouched.
    QCOMPARE(pc.exchange("READ"), QByteArray("kept"));
    QVERIFY(!term.uploadDone());
}

void TestSimTerm::hangupAfter_data()
{
    QTest::addColumn<int>("hangupAfter");
    QTest::addColumn<QByteArrayList>("answered");
    QTest::newRow("on first message") << 0 << QByteArrayList{};
    QTest::newRow("after READ and REMOVE") << 2 << QByteArrayList{"r1", "NEXT"};
    QTest::newRow("in a download") << 3 << QByteArrayList{"ACK", "ACK", "ACK"};
}

void TestSimTerm::hangupAfter()
{
    QFETCH(int, hangupAfter);
    QFETCH(QByteArrayList, answered);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Options opt;
    opt.hangupAfterReplies = hangupAfter;
    opt.linkPath = dir.filePath("ttyUSB0");
    SimTerminal term({"r1", "r2"}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(opt.linkPath);
    QVERIFY(pc.isOpen());

    const QByteArrayList script = QTest::currentDataTag() == QByteArray("in a download")
        ? QByteArrayList{"DOWN", "a", "b", "c"}
        : QByteArrayList{"READ", "REMOVE", "READ"};
    for (qsizetype i = 0; i < answered.size(); ++i)
        QCOMPARE(pc.exchange(script[i]), answered[i]);
    QVERIFY(pc.sendMessage(script[answered.size()]));

    // Like a pulled adapter: hang-up on read, EIO on write, device link gone.
    QByteArray chunk;
    QCOMPARE(pc.readOnce(replyWaitMs, chunk), PcPort::Status::HangUp);
    QVERIFY2(pc.lastErrno == 0 || pc.lastErrno == EIO, qPrintable(QString::number(pc.lastErrno)));
    QTRY_VERIFY(term.hungUp());
    QVERIFY(!pc.send("READ\r"));
    QCOMPARE(pc.lastErrno, EIO);
    QVERIFY(!QFileInfo(opt.linkPath).isSymLink());
    QVERIFY(!term.sendRaw("NAK\r"));
    QCOMPARE(term.repliesSent(), int(answered.size()));
}

// Each piece must reach the PC as its own read, with the CR only in the last.
void TestSimTerm::splitPieces_data()
{
    QTest::addColumn<int>("pieces");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("expectedReads");
    QTest::newRow("3 pieces") << 3 << QByteArray("4006381333931;12;Pencils HB") << 3;
    QTest::newRow("2 pieces, 2-byte record") << 2 << QByteArray("ab") << 2;
    QTest::newRow("more pieces than bytes") << 10 << QByteArray("xy") << 3;
}

void TestSimTerm::splitPieces()
{
    QFETCH(int, pieces);
    QFETCH(QByteArray, record);
    QFETCH(int, expectedReads);
    Options opt;
    opt.splitPieces = pieces;
    opt.pauseBetweenPieces = 60ms;
    SimTerminal term({record}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.sendMessage("READ"));

    const QByteArrayList reads = pc.reads();
    const QByteArray all = reads.join();
    QCOMPARE(all, record + '\r');
    QCOMPARE(reads.size(), qsizetype(expectedReads));
    for (qsizetype i = 0; i + 1 < reads.size(); ++i)
        QVERIFY(!reads[i].contains('\r'));
    // Roughly equal: no piece more than one byte longer than another.
    qsizetype shortest = all.size(), longest = 0;
    for (const auto &r : reads) {
        shortest = std::min(shortest, r.size());
        longest = std::max(longest, r.size());
    }
    QVERIFY(longest - shortest <= 1);
}

// The Nth reply goes out with its last byte changed; what it answers took effect.
void TestSimTerm::corruptedReply()
{
    Options opt;
    opt.corruptAtReply = 2;
    SimTerminal term({"R1", "R2"}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.sendMessage("READ"));
    QCOMPARE(pc.reads(3).join(), QByteArray("R1\r"));
    QVERIFY(pc.sendMessage("REMOVE"));
    QCOMPARE(pc.reads(5).join(), QByteArray("NEXU\r"));
    QCOMPARE(term.remainingRecords(), std::vector<QByteArray>{"R2"});
}

// After N bytes from the PC the terminal reads no more: the rest stays on the line.
void TestSimTerm::stopsReadingMidMessage()
{
    Options opt;
    opt.stopReadingAfterBytes = 3;
    SimTerminal term({}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.sendMessage("DOWN"));
    QByteArray extra;
    QCOMPARE(pc.readOnce(silenceWaitMs, extra), PcPort::Status::Timeout);
    QCOMPARE(term.receivedBytes(), QByteArray("DOW"));
    QCOMPARE(term.messagesReceived(), 0);
}

void TestSimTerm::doubleAndCrlf_data()
{
    QTest::addColumn<bool>("doubled");
    QTest::addColumn<bool>("crlf");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("doubled") << true << false << QByteArray("ACK\rACK\r");
    QTest::newRow("CR LF") << false << true << QByteArray("ACK\r\n");
    QTest::newRow("doubled CR LF") << true << true << QByteArray("ACK\r\nACK\r\n");
}

void TestSimTerm::doubleAndCrlf()
{
    QFETCH(bool, doubled);
    QFETCH(bool, crlf);
    QFETCH(QByteArray, expected);
    Options opt;
    opt.doubleReplies = doubled;
    opt.crlfEndings = crlf;
    SimTerminal term({}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.sendMessage("DOWN"));

    QCOMPARE(pc.reads(expected.size()).join(), expected);
    QByteArray extra;
    QCOMPARE(pc.readOnce(silenceWaitMs, extra), PcPort::Status::Timeout);
    // Both copies went out in a single write.
    int termChunks = 0;
    for (const auto &c : term.transcript())
        if (c.direction == Direction::FromTerminal) {
            ++termChunks;
            QCOMPARE(c.bytes, expected);
        }
    QCOMPARE(termChunks, 1);
}

void TestSimTerm::baudThrottleKeepsBytes()
{
    // At 9600 baud a 64-byte record needs many line-time slots, so it cannot
    // arrive in one piece; the bytes must still be intact and in order.
    const QByteArray record = generateRecords(1, 64).front();
    Options opt;
    opt.baud = 9600;
    SimTerminal term({record}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.sendMessage("READ"));
    const QByteArrayList reads = pc.reads();
    QCOMPARE(reads.join(), record + '\r');
    QVERIFY2(reads.size() > 1, qPrintable(QString::number(reads.size())));
    QCOMPARE(pc.exchange("REMOVE"), QByteArray("NEXT"));
    QVERIFY(term.remainingRecords().empty());
}

void TestSimTerm::neverSpeaksFirst()
{
    SimTerminal term({"r1"});
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.isOpen());
    QByteArray chunk;
    QCOMPARE(pc.readOnce(silenceWaitMs, chunk), PcPort::Status::Timeout);
    // Half a message is not a message yet.
    QVERIFY(pc.send("REA"));
    QCOMPARE(pc.readOnce(silenceWaitMs, chunk), PcPort::Status::Timeout);
    for (const auto &c : term.transcript())
        QVERIFY(c.direction == Direction::FromPc);
    QVERIFY(pc.send("D\r"));
    QCOMPARE(pc.readMessage(), QByteArray("r1"));
    // Raw from the start: the CR reached the terminal untranslated, no echo.
    QCOMPARE(term.receivedBytes(), QByteArray("READ\r"));
    QCOMPARE(pc.readOnce(silenceWaitMs, chunk), PcPort::Status::Timeout);
}

void TestSimTerm::manualMode()
{
    Options opt;
    opt.manual = true;
    SimTerminal term({"r1"}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    const QByteArray bytes("READ\r\rx\0\xff\r", 10);
    QVERIFY(pc.send(bytes));
    QTRY_COMPARE(term.receivedBytes(), bytes);
    QCOMPARE(toList(term.receivedMessages()), (QByteArrayList{"READ", "", QByteArray("x\0\xff", 3)}));
    QByteArray chunk;
    QCOMPARE(pc.readOnce(silenceWaitMs, chunk), PcPort::Status::Timeout);
    QCOMPARE(term.repliesSent(), 0);

    const QByteArray raw("partial\rNAK\r\n\0", 14);
    QVERIFY(term.sendRaw(raw));
    QCOMPARE(pc.reads(raw.size()).join(), raw);
    QCOMPARE(toList(term.remainingRecords()), QByteArrayList{"r1"});
}

void TestSimTerm::transcriptAndTimings()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Options opt;
    opt.transcriptPath = dir.filePath("t.log");
    SimTerminal term({QByteArray("r\x01", 2)}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QCOMPARE(pc.exchange("READ"), QByteArray("r\x01", 2));
    QCOMPARE(pc.exchange("REMOVE"), QByteArray("NEXT"));
    // The PC may see NEXT a moment before the terminal has noted writing it.
    QTRY_COMPARE(term.replyTimings().size(), size_t(2));

    const auto chunks = term.transcript();
    QByteArray fromPc, fromTerm;
    std::int64_t last = -1;
    for (const auto &c : chunks) {
        QVERIFY(c.micros >= last);
        last = c.micros;
        (c.direction == Direction::FromPc ? fromPc : fromTerm) += c.bytes;
    }
    QCOMPARE(fromPc, QByteArray("READ\rREMOVE\r"));
    QCOMPARE(fromTerm, QByteArray("r\x01\rNEXT\r", 8));

    const auto msgs = term.messageTimings();
    const auto replies = term.replyTimings();
    QCOMPARE(msgs.size(), size_t(2));
    QCOMPARE(replies.size(), size_t(2));
    QCOMPARE(msgs[1].text, QByteArray("REMOVE"));
    QCOMPARE(replies[0].text, QByteArray("r\x01", 2));
    for (const auto &m : msgs)
        QVERIFY(m.firstByteMicros <= m.crMicros);
    // Causality: the PC's REMOVE can only be read after the record's CR left.
    QVERIFY(replies[0].lastByteMicros <= msgs[1].firstByteMicros);
    QVERIFY(msgs[0].crMicros <= replies[0].lastByteMicros);

    QFile f(opt.transcriptPath);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> fileLines = f.readAll().split('\n');
    QCOMPARE(fileLines.size(), qsizetype(chunks.size() + 1));
    QCOMPARE(fileLines.last(), QByteArray());
    QCOMPARE(fileLines.first(), formatTranscriptLine(chunks.front()).chopped(1));
    QCOMPARE(fileLines.first(), QByteArray::number(qint64(chunks.front().micros)) + " PC 52 45 41 44 0d  READ\\r");
    const QRegularExpression shape(QStringLiteral("^\\d+ (PC|TERM) [0-9a-f]{2}( [0-9a-f]{2})*  \\S+$"));
    for (int i = 0; i < int(chunks.size()); ++i)
        QVERIFY2(shape.match(QString::fromLatin1(fileLines[i])).hasMatch(), fileLines[i].constData());
    QVERIFY(fileLines[1].contains(" TERM 72 01 0d  r.\\r"));
}

void TestSimTerm::symlink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("ttyTERM");
    QVERIFY(QFile::link(QStringLiteral("/nonexistent"), link));   // stale link gets replaced
    {
        Options opt;
        opt.linkPath = link;
        SimTerminal term({"r1"}, opt);
        QVERIFY2(term.isOk(), qPrintable(term.errorString()));
        QCOMPARE(QFileInfo(link).symLinkTarget(), term.slavePath());
        PcPort pc(link);
        QCOMPARE(pc.exchange("READ"), QByteArray("r1"));
    }
    QVERIFY(!QFileInfo::exists(link));
    QVERIFY(!QFileInfo(link).isSymLink());

    // A real file at that place is never clobbered.
    QFile plain(link);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write("keep");
    plain.close();
    Options opt;
    opt.linkPath = link;
    SimTerminal term({}, opt);
    QVERIFY(!term.isOk());
    QVERIFY(!term.errorString().isEmpty());
    QVERIFY(plain.open(QIODevice::ReadOnly));
    QCOMPARE(plain.readAll(), QByteArray("keep"));
}

void TestSimTerm::stopEarly()
{
    Options opt;
    opt.replyDelay = 10s;   // stop() must cut this short, not wait it out
    SimTerminal term({"r1"}, opt);
    QVERIFY2(term.isOk(), qPrintable(term.errorString()));
    PcPort pc(term.slavePath());
    QVERIFY(pc.sendMessage("READ"));
    QTRY_COMPARE(term.messagesReceived(), 1);
    QVERIFY(term.isRunning());
    term.stop();
    QVERIFY(!term.isRunning());
    term.stop();
    QByteArray chunk;
    QCOMPARE(pc.readOnce(silenceWaitMs, chunk), PcPort::Status::Timeout);
}

void TestSimTerm::parseRecordFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QByteArrayList>("records");
    QTest::newRow("two records") << QByteArray("a\r\nbb\r\n") << QByteArrayList{"a", "bb"};
    QTest::newRow("final record without CR LF") << QByteArray("a\r\nbb") << QByteArrayList{"a", "bb"};
    QTest::newRow("empty file") << QByteArray() << QByteArrayList{};
    QTest::newRow("empty records") << QByteArray("\r\n\r\nx\r\n") << QByteArrayList{"", "", "x"};
    QTest::newRow("LF alone stays in the record") << QByteArray("a\nb\r\n\n\r\n") << QByteArrayList{"a\nb", "\n"};
    QTest::newRow("CR alone stays in the record") << QByteArray("a\rb\r\nc\r") << QByteArrayList{"a\rb", "c\r"};
    QTest::newRow("LF CR is not a separator") << QByteArray("a\n\rb") << QByteArrayList{"a\n\rb"};
    QTest::newRow("nul and high bytes")
        << QByteArray("\0\xff\r\n\x80", 5) << QByteArrayList{QByteArray("\0\xff", 2), "\x80"};
}

void TestSimTerm::parseRecordFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QByteArrayList, records);
    QCOMPARE(toList(simterm::parseRecordFile(contents)), records);
}

void TestSimTerm::generatedRecords_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("size");
    QTest::newRow("benchmark-like") << 200 << 80;
    QTest::newRow("shorter than the number") << 5 << 3;
    QTest::newRow("none") << 0 << 10;
}

void TestSimTerm::generatedRecords()
{
    QFETCH(int, count);
    QFETCH(int, size);
    const auto a = generateRecords(count, size);
    QCOMPARE(int(a.size()), count);
    QCOMPARE(toList(generateRecords(count, size)), toList(a));   // deterministic
    for (const auto &r : a) {
        QCOMPARE(int(r.size()), size);
        QVERIFY(!r.contains('\r'));
        QVERIFY(!r.contains('\n'));
    }
    if (size >= 8) {
        auto sorted = a;
        std::sort(sorted.begin(), sorted.end());
        QVERIFY(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
    }
}

namespace {

QString firstStdoutLine(QProcess &proc)
{
    QDeadlineTimer deadline(10000);
    while (!proc.canReadLine() && !deadline.hasExpired())
        proc.waitForReadyRead(100);
    return QString::fromLocal8Bit(proc.readLine()).trimmed();
}

} // namespace

void TestSimTerm::cliUpload()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArrayList records{"4006381333931;12;Pencils HB", QByteArray("\0\x80\xff", 3), "", "a\nb"};
    QFile in(dir.filePath("records.txt"));
    QVERIFY(in.open(QIODevice::WriteOnly));
    in.write(records.join("\r\n"));   // final record without CR LF counts too
    in.close();

    const QString link = dir.filePath("ttySIM");
    QProcess proc;
    proc.start(QStringLiteral(SIMTERM_CLI_PATH),
               {"--records", in.fileName(), "--link", link, "--exit-when-done", "--timeout-s", "20"});
    QVERIFY(proc.waitForStarted());
    const QString path = firstStdoutLine(proc);
    QVERIFY2(path.startsWith("/dev/"), qPrintable(path));
    QCOMPARE(QFileInfo(link).symLinkTarget(), path);

    PcPort pc(link);
    QVERIFY(pc.isOpen());
    for (const QByteArray &r : records) {
        QCOMPARE(pc.exchange("READ"), r);
        QCOMPARE(pc.exchange("REMOVE"), QByteArray("NEXT"));
    }
    QCOMPARE(pc.exchange("READ"), QByteArray("OVER"));
    QVERIFY(pc.sendMessage("DONE"));
    QVERIFY(proc.waitForFinished(10000));
    QCOMPARE(proc.exitStatus(), QProcess::NormalExit);
    QCOMPARE(proc.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(proc.readAllStandardError().contains("0 records left"));
}

void TestSimTerm::cliDownloadStore()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath("stored.txt");
    QProcess proc;
    proc.start(QStringLiteral(SIMTERM_CLI_PATH), {"--store", store, "--sample", "--exit-when-done"});
    QVERIFY(proc.waitForStarted());
    const QString path = firstStdoutLine(proc);
    PcPort pc(path);
    QVERIFY(pc.isOpen());
    const QByteArrayList lines{"x;1", "", "READ", QByteArray("\0\xfe", 2)};
    QCOMPARE(pc.exchange("DOWN"), QByteArray("ACK"));
    for (const auto &l : lines) {
        QCOMPARE(pc.exchange(l), QByteArray("ACK"));
        // Stored (and flushed) before it is acknowledged.
        QFile f(store);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().endsWith(l + "\r\n"));
    }
    QVERIFY(pc.sendMessage("OVER"));
    QVERIFY(proc.waitForFinished(10000));
    QCOMPARE(proc.exitCode(), 0);
    QFile f(store);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), lines.join("\r\n") + "\r\n");
    const QByteArray summary = proc.readAllStandardError();
    QVERIFY2(summary.contains("4 lines stored"), summary.constData());
    QVERIFY2(summary.contains(QByteArray::number(int(sampleRecords().size())) + " records left"),
             summary.constData());
}

void TestSimTerm::cliSigtermRemovesLink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("ttyS9");
    QProcess proc;
    proc.start(QStringLiteral(SIMTERM_CLI_PATH), {"--link", link, "--records-count", "3", "--record-size", "20"});
    QVERIFY(proc.waitForStarted());
    const QString path = firstStdoutLine(proc);
    QVERIFY(QFileInfo(link).isSymLink());
    {
        PcPort pc(link);
        QCOMPARE(pc.exchange("READ"), generateRecords(3, 20).front());
    }
    proc.terminate();
    QVERIFY(proc.waitForFinished(10000));
    QCOMPARE(proc.exitStatus(), QProcess::NormalExit);
    QCOMPARE(proc.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(proc.readAllStandardError().contains("3 records left"));
}

QTEST_GUILESS_MAIN(TestSimTerm)
#include "tst_simterm.moc"
