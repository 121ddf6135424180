// What both transfer windows, and the two dialogues under them, do alike:
// each test runs with Upload and with DownLoad.
#include "support/MemoryRig.h"
#include "support/WindowRig.h"
#include "support/WindowTexts.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

namespace {

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

class TestWindows : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Five ticks without a byte are "Timed Out !!" in one box, and a late
    // reply is handled as if it had come in time.
    void timeoutAtTheFifthTickThenLateReply_data() { bothWindows(); }
    void timeoutAtTheFifthTickThenLateReply()
    {
        withRowWindow([]<typename W>() {
            WindowRig<W> rig({}, manualTerminal());
            const Words x = words(rig.IsUpload);
            QVERIFY(rig.startAwaited(rig.startFile(QStringLiteral("in.txt"), "L1\r\n")));
            for (int i = 0; i < 4; ++i)
                rig.timer->fire();
            QVERIFY(rig.box->shown.isEmpty());
            QCOMPARE(timeoutTicks(*rig.window), 4);
            rig.timer->fire();
            QCOMPARE(rig.box->texts(), QStringList{WindowTexts::TimedOut});
            QCOMPARE(rig.box->shown[0].title, rig.IsUpload ? WindowTexts::UploadTitle : WindowTexts::DownloadTitle);
            QVERIFY(!rig.timer->isActive());
            QCOMPARE(timeoutTicks(*rig.window), 0);
            QVERIFY(rig.port->isOpen()); // a time-out does not end the transfer

            rig.term.sendRaw(x.reply);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.firstAnswer);
            QVERIFY(rig.timer->isActive());
            // The display follows within a refresh.
            QTRY_COMPARE(rig.text1(), rig.IsUpload ? QStringLiteral("R1") : QStringLiteral("L1"));
        });
    }

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
            QVERIFY(rig.startAwaited(first));
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
            QVERIFY(rig.startAwaited(first));
            rig.term.sendRaw(x.reply);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.firstAnswer);
            rig.term.sendRaw("NAK\r");
            QTRY_COMPARE(rig.box->shown.size(), 1);

            rig.start(second);
            QCOMPARE(openDescriptorsFor(first), 0);
            const QByteArray before = x.start + x.firstAnswer + x.start; // over the open port
            QTRY_COMPARE(rig.term.receivedBytes(), before);
            QVERIFY(rxBuffer(*rig.window).isEmpty());
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
            QVERIFY(rig.startAwaited(path));
            rig.term.sendRaw(x.reply);
            QTRY_COMPARE(rig.term.receivedBytes(), x.start + x.firstAnswer);
            QVERIFY(rig.window->close());
            if (!rig.IsUpload) {
                // The line that went out is answered first: no late "ACK" for the port's next transfer.
                QVERIFY(rig.port->isOpen());
                rig.term.sendRaw("ACK\r");
                QTRY_VERIFY(!rig.port->isOpen());
            }
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
        QCOMPARE(rig.box->texts(), QStringList{WindowTexts::recordsReceived(3)});
    }

    // The dialogue alone, over the in-memory port: how it ends, typed, and
    // reported only once the port and the file are given back (a refusal
    // keeps them, as designed).
    void coreEndsTyped_data()
    {
        QTest::addColumn<Outcome::Direction>("direction");
        QTest::addColumn<QByteArrayList>("replies");
        QTest::addColumn<Outcome::Kind>("kind");
        QTest::addColumn<Outcome::Reason>("reason");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("asked");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<bool>("held");
        QTest::addColumn<QByteArray>("lastSent");
        const auto up = Outcome::Direction::Upload, down = Outcome::Direction::Download;
        QTest::newRow("upload: over") << up << QByteArrayList{"R1\r", "NEXT\r", "OVER\r"} << Outcome::Kind::Completed
                                      << Outcome::Reason::None << QByteArray() << QByteArray() << qint64(1) << false
                                      << QByteArray("DONE\r");
        QTest::newRow("upload: NAK to READ") << up << QByteArrayList{"NAK\r"} << Outcome::Kind::Refused
                                             << Outcome::Reason::None << QByteArray("NAK") << QByteArray("READ")
                                             << qint64(0) << true << QByteArray("READ\r");
        QTest::newRow("upload: record to REMOVE") << up << QByteArrayList{"R1\r", "R2\r"} << Outcome::Kind::Refused
                                                  << Outcome::Reason::UnexpectedReply << QByteArray("R2")
                                                  << QByteArray("REMOVE") << qint64(1) << true << QByteArray("REMOVE\r");
        QTest::newRow("download: over") << down << QByteArrayList{"ACK\r", "ACK\r"} << Outcome::Kind::Completed
                                        << Outcome::Reason::None << QByteArray() << QByteArray() << qint64(1) << false
                                        << QByteArray("OVER\r");
        // A line is no command word: nothing was asked.
        QTest::newRow("download: NAK") << down << QByteArrayList{"ACK\r", "NAK\r"} << Outcome::Kind::Refused
                                       << Outcome::Reason::None << QByteArray("NAK") << QByteArray() << qint64(0)
                                       << true << QByteArray("L1\r");
        QTest::newRow("download: unknown") << down << QByteArrayList{"XYZ\r"} << Outcome::Kind::Refused
                                           << Outcome::Reason::None << QByteArray("XYZ") << QByteArray("DOWN")
                                           << qint64(0) << true << QByteArray("DOWN\r");
    }
    void coreEndsTyped()
    {
        QFETCH(Outcome::Direction, direction);
        if (direction == Outcome::Direction::Upload)
            coreEnds<Outcome::Direction::Upload>();
        else
            coreEnds<Outcome::Direction::Download>();
    }

private:
    template <Outcome::Direction Direction> void coreEnds()
    {
        QFETCH(Outcome::Direction, direction);
        QFETCH(QByteArrayList, replies);
        QFETCH(Outcome::Kind, kind);
        QFETCH(Outcome::Reason, reason);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, asked);
        QFETCH(qint64, count);
        QFETCH(bool, held);
        QFETCH(QByteArray, lastSent);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("records.txt"));
        MemoryRig<Direction> rig;
        bool portOpenAtReport = false;
        int fileOpenAtReport = -1;
        connect(&rig.transfer, &Transfer::finished, this, [&] {
            portOpenAtReport = rig.port.isOpen();
            fileOpenAtReport = openDescriptorsFor(path);
        });
        if constexpr (rig.IsUpload) {
            QVERIFY(rig.begin(path, RecordFile::Mode::Create));
        } else {
            writeAll(path, "L1\r\n");
            QVERIFY(rig.begin(path));
        }
        QVERIFY((rig.transfer.underWay() && !rig.transfer.halted()));
        for (const QByteArray &r : replies)
            QVERIFY(rig.port.arrive(r));
        QCOMPARE(rig.ends.size(), 1);
        const Outcome &end = rig.ends[0];
        QCOMPARE(end.direction, direction);
        QCOMPARE(end.kind, kind);
        QCOMPARE(end.reason, reason);
        QCOMPARE(end.reply, reply);
        QCOMPARE(end.asked, asked);
        QCOMPARE(end.count, count);
        QCOMPARE(end.path, path);
        QCOMPARE(portOpenAtReport, held);
        QCOMPARE(fileOpenAtReport, held ? 1 : 0);
        QCOMPARE(rig.transfer.underWay(), held);
        QCOMPARE(rig.transfer.halted(), held);
        QCOMPARE(rig.port.writes.back(), lastSent);
    }
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
