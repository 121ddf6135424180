// The DownLoad window against the simulated terminal over a real
// pseudo-terminal, and its dialogue alone over the in-memory port.
#include "support/MemoryRig.h"
#include "support/WindowRig.h"
#include "support/WindowTexts.h"
#include "wording/Messages.h"

#include <QTest>

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
        QCOMPARE(timeoutTicks(*rig.window), 0);
        QTRY_VERIFY(rig.term.downloadDone());
        QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\rA1\rB2\rOVER\r"));
        QCOMPARE(rig.term.downloadedLines(), (std::vector<QByteArray>{"A1", "B2"}));
        QCOMPARE(rig.text1(), WindowTexts::Over);
        QCOMPARE(rig.window->findChild<QLabel *>(QStringLiteral("Label2"))->text(), QStringLiteral("0"));
        QVERIFY(!rig.port->isOpen());
        QVERIFY(!rig.transfer().underWay());
        QVERIFY(!rig.timer->isActive());
        QCOMPARE(openDescriptorsFor(path), 0);
        QVERIFY(rig.box->shown.isEmpty());
        QCOMPARE(rig.dialog->shown[0].title, WindowTexts::OpenDownloadFile);
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
        QCOMPARE(rig.text1(), WindowTexts::Over);
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
                                               << QStringList{WindowTexts::UnknownCommand} << QByteArray("ack");
        QTest::newRow("blank after ACK is unknown") << QList<QByteArray>{"ACK \r"} << QByteArray()
                                                    << QStringList{WindowTexts::UnknownCommand} << QByteArray("ACK ");
        QTest::newRow("two ACKs in one read are unknown") << QList<QByteArray>{"ACK\rACK\r"} << QByteArray()
                                                          << QStringList{WindowTexts::UnknownCommand} << QByteArray("ACK\rACK");
        QTest::newRow("NAK then more replies")
            << QList<QByteArray>{"NAK\r", "\r", "ACK\r"} << QByteArray()
            << QStringList{WindowTexts::Nak, WindowTexts::Nak, WindowTexts::UnknownCommand} << QByteArray("NAKACK");
        QTest::newRow("empty reply kept, then ACK completes it")
            << QList<QByteArray>{"\r", "ACK\r"} << QByteArray("L1\r") << QStringList{WindowTexts::UnknownCommand}
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
        QVERIFY(rig.startAwaited(rig.input("L1\r\nL2\r\n")));
        for (const QByteArray &piece : pieces) {
            QVERIFY(rig.deliver(piece));
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
        QCOMPARE(::rxBuffer(*rig.window), rxBuffer);
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
        DownloadRig rig;
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
        QCOMPARE(rig.box->shown[0].title, WindowTexts::DownloadTitle);
        QVERIFY(rig.port->bytesToWrite() > 0); // really stuck, not merely slow
        QCOMPARE(recordCount(*rig.window), 0);
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
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("in.txt"));
        writeAll(path, "L1\r\n");
        DownloadRig rig(Transfer::Policy::Command);
        qint64 now = 0;
        rig.transfer.setClock([&] { return now; });
        rig.transfer.setReplyTimeout(5000);
        QVERIFY(rig.begin(path));
        for (int i = 0; i < 20; ++i) { // many early ticks, 4.95 s in all
            now += 4950 / 20;
            rig.timer.start(); // a coarse timer may fire before its time
            rig.timer.fire();
        }
        QVERIFY(rig.ends.isEmpty());
        QVERIFY(rig.port.arrive("AC"));
        now += 4999;
        rig.timer.start();
        rig.timer.fire();
        QVERIFY(rig.ends.isEmpty()); // a byte came 4.999 s ago
        now += 1;
        rig.timer.start();
        rig.timer.fire();
        QCOMPARE(rig.ends.size(), 1);
        QCOMPARE(rig.ends[0].kind, Outcome::Kind::TimedOut);
        QVERIFY(!rig.transfer.underWay()); // the command line's policy: ended, not held
    }

    void partialReplyNeverTimesOut()
    {
        Rig rig({}, manualTerminal());
        QVERIFY(rig.startAwaited(rig.input("L1\r\n")));
        rig.term.sendRaw("AC");
        QTRY_COMPARE(rxBuffer(*rig.window), QByteArray("AC"));
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
            const int before = timeoutTicks(*rig.window);
            QTest::qWait(150); // ticks keep coming while a real box is open
            ticksWhileOpen = timeoutTicks(*rig.window) - before;
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
            const int before = timeoutTicks(*rig.window);
            for (int i = 0; i < 10; ++i)
                rig.timer->fire();
            ticksWhileOpen = timeoutTicks(*rig.window) - before;
        };
        QVERIFY(rig.startAwaited(rig.input("L1\r\n")));
        for (int i = 0; i < 5; ++i)
            rig.timer->fire();
        QCOMPARE(rig.box->texts(), QStringList{WindowTexts::TimedOut});
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
        QVERIFY(rig.startAwaited(rig.input("L1\r\nL2\r\n")));
        for (int i = 0; i < 5; ++i)
            rig.timer->fire();
        QVERIFY(arrived);
        // The box closed, its handler stopped the timer; then the ACK got its line
        // and a running timer of its own.
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("DOWN\rL1\r"));
        QVERIFY(rig.timer->isActive());
        QCOMPARE(timeoutTicks(*rig.window), 0);
    }

    // A port left open (after a refusal) is kept only when it is still the one selected.
    void startOpensTheSelectedPort()
    {
        Rig rig({}, manualTerminal());
        SimTerminal com2({}, manualTerminal());
        wireComPort(2, com2.slavePath());
        QVERIFY(rig.startAwaited(rig.input("L1\r\n")));
        rig.term.sendRaw("NAK\r");
        QTRY_COMPARE(rig.box->shown.size(), 1);
        rig.module.ComPortNumber = 2;
        rig.start(rig.input("L1\r\n"));
        QTRY_COMPARE(com2.receivedBytes(), QByteArray("DOWN\r"));
        QCOMPARE(rig.term.receivedBytes(), QByteArray("DOWN\r"));
        QCOMPARE(rig.port->device(), com2.slavePath());
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
        DownloadRig rig;
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
        writeAll(path, QByteArray(Transfer::ScanSlice * 5 / 2, 'b') + "\r\n");
        DownloadRig rig;
        QVERIFY(rig.begin(path));
        QCOMPARE(rig.transfer.state(), Transfer::State::Preparing);
        rig.transfer.stop();
        QCOMPARE(rig.ends.size(), 1);
        QCOMPARE(rig.ends[0].kind, Outcome::Kind::Stopped);
        QTest::qWait(20);
        QVERIFY(rig.port.writes.empty());
        QVERIFY(rig.begin(path));
        QVERIFY(rig.port.writes.empty());
        QTRY_VERIFY(rig.port.writes == std::vector<QByteArray>{"DOWN\r"});
    }
};

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
