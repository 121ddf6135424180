// The DownLoad window against the simulated terminal over a real
// pseudo-terminal, its dialogue alone over the in-memory port, and what both
// transfer windows do alike.
#include "support/MemoryRig.h"
#include "support/WindowRig.h"
#include "transfer/Messages.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

using simterm::SimTerminal;

namespace {

using Rig = WindowRig<DownLoad>;

QByteArray framed(const QList<QByteArray> &messages)
{
    QByteArray b;
    for (const QByteArray &m : messages)
        b += m + '\r';
    return b;
}

// What a window's dialogue says: Start's message, a reply the terminal gives
// to it and the answer to that; after a new Start, the answer to the same
// reply (DownLoad: the line of the second file).
struct Words
{
    QByteArray start, reply, firstAnswer, answer, line;
};
Words words(bool upload)
{
    if (upload)
        return {"READ\r", "R1\r", "REMOVE\r", "REMOVE\r", {}};
    return {"DOWN\r", "ACK\r", "L1\r", "N1\r", "N1"};
}

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void twoLineExample()
    {
        Rig rig;
        QVERIFY2(rig.term.isOk(), qPrintable(rig.term.errorString()));
        const QString path = rig.input("A1\r\nB2\r\n");
        rig.start(path);
        QVERIFY(rig.timer->isActive());
        QCOMPARE(rig.window->TimeoutTicks(), 0);
        QTRY_VERIFY(rig.term.downloadDone());
        QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\rA1\rB2\rOVER\r"));
        QCOMPARE(rig.term.downloadedLines(), (std::vector<QByteArray>{"A1", "B2"}));
        QCOMPARE(rig.text1(), QStringLiteral("Over !!"));
        QCOMPARE(rig.window->findChild<QLabel *>(QStringLiteral("Label2"))->text(), QStringLiteral("0"));
        QVERIFY(!rig.port->isOpen());
        QVERIFY(!rig.transfer().underWay());
        QVERIFY(!rig.timer->isActive());
        QCOMPARE(openDescriptorsFor(path), 0);
        QVERIFY(rig.box->shown.isEmpty());
        QCOMPARE(rig.dialog->shown[0].title, QStringLiteral("Open download file"));
        QCOMPARE(rig.dialog->shown[0].filter, QStringLiteral("*.txt"));
        QCOMPARE(rig.dialog->shown[0].action, FileDialog::ShowOpen);
    }

    void inputFileLines_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::newRow("empty file") << QByteArray() << QList<QByteArray>{};
        QTest::newRow("last line without ending") << QByteArray("a\r\nb") << QList<QByteArray>{"a", "b"};
        QTest::newRow("final ending adds no line") << QByteArray("a\r\nb\r\n") << QList<QByteArray>{"a", "b"};
        QTest::newRow("CR alone ends a line") << QByteArray("a\rb\r") << QList<QByteArray>{"a", "b"};
        QTest::newRow("LF alone is a byte of the line") << QByteArray("a\nb\r\nc") << QList<QByteArray>{"a\nb", "c"};
        QTest::newRow("blank line in the middle") << QByteArray("a\r\n\r\nb\r\n") << QList<QByteArray>{"a", "", "b"};
        QTest::newRow("only a line ending") << QByteArray("\r\n") << QList<QByteArray>{""};
        // As a Linux editor saves it: LF ends the lines when there is no CR at all.
        QTest::newRow("LF endings, no CR anywhere") << QByteArray("a\nb\n\nc\n") << QList<QByteArray>{"a", "b", "", "c"};
        // Far longer than the reader's chunk and the port's buffer: it goes out in pieces, byte for byte.
        QTest::newRow("one line of 1 MiB") << QByteArray(1 << 20, 'L') << QList<QByteArray>{QByteArray(1 << 20, 'L')};
        QTest::newRow("8-bit and NUL bytes") << QByteArray("\xE9\x80\xFF\r\n\0x", 7)
                                             << QList<QByteArray>{"\xE9\x80\xFF", QByteArray("\0x", 2)};
    }
    void inputFileLines()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QList<QByteArray>, lines);
        Rig rig;
        rig.start(rig.input(contents));
        QTRY_VERIFY_WITH_TIMEOUT(rig.term.downloadDone(), 30000); // the long line takes a while on a busy machine
        QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r") + framed(lines) + "OVER\r");
        QCOMPARE(rig.text1(), QStringLiteral("Over !!"));
        QVERIFY(rig.box->shown.isEmpty());
    }

    // Replies as they come off the line after "DOWN" of a two-line file.
    void replies_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QByteArray>("pcSent");   // after "DOWN"
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QByteArray>("rxBuffer"); // what is kept at the end
        QTest::newRow("ACK split over two reads") << QList<QByteArray>{"AC", "K\r"} << QByteArray("L1\r")
                                                  << QStringList{} << QByteArray();
        QTest::newRow("lower case is unknown") << QList<QByteArray>{"ack\r"} << QByteArray()
                                               << QStringList{"Unknown Command !!"} << QByteArray("ack");
        QTest::newRow("blank after ACK is unknown") << QList<QByteArray>{"ACK \r"} << QByteArray()
                                                    << QStringList{"Unknown Command !!"} << QByteArray("ACK ");
        QTest::newRow("two ACKs in one read are unknown") << QList<QByteArray>{"ACK\rACK\r"} << QByteArray()
                                                          << QStringList{"Unknown Command !!"} << QByteArray("ACK\rACK");
        QTest::newRow("NAK then more replies")
            << QList<QByteArray>{"NAK\r", "\r", "ACK\r"} << QByteArray()
            << QStringList{"Error - NAK", "Error - NAK", "Unknown Command !!"} << QByteArray("NAKACK");
        QTest::newRow("empty reply kept, then ACK completes it")
            << QList<QByteArray>{"\r", "ACK\r"} << QByteArray("L1\r") << QStringList{"Unknown Command !!"}
            << QByteArray();
        QTest::newRow("whole file") << QList<QByteArray>{"ACK\r", "ACK\r", "ACK\r"} << QByteArray("L1\rL2\rOVER\r")
                                    << QStringList{} << QByteArray();
        QTest::newRow("DOWN echoed is named an echo") << QList<QByteArray>{"DOWN\r"} << QByteArray()
                                                      << QStringList{R"(The terminal sent back what the PC had just sent ("DOWN"): echo)"}
                                                      << QByteArray("DOWN");
        QTest::newRow("a line echoed, its CR turned into LF") << QList<QByteArray>{"ACK\r", "L1\nACK\r"} << QByteArray("L1\r")
                                                              << QStringList{"The terminal sent back what the PC had just sent (\"L1\\nACK\")"}
                                                              << QByteArray("L1\nACK");
    }
    void replies()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QByteArray, pcSent);
        QFETCH(QStringList, boxes);
        QFETCH(QByteArray, rxBuffer);
        Rig rig({}, manualTerminal());
        rig.start(rig.input("L1\r\nL2\r\n"));
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        for (const QByteArray &piece : pieces) {
            const qsizetype sent = rig.term.receivedBytes().size();
            const qsizetype shown = rig.box->shown.size();
            QVERIFY(rig.term.sendRaw(piece));
            if (piece.endsWith('\r'))
                QTRY_VERIFY(rig.term.receivedBytes().size() > sent || rig.box->shown.size() > shown);
            else
                QTRY_VERIFY(rig.window->RxBuffer().endsWith(piece));
            // Any characters from the terminal stop the reply timer.
            if (!piece.endsWith('\r'))
                QVERIFY(!rig.timer->isActive());
        }
        if (pcSent.endsWith("OVER\r"))
            QTRY_VERIFY(!rig.port->isOpen());
        QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r") + pcSent);
        QCOMPARE(rig.box->shown.size(), boxes.size());
        for (qsizetype i = 0; i < boxes.size(); ++i)
            QVERIFY2(rig.box->shown[i].text.startsWith(boxes[i]), qPrintable(rig.box->shown[i].text));
        for (const auto &r : rig.box->shown) {
            QCOMPARE(r.title, QString());
            QCOMPARE(r.icon, MessageBox::Icon::None);
        }
        QCOMPARE(rig.window->RxBuffer(), rxBuffer);
    }

    // Both windows: five ticks without a byte are "Timed Out !!" in one box,
    // and a late reply is handled as if it had come in time.
    void timeoutAtTheFifthTickThenLateReply_data() { bothWindows(); }
    void timeoutAtTheFifthTickThenLateReply()
    {
        withRowWindow([]<typename W>() {
            WindowRig<W> rig({}, manualTerminal());
            const Words x = words(rig.IsUpload);
            rig.start(rig.startFile(QStringLiteral("in.txt"), "L1\r\n"));
            QTRY_COMPARE(rig.term.receivedBytes(), x.start);
            for (int i = 0; i < 4; ++i)
                rig.timer->fire();
            QVERIFY(rig.box->shown.isEmpty());
            QCOMPARE(rig.window->TimeoutTicks(), 4);
            rig.timer->fire();
            QCOMPARE(rig.box->texts(), QStringList{QStringLiteral("Timed Out !!")});
            QCOMPARE(rig.box->shown[0].title, rig.IsUpload ? QStringLiteral("Terminal upload") : QStringLiteral("Terminal download"));
            QVERIFY(!rig.timer->isActive());
            QCOMPARE(rig.window->TimeoutTicks(), 0);
            QVERIFY(rig.port->isOpen()); // a time-out does not end the transfer

            rig.term.sendRaw(x.reply);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.firstAnswer);
            QVERIFY(rig.timer->isActive());
            // The display follows within a refresh.
            QTRY_COMPARE(rig.text1(), rig.IsUpload ? QStringLiteral("R1") : QStringLiteral("L1"));
        });
    }

    // A long line still on its way (17 s for 200 kB at 115200 baud) is not a
    // silent terminal: ticks count once the port has nothing left to send.
    // But a line of which nothing leaves the PC for five ticks is a terminal
    // that stopped taking data.
    void timeOutCountsFromWhenTheMessageLeft_data()
    {
        QTest::addColumn<bool>("moving");
        QTest::addColumn<QByteArray>("stray"); // arrives while the line leaves, and is ignored
        QTest::newRow("the line keeps leaving") << true << QByteArray();
        QTest::newRow("nothing leaves for five ticks") << false << QByteArray();
        QTest::newRow("nothing leaves, and a stray ACK comes") << false << QByteArray("ACK\r");
        QTest::newRow("the line keeps leaving, and a stray ACK comes") << true << QByteArray("ACK\r");
    }
    void timeOutCountsFromWhenTheMessageLeft()
    {
        QFETCH(bool, moving);
        QFETCH(QByteArray, stray);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("in.txt"));
        writeAll(path, stray.isEmpty() ? QByteArray("L1\r\n") : QByteArray(200'000, 'x') + "\r\n");
        MemoryRig<DownloadTransfer> rig;
        QVERIFY(rig.begin(path));
        rig.port.queued = 200'000;
        if (!stray.isEmpty()) {
            QVERIFY(rig.port.arrive("ACK\r")); // the long line starts to leave
            QVERIFY(rig.port.arrive(stray));
        }
        for (int i = 0; i < 20; ++i) {
            if (moving) {
                rig.port.queued -= 5000;
                Q_EMIT rig.port.bytesWritten();
            }
            rig.timer.fire();
            if (!moving && i == 3)
                QVERIFY(rig.ends.isEmpty()); // four ticks are not five
        }
        if (!moving) {
            QCOMPARE(rig.ends.size(), 1);
            QCOMPARE(rig.ends[0].kind, Outcome::Kind::TimedOut);
            QCOMPARE(rig.ends[0].reason, Outcome::Reason::Stalled);
            const QString said = Messages::ending(rig.ends[0]);
            QVERIFY2(said.contains(QLatin1String("stopped taking data")), qPrintable(said));
            QVERIFY(rig.transfer.halted() && rig.transfer.underWay());
            return;
        }
        QVERIFY(rig.ends.isEmpty());
        rig.port.queued = 0;
        Q_EMIT rig.port.bytesWritten();
        for (int i = 0; i < 4; ++i)
            rig.timer.fire();
        QVERIFY(rig.ends.isEmpty());
        rig.timer.fire();
        QCOMPARE(rig.ends.size(), 1);
        QCOMPARE(rig.ends[0].kind, Outcome::Kind::TimedOut);
        QCOMPARE(rig.ends[0].reason, Outcome::Reason::None); // the designed "Timed Out !!"
        QVERIFY(rig.transfer.halted() && rig.transfer.underWay());
    }

    // A terminal that stops reading in the middle of a long line: the pty
    // fills, nothing more leaves the PC, and five ticks later the window says
    // so. Only lines the terminal acknowledged count.
    void terminalThatStopsReadingIsATimeOut()
    {
        simterm::Options o;
        o.stopReadingAfterBytes = 5 + 1000; // "DOWN" CR, then part of the line
        Rig rig({}, o);
        const QByteArray line(1 << 20, 'x');
        rig.start(rig.input(line + "\r\n"));
        // The line goes out until the pty is full; every tick until then is
        // one where bytes left, so none of them counts.
        QVERIFY(spinUntil(
            [&] {
                rig.timer->fire();
                QTest::qWait(20);
                return !rig.box->shown.isEmpty();
            },
            60000));
        QCOMPARE(rig.box->shown.size(), 1);
        QVERIFY2(rig.box->shown[0].text.contains(QLatin1String("The terminal stopped taking data")),
                 qPrintable(rig.box->shown[0].text));
        QVERIFY2(rig.box->shown[0].text.contains(QLatin1String("acknowledged: 0")), qPrintable(rig.box->shown[0].text));
        QCOMPARE(rig.box->shown[0].title, QStringLiteral("Terminal download"));
        QVERIFY(rig.port->bytesToWrite() > 0); // really stuck, not merely slow
        QCOMPARE(rig.window->RecordCount(), 0);
        QVERIFY(rig.port->isOpen()); // a time-out does not end the transfer
        rig.window->close();           // nor does the stuck line hold up the close
        QVERIFY(!rig.port->isOpen());
    }

    // Under the command line's rule the time-out is the longest time without
    // a byte from the terminal, read on a clock: ticks that come early (a
    // coarse timer) never end it before its time, and each byte that arrives
    // starts it again.
    void silenceRuleNeverEndsEarly()
    {
        Rig rig({}, manualTerminal());
        qint64 now = 0;
        rig.transfer().setClock([&] { return now; });
        rig.transfer().setReplyTimeout(5000, ReplyTimeout::Rule::Silence);
        QList<Outcome> ends;
        connect(&rig.transfer(), &DownloadTransfer::finished, this, [&](const Outcome &o) { ends.append(o); });
        rig.box->onShow = [](const MessageBox::Request &) {};
        rig.start(rig.input("L1\r\n"));
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        QVERIFY(QTest::qWaitFor([&] { return rig.port->bytesToWrite() == 0; }));
        for (int i = 0; i < 20; ++i) { // many early ticks, 4.95 s in all
            now += 4950 / 20;
            rig.timer->fire();
        }
        QVERIFY(ends.isEmpty());
        rig.term.sendRaw("AC");
        QTRY_COMPARE(rig.window->RxBuffer(), QByteArray("AC"));
        now += 4999;
        rig.timer->fire();
        QVERIFY(ends.isEmpty()); // a byte came 4.999 s ago
        now += 1;
        rig.timer->fire();
        QCOMPARE(ends.size(), 1);
        QCOMPARE(ends[0].kind, Outcome::Kind::TimedOut);
    }

    void partialReplyNeverTimesOut()
    {
        Rig rig({}, manualTerminal());
        rig.start(rig.input("L1\r\n"));
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        rig.term.sendRaw("AC");
        QTRY_COMPARE(rig.window->RxBuffer(), QByteArray("AC"));
        QVERIFY(!rig.timer->isActive());
        for (int i = 0; i < 10; ++i)
            rig.timer->fire();
        QVERIFY(rig.box->shown.isEmpty());
    }

    void oneTimeOutBoxAtATime()
    {
        Rig rig({}, manualTerminal(), /*realTimer=*/true);
        rig.timer1->setInterval(5); // the program itself always ticks once a second
        int ticksWhileOpen = 0;
        rig.box->onShow = [&](const MessageBox::Request &) {
            const int before = rig.window->TimeoutTicks();
            QTest::qWait(150); // ticks keep coming while a real box is open
            ticksWhileOpen = rig.window->TimeoutTicks() - before;
        };
        rig.start(rig.input("L1\r\n"));
        QTRY_COMPARE(rig.box->shown.size(), 1);
        QCOMPARE(rig.box->mostOpenAtOnce, 1);
        QCOMPARE(ticksWhileOpen, 0);
        QVERIFY(!rig.timer1->isActive());
        QTest::qWait(50);
        QCOMPARE(rig.box->shown.size(), 1);
    }

    // Ticks delivered while the box is open (Qt holds back a timer that is
    // still in its own handler, but not another's) run no handler inside it.
    void ticksDuringABoxRunNoHandler()
    {
        Rig rig({}, manualTerminal());
        int ticksWhileOpen = 0;
        rig.box->onShow = [&](const MessageBox::Request &) {
            const int before = rig.window->TimeoutTicks();
            for (int i = 0; i < 10; ++i)
                rig.timer->fire();
            ticksWhileOpen = rig.window->TimeoutTicks() - before;
        };
        rig.start(rig.input("L1\r\n"));
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        for (int i = 0; i < 5; ++i)
            rig.timer->fire();
        QCOMPARE(rig.box->texts(), QStringList{QStringLiteral("Timed Out !!")});
        QCOMPARE(rig.box->mostOpenAtOnce, 1);
        QCOMPARE(ticksWhileOpen, 0);
        QVERIFY(!rig.timer->isActive());
    }

    void ackDuringTimeOutBoxIsAnsweredAfterIt()
    {
        Rig rig({}, manualTerminal());
        bool arrived = false;
        rig.box->onShow = [&](const MessageBox::Request &) {
            rig.term.sendRaw("ACK\r");
            arrived = QTest::qWaitFor([&] { return rig.port->bytesAvailable() > 0; }, 5000);
        };
        rig.start(rig.input("L1\r\nL2\r\n"));
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        for (int i = 0; i < 5; ++i)
            rig.timer->fire();
        QVERIFY(arrived);
        // The box closed, its handler stopped the timer; then the ACK got its line
        // and a running timer of its own.
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("DOWN\rL1\r"));
        QVERIFY(rig.timer->isActive());
        QCOMPARE(rig.window->TimeoutTicks(), 0);
    }

    // A port left open (after a refusal) is kept only when it is still the one selected.
    void startOpensTheSelectedPort()
    {
        Rig rig({}, manualTerminal());
        SimTerminal com2({}, manualTerminal());
        wireComPort(2, com2.slavePath());
        rig.start(rig.input("L1\r\n"));
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        rig.term.sendRaw("NAK\r");
        QTRY_COMPARE(rig.box->shown.size(), 1);
        rig.module.ComPortNumber = 2;
        rig.start(rig.input("L1\r\n"));
        QTRY_COMPARE(com2.receivedBytes(), QByteArray("DOWN\r"));
        QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        QCOMPARE(rig.port->device(), com2.slavePath());
    }

    // ---- What both windows do alike ------------------------------------------

    // A second Start while a reply is awaited asks first: a second dialogue on
    // the line would remove records no file holds, or send "DOWN" as a line.
    // After a refusal Start runs as designed: the user's way to recover.
    void secondStartDuringATransferAsksFirst_data() { bothWindows(); }
    void secondStartDuringATransferAsksFirst()
    {
        withRowWindow([]<typename W>() {
            WindowRig<W> rig({}, manualTerminal());
            const Words x = words(rig.IsUpload);
            const QString first = rig.startFile(QStringLiteral("first.txt"), "L1\r\nL2\r\n");
            const QString second = rig.startFile(QStringLiteral("second.txt"), x.line + "\r\n");
            rig.start(first);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start);
            rig.box->answerNext(MessageBox::Answer::No);
            rig.clickStart();
            QCOMPARE(rig.box->texts(),
                     QStringList{QStringLiteral("A transfer is in progress on COM1. Stop it and start a new one?")});
            QCOMPARE(rig.box->shown[0].defaultAnswer, MessageBox::Answer::No);
            QCOMPARE(rig.dialog->shown.size(), 1); // No changes nothing
            QVERIFY(rig.transfer().underWay() && !rig.transfer().halted());

            rig.box->answerNext(MessageBox::Answer::Yes);
            rig.start(second);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.start);
            rig.term.sendRaw(x.reply);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.start + x.answer);
            if (rig.IsUpload) {
                QCOMPARE(readAll(first), QByteArray());
                QCOMPARE(readAll(second), QByteArray("R1\r\n"));
            }
            rig.term.sendRaw("NAK\r");
            QTRY_COMPARE(rig.box->shown.size(), 3);
            rig.start(rig.startFile(QStringLiteral("third.txt"), "M1\r\n"));
            QCOMPARE(rig.box->shown.size(), 3);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.start + x.answer + x.start);
        });
    }

    // Not a file to write or read: a FIFO would freeze the window inside
    // open(), a folder or a device never ends; a file another transfer (here
    // one of this program) writes is written by one at a time.
    void unopenableFileOpensNoPort_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        const QString up = QStringLiteral("Upload");
        const QString down = QStringLiteral("DownLoad");
        QTest::newRow("Upload: missing folder") << up << QStringLiteral("no-such-folder/out.txt") << QString();
        QTest::newRow("Upload: a folder") << up << QStringLiteral("folder.d") << QStringLiteral("folder");
        QTest::newRow("Upload: a FIFO") << up << QStringLiteral("fifo.txt") << QStringLiteral("not a regular file");
        QTest::newRow("Upload: a file another transfer writes")
            << up << QStringLiteral("held.txt") << QStringLiteral("another transfer of this program");
        QTest::newRow("DownLoad: missing") << down << QStringLiteral("missing.txt") << QString();
        QTest::newRow("DownLoad: a folder") << down << QStringLiteral(".") << QStringLiteral("folder");
        QTest::newRow("DownLoad: a FIFO") << down << QStringLiteral("fifo.txt") << QStringLiteral("not a regular file");
        QTest::newRow("DownLoad: a device") << down << QStringLiteral("/dev/zero") << QStringLiteral("not a regular file");
    }
    void unopenableFileOpensNoPort()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        withRowWindow([&]<typename W>() {
            WindowRig<W> rig({"R"});
            QDir(rig.dir.path()).mkdir(QStringLiteral("folder.d"));
            ::mkfifo(QFile::encodeName(rig.file(QStringLiteral("fifo.txt"))).constData(), 0600);
            const QString path = QDir(rig.dir.path()).filePath(name); // a path of its own as it is
            RecordFile other;
            if (name == QLatin1String("held.txt")) {
                writeAll(path, "kept\r\n");
                QVERIFY(other.open(path, RecordFile::Mode::Append).ok());
            }
            rig.box->answerNext(MessageBox::Answer::Yes); // should Upload ask to replace
            rig.start(path);
            if (!rig.IsUpload)
                QCOMPARE(rig.box->shown.size(), 1);
            QVERIFY(!rig.box->shown.isEmpty());
            QVERIFY(rig.box->shown.last().text.contains(path));
            QVERIFY2(rig.box->shown.last().text.contains(reason), qPrintable(rig.box->shown.last().text));
            QVERIFY(!rig.port->isOpen());
            QVERIFY(!rig.timer->isActive());
            QVERIFY(rig.term.receivedBytes().isEmpty());
            if (other.isOpen()) {
                QCOMPARE(readAll(path), QByteArray("kept\r\n"));
                QCOMPARE(QDir(rig.dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("held.txt")});
            }
        });
    }

    // Said at once, and Upload leaves no file behind.
    void unopenablePortIsReported_data() { bothWindows(); }
    void unopenablePortIsReported()
    {
        withRowWindow([]<typename W>() {
            WindowRig<W> rig;
            const QString path = rig.startFile(QStringLiteral("port.txt"), "L1\r\n");
            wireComPort(1, QStringLiteral("/dev/quillan-test-no-such-port"));
            rig.start(path);
            QCOMPARE(rig.box->shown.size(), 1);
            QVERIFY2(rig.box->shown[0].text.contains(QLatin1String("COM1 (/dev/quillan-test-no-such-port)")),
                     qPrintable(rig.box->shown[0].text));
            QCOMPARE(rig.timer->starts, 0);
            QVERIFY(!rig.transfer().underWay());
            QCOMPARE(openDescriptorsFor(path), 0);
            QCOMPARE(QFileInfo::exists(path), !rig.IsUpload);
            QVERIFY(rig.term.receivedBytes().isEmpty());
        });
    }

    // The line dies mid-transfer: everything stops, and every record the
    // terminal let go of is in the file, in order.
    void hangUpStopsEverything_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<int>("hangupAfter");
        QTest::newRow("Upload") << QStringLiteral("Upload") << 5; // R1, NEXT, R2, NEXT, R3, then the line dies
        QTest::newRow("DownLoad") << QStringLiteral("DownLoad") << 2;
    }
    void hangUpStopsEverything()
    {
        QFETCH(int, hangupAfter);
        withRowWindow([&]<typename W>() {
            simterm::Options o;
            o.hangupAfterReplies = hangupAfter;
            const QList<QByteArray> records{"R1", "R2", "R3", "R4", "R5"};
            WindowRig<W> rig(WindowRig<W>::IsUpload ? std::vector<QByteArray>(records.begin(), records.end())
                                                    : std::vector<QByteArray>{},
                             o);
            const QString path = rig.startFile(QStringLiteral("hangup.txt"), "L1\r\nL2\r\nL3\r\nL4\r\n");
            rig.start(path);
            QTRY_COMPARE(rig.box->shown.size(), 1);
            QVERIFY2(rig.box->shown[0].text.contains(QLatin1String("connection to the terminal was lost")),
                     qPrintable(rig.box->shown[0].text));
            QVERIFY(!rig.port->isOpen());
            QVERIFY(!rig.timer->isActive());
            QVERIFY(!rig.transfer().underWay());
            QCOMPARE(openDescriptorsFor(path), 0);
            if (rig.IsUpload) {
                const int removed = records.size() - int(rig.term.remainingRecords().size());
                QVERIFY(removed >= 2);
                QVERIFY(readAll(path).startsWith(recordLines(records, removed)));
            }
        });
    }

    // A Start after a refusal lets go of the earlier file and goes on over
    // the open port with the new one.
    void newStartGivesUpTheEarlierFile_data() { bothWindows(); }
    void newStartGivesUpTheEarlierFile()
    {
        withRowWindow([]<typename W>() {
            WindowRig<W> rig({}, manualTerminal());
            const Words x = words(rig.IsUpload);
            const QString first = rig.startFile(QStringLiteral("first.txt"), "L1\r\n");
            const QString second = rig.startFile(QStringLiteral("second.txt"), x.line + "\r\n");
            rig.start(first);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start);
            rig.term.sendRaw(x.reply);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.firstAnswer);
            rig.term.sendRaw("NAK\r");
            QTRY_COMPARE(rig.box->shown.size(), 1);

            rig.start(second);
            QCOMPARE(openDescriptorsFor(first), 0);
            const QByteArray before = x.start + x.firstAnswer + x.start; // over the open port
            QTRY_COMPARE(rig.term.receivedBytes(), before);
            QVERIFY(rig.window->RxBuffer().isEmpty());
            rig.term.sendRaw(rig.IsUpload ? QByteArray("R2\r") : x.reply);
            QTRY_COMPARE(rig.term.receivedBytes(), before + x.answer);
            QCOMPARE(readAll(first), rig.IsUpload ? QByteArray("R1\r\n") : QByteArray("L1\r\n"));
            QCOMPARE(readAll(second), rig.IsUpload ? QByteArray("R2\r\n") : x.line + "\r\n");
        });
    }

    void closingTheWindowStopsTheTransfer_data() { bothWindows(); }
    void closingTheWindowStopsTheTransfer()
    {
        withRowWindow([]<typename W>() {
            WindowRig<W> rig({}, manualTerminal());
            const Words x = words(rig.IsUpload);
            const QString path = rig.startFile(QStringLiteral("closed.txt"), "L1\r\nL2\r\n");
            rig.window->show();
            rig.start(path);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start);
            rig.term.sendRaw(x.reply);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.firstAnswer);
            QVERIFY(rig.window->close());
            QVERIFY(!rig.timer->isActive());
            QVERIFY(!rig.port->isOpen());
            QCOMPARE(openDescriptorsFor(path), 0);
            QCOMPARE(readAll(path), rig.IsUpload ? QByteArray("R1\r\n") : QByteArray("L1\r\nL2\r\n"));
            QCOMPARE(rig.text1(), QString());
            if (rig.IsUpload)
                QCOMPARE(rig.label2(), QString());
        });
    }

    // The DownLoad window shares the Upload window's COM port choice, as the
    // main window makes them.
    void uploadAndDownloadOnTwoPortsAtOnce()
    {
        WindowRig<Upload> rig({"R1", "R2", "R3"});
        simterm::SimTerminal com2;
        wireComPort(2, com2.slavePath());
        TestParts down = makeTestParts();
        DownLoad download(std::move(down.parts), rig.module);
        const QString output = rig.file(QStringLiteral("up.txt"));
        const QString input = rig.input("D1\r\nD2\r\n", QStringLiteral("down.txt"));

        rig.start(output);
        rig.module.ComPortNumber = 2; // the main window's toggle: only the next Start sees it
        down.dialog->chooseNext(input);
        download.Command1_Click();

        QTRY_VERIFY(rig.term.uploadDone() && com2.downloadDone());
        QCOMPARE(readAll(output), QByteArray("R1\r\nR2\r\nR3\r\n"));
        QCOMPARE(com2.downloadedLines(), (std::vector<QByteArray>{"D1", "D2"}));
        QVERIFY(com2.receivedBytes().startsWith("DOWN\r"));
        QVERIFY(rig.term.receivedBytes().startsWith("READ\r"));
        QCOMPARE(rig.box->texts(), QStringList{QStringLiteral("3 records received !!")});
    }

    // The terminal gets the file as it was read through, or "OVER" never
    // goes out: a file cut, rewritten or grown while it is sent is a file
    // error; one replaced by a rename (the old one still open) goes whole.
    void fileChangedWhileSent_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("atLine");
        QTest::addColumn<bool>("whole");
        QTest::newRow("cut to nothing at line 20 of 200") << "cut" << 20 << false;
        QTest::newRow("rewritten in place, same size") << "rewrite" << 20 << false;
        QTest::newRow("grown after the last line went") << "grow" << 200 << false;
        QTest::newRow("replaced by a rename") << "rename" << 20 << true;
    }
    void fileChangedWhileSent()
    {
        QFETCH(QString, change);
        QFETCH(int, atLine);
        QFETCH(bool, whole);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("prices.txt"));
        QByteArray contents;
        for (int i = 0; i < 200; ++i)
            contents += QByteArray::number(i).rightJustified(4999, 'p') + "\r\n";
        writeAll(path, contents);
        MemoryRig<DownloadTransfer> rig;
        QVERIFY(rig.begin(path));
        for (int acks = 0; rig.ends.isEmpty() && acks <= 201; ++acks) {
            if (acks == atLine) {
                QFile f(path + (change == QLatin1String("rename") ? QStringLiteral(".new") : QString()));
                QVERIFY(f.open(change == QLatin1String("grow") ? QIODevice::Append : QIODevice::WriteOnly));
                f.write(change == QLatin1String("cut") ? QByteArray() : QByteArray(contents.size(), 'n'));
                f.close();
                if (change == QLatin1String("rename"))
                    QVERIFY(::rename(QFile::encodeName(f.fileName()).constData(), QFile::encodeName(path).constData()) == 0);
            }
            QVERIFY(rig.port.arrive("ACK\r"));
        }
        QCOMPARE(rig.ends.size(), 1);
        const QByteArray sent = rig.port.written();
        if (whole) {
            QCOMPARE(rig.ends[0].kind, Outcome::Kind::Completed);
            QCOMPARE(sent, "DOWN\r" + contents.replace("\r\n", "\r") + "OVER\r");
            return;
        }
        QCOMPARE(rig.ends[0].kind, Outcome::Kind::FileError);
        QCOMPARE(rig.ends[0].reason, Outcome::Reason::FileChanged);
        QVERIFY(!sent.endsWith("OVER\r"));
        QVERIFY2(contents.replace("\r\n", "\r").startsWith(sent.mid(5)), "a byte that was not in the file as read");
        QVERIFY(rig.ends[0].count >= atLine && rig.ends[0].count <= 200);
        const QString said = Messages::ending(rig.ends[0]);
        QVERIFY2(said.contains(QStringLiteral("changed while it was being sent. The terminal holds %1 of its lines").arg(rig.ends[0].count)),
                 qPrintable(said));
    }

    // A file larger than a slice is read through between events: the window
    // stays responsive, and a stop meanwhile sends nothing at all.
    void bigFileIsReadThroughInSlices()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("big.txt"));
        writeAll(path, QByteArray(DownloadTransfer::ScanSlice * 5 / 2, 'b') + "\r\n");
        MemoryRig<DownloadTransfer> rig;
        QVERIFY(rig.begin(path));
        QCOMPARE(rig.transfer.state(), Dialogue::State::Preparing);
        rig.transfer.stop();
        QCOMPARE(rig.ends.size(), 1);
        QCOMPARE(rig.ends[0].kind, Outcome::Kind::Stopped);
        QTest::qWait(20);
        QVERIFY(rig.port.writes.empty());
        QVERIFY(rig.begin(path));
        QVERIFY(rig.port.writes.empty());
        QTRY_VERIFY(rig.port.writes == std::vector<QByteArray>{"DOWN\r"});
    }
    // The dialogue alone, over the in-memory port: how it ends, typed, and
    // reported only once the port and the file are given back (a refusal
    // keeps them, as designed).
    void coreEndsTyped_data()
    {
        QTest::addColumn<QByteArrayList>("replies");
        QTest::addColumn<Outcome::Kind>("kind");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<bool>("held");
        QTest::newRow("over") << QByteArrayList{"ACK\r", "ACK\r"} << Outcome::Kind::Completed << QByteArray()
                              << qint64(1) << false;
        QTest::newRow("NAK") << QByteArrayList{"ACK\r", "NAK\r"} << Outcome::Kind::Refused << QByteArray("NAK")
                             << qint64(0) << true;
        QTest::newRow("unknown") << QByteArrayList{"XYZ\r"} << Outcome::Kind::Refused << QByteArray("XYZ")
                                 << qint64(0) << true;
    }
    void coreEndsTyped()
    {
        QFETCH(QByteArrayList, replies);
        QFETCH(Outcome::Kind, kind);
        QFETCH(QByteArray, reply);
        QFETCH(qint64, count);
        QFETCH(bool, held);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("in.txt"));
        writeAll(path, "L1\r\n");
        MemoryRig<DownloadTransfer> rig;
        bool portOpenAtReport = false;
        int fileOpenAtReport = -1;
        connect(&rig.transfer, &Dialogue::finished, this, [&] {
            portOpenAtReport = rig.port.isOpen();
            fileOpenAtReport = openDescriptorsFor(path);
        });
        QVERIFY(rig.begin(path));
        for (const QByteArray &r : replies)
            QVERIFY(rig.port.arrive(r));
        QCOMPARE(rig.ends.size(), 1);
        QCOMPARE(rig.ends[0].kind, kind);
        QCOMPARE(rig.ends[0].reason, Outcome::Reason::None);
        QCOMPARE(rig.ends[0].reply, reply);
        QCOMPARE(rig.ends[0].count, count);
        QCOMPARE(rig.ends[0].direction, Outcome::Direction::Download);
        QCOMPARE(portOpenAtReport, held);
        QCOMPARE(fileOpenAtReport, held ? 1 : 0);
        QCOMPARE(rig.transfer.underWay(), held);
        QCOMPARE(rig.transfer.halted(), held);
        QCOMPARE(rig.port.writes.back(), QByteArray(held ? (replies.size() > 1 ? "L1\r" : "DOWN\r") : "OVER\r"));
    }
};

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
