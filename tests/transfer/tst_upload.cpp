// The Upload window against the simulated terminal over a real pseudo-terminal.
#include "link/QtSerialPort.h"
#include "support/WindowRig.h"
#include "support/WindowTexts.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <chrono>

#include <sys/mount.h>
#include <sys/stat.h>

#include <csignal>
#include <sys/resource.h>

using simterm::SimTerminal;

namespace {

using Rig = WindowRig<Upload>;

// fdatasync as this test's code sees it (linked with --wrap=fdatasync): when,
// and how large the file was.
struct SyncEntry
{
    qint64 micros;
    qint64 size;
};
std::vector<SyncEntry> &syncLog()
{
    static std::vector<SyncEntry> log;
    return log;
}
qint64 nowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

extern "C" int __real_fdatasync(int fd);
extern "C" int __wrap_fdatasync(int fd)
{
    const int rc = __real_fdatasync(fd);
    struct stat st{};
    ::fstat(fd, &st);
    syncLog().push_back({nowMicros(), qint64(st.st_size)});
    return rc;
}

class TestUpload : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        std::signal(SIGXFSZ, SIG_IGN);
    }

    void exampleDialogue()
    {
        Rig rig({"A1", "B2"});
        QVERIFY2(rig.term.isOk(), qPrintable(rig.term.errorString()));
        const QString path = rig.file(QStringLiteral("records.txt"));
        rig.start(path);
        QTRY_VERIFY(rig.term.uploadDone());

        QCOMPARE(rig.term.receivedBytes(), QByteArray("READ\rREMOVE\rREAD\rREMOVE\rREAD\rDONE\r"));
        QCOMPARE(readAll(path), QByteArray("A1\r\nB2\r\n"));
        QCOMPARE(rig.label2(), QStringLiteral("2"));
        QCOMPARE(rig.text1(), QStringLiteral("B2"));
        QCOMPARE(rig.box->shown.size(), 1);
        QCOMPARE(rig.box->shown[0].text, WindowTexts::recordsReceived(2));
        QCOMPARE(rig.box->shown[0].title, WindowTexts::CompletedTitle);
        QCOMPARE(rig.box->shown[0].icon, MessageBox::Icon::None);
        QVERIFY(!rig.port->isOpen());
        QVERIFY(!rig.transfer().underWay());
        QCOMPARE(openDescriptorsFor(path), 0);
        QVERIFY(rig.term.remainingRecords().empty());
        QCOMPARE(rig.dialog->shown[0].title, WindowTexts::SaveFiles);
        QCOMPARE(rig.dialog->shown[0].filter, QStringLiteral("*.txt"));
        QCOMPARE(rig.dialog->shown[0].action, FileDialog::ShowSave);
    }

    void recordsAreByteExact()
    {
        QByteArray every;
        for (int b = 0; b < 256; ++b)
            if (b != '\r')
                every.append(char(b));
        const QList<QByteArray> records{every, QByteArray(1, '\0'), "line\nfeed", "\xE9t\xE9", "x"};
        Rig rig(std::vector<QByteArray>(records.begin(), records.end()));
        const QString path = rig.file(QStringLiteral("bytes.txt"));
        rig.start(path);
        QTRY_VERIFY(rig.term.uploadDone());
        QCOMPARE(readAll(path), recordLines(records));
        QCOMPARE(rig.box->shown.last().text, WindowTexts::recordsReceived(5));
        QCOMPARE(rig.text1(), QStringLiteral("x")); // the last record, shown before the box
    }

    // Text1 shows a record in the system's code page (UTF-8 here); bytes that
    // do not decode still show, as Latin-1. The file keeps the bytes.
    void recordsShowAsTyped_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("shown");
        QTest::newRow("UTF-8") << QByteArray("Gr\xC3\xB6\xC3\x9F" "e") << QStringLiteral("Gr\u00F6\u00DFe");
        QTest::newRow("not UTF-8") << QByteArray("\xE9t\xE9") << QStringLiteral("\u00E9t\u00E9");
    }
    void recordsShowAsTyped()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, shown);
        Rig rig({record});
        const QString path = rig.file(QStringLiteral("shown.txt"));
        rig.start(path);
        QTRY_VERIFY(rig.term.uploadDone());
        QCOMPARE(rig.text1(), shown);
        QCOMPARE(readAll(path), record + "\r\n");
    }

    // Each record is on disk (synced) before the "REMOVE" that lets the
    // terminal delete it: every REMOVE the terminal read was preceded by a
    // sync that covered its record.
    void everyRecordIsSyncedBeforeItsRemove()
    {
        const QList<QByteArray> records{"A1", "B22", "C333", "D4444"};
        Rig rig(std::vector<QByteArray>(records.begin(), records.end()));
        const qint64 epoch = nowMicros() - rig.term.elapsedMicros();
        const QString path = rig.file(QStringLiteral("synced.txt"));
        syncLog().clear();
        rig.start(path);
        QTRY_VERIFY(rig.term.uploadDone());
        qint64 end = 0;
        int k = 0;
        for (const simterm::MessageTiming &m : rig.term.messageTimings()) {
            if (m.text != "REMOVE")
                continue;
            end += records[k++].size() + 2;
            const qint64 removeAt = epoch + m.firstByteMicros;
            const bool covered = std::any_of(syncLog().begin(), syncLog().end(), [&](const SyncEntry &e) {
                return e.size >= end && e.micros <= removeAt;
            });
            QVERIFY2(covered, qPrintable(QStringLiteral("REMOVE %1 before its record was synced").arg(k)));
        }
        QCOMPARE(k, records.size());
    }

    // Yes to the replace question, then a port that will not open: the old
    // file is untouched. Once the transfer runs, the old file is NAME.bak.
    void replacingKeepsTheOldRecords()
    {
        Rig rig({"N1"});
        const QString path = rig.file(QStringLiteral("records.txt"));
        writeAll(path, "O1\r\nO2\r\n");
        const QString device = rig.term.slavePath();
        wireComPort(1, QStringLiteral("/dev/quillan-test-no-such-port"));
        rig.box->answerNext(MessageBox::Answer::Yes);
        rig.start(path);
        QCOMPARE(rig.box->shown.size(), 2); // the question, then the port's message
        QCOMPARE(readAll(path), QByteArray("O1\r\nO2\r\n"));
        QVERIFY(!QFileInfo::exists(RecordFile::backupPath(path)));

        wireComPort(1, device);
        rig.box->answerNext(MessageBox::Answer::Yes);
        rig.start(path);
        QTRY_VERIFY(rig.term.uploadDone());
        QCOMPARE(readAll(path), QByteArray("N1\r\n"));
        QCOMPARE(readAll(RecordFile::backupPath(path)), QByteArray("O1\r\nO2\r\n"));
    }

    void emptyUploadLeavesEmptyFile()
    {
        Rig rig;
        const QString path = rig.file(QStringLiteral("none.txt"));
        rig.start(path);
        QTRY_VERIFY(rig.term.uploadDone());
        QCOMPARE(rig.term.receivedBytes(), QByteArray("READ\rDONE\r"));
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(QFileInfo(path).size(), 0);
        QCOMPARE(rig.label2(), QStringLiteral("0"));
        QCOMPARE(rig.box->shown.size(), 1);
        QCOMPARE(rig.box->shown[0].text, WindowTexts::NoData);
        QCOMPARE(rig.box->shown[0].title, WindowTexts::CompletedTitle);
        QCOMPARE(rig.box->shown[0].icon, MessageBox::Icon::Information);
    }

    void fileNameGetsTxtOnlyWithoutAnyDot_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("written");
        QTest::newRow("bare name") << "records" << "records.txt";
        QTest::newRow("other extension") << "records.csv" << "records.csv";
        QTest::newRow("trailing dot") << "records." << "records.";
        QTest::newRow("dot in folder only") << "old.data/records" << "old.data/records";
    }
    void fileNameGetsTxtOnlyWithoutAnyDot()
    {
        QFETCH(QString, typed);
        QFETCH(QString, written);
        Rig rig({"R"});
        // The temporary folder's own name must not hold a dot for this to mean anything.
        const QString base = QDir::tempPath() + QStringLiteral("/quillan-names-") + QString::number(QCoreApplication::applicationPid());
        QVERIFY(!base.contains(QLatin1Char('.')));
        QDir().mkpath(base + QStringLiteral("/old.data"));
        const QString path = base + QLatin1Char('/') + typed;
        rig.start(path);
        QTRY_VERIFY(rig.term.uploadDone());
        const QString expected = base + QLatin1Char('/') + written;
        QCOMPARE(rig.dialog->fileName(), expected);
        QCOMPARE(readAll(expected), QByteArray("R\r\n"));
        QDir(base).removeRecursively();
    }

    void replaceQuestion_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::newRow("No keeps the file") << false;
        QTest::newRow("Yes, and no record comes: the old file stays") << true;
    }
    void replaceQuestion()
    {
        QFETCH(bool, replace);
        Rig rig; // holds no records: its first reply is OVER
        const QString existing = rig.file(QStringLiteral("records.txt"));
        writeAll(existing, "old\r\n");
        rig.control<QLineEdit>("Text1")->setText(QStringLiteral("before"));
        rig.box->answerNext(replace ? MessageBox::Answer::Yes : MessageBox::Answer::No);
        rig.start(rig.file(QStringLiteral("records"))); // asked for records.txt

        QVERIFY(!rig.box->shown.isEmpty());
        const auto &q = rig.box->shown[0];
        QCOMPARE(q.text, WindowTexts::ReplaceQuestion);
        QCOMPARE(q.title, WindowTexts::ReplaceTitle);
        QCOMPARE(q.buttons, MessageBox::Buttons::YesNo);
        QCOMPARE(q.icon, MessageBox::Icon::Information);
        if (!replace) {
            QCOMPARE(readAll(existing), QByteArray("old\r\n"));
            QVERIFY(!rig.port->isOpen());
            QCOMPARE(rig.text1(), QStringLiteral("before"));
            QCOMPARE(rig.box->shown.size(), 1);
            QVERIFY(rig.term.receivedBytes().isEmpty());
        } else {
            // A run that saves nothing pushes no record out of the old file.
            QTRY_VERIFY(rig.term.uploadDone());
            QCOMPARE(rig.box->shown.last().text, WindowTexts::NoData);
            QCOMPARE(readAll(existing), QByteArray("old\r\n"));
            QCOMPARE(QDir(rig.dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("records.txt")});
        }
    }

    void cancelledDialogChangesNothing()
    {
        Rig rig;
        rig.control<QLineEdit>("Text1")->setText(QStringLiteral("last"));
        rig.control<QLabel>("Label2")->setText(QStringLiteral("7"));
        rig.dialog->cancelNext();
        rig.window->Command1_Click();
        QVERIFY(!rig.port->isOpen());
        QCOMPARE(recordCount(*rig.window), 0);
        QCOMPARE(rig.text1(), QStringLiteral("last"));
        QCOMPARE(rig.label2(), QStringLiteral("7"));
        QVERIFY(rig.box->shown.isEmpty());
        QCOMPARE(QDir(rig.dir.path()).entryList(QDir::Files).size(), 0);
    }

    // The terminal's replies as they come off the line, and what the PC makes
    // of them. A reply is a record only as the answer to "READ"; one that
    // holds a CR (several messages read together), or anything but "NEXT",
    // "OVER" or "NAK" after "REMOVE", is neither saved nor answered.
    void repliesAsTheyArrive_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");   // each fully read before the next is sent
        QTest::addColumn<QByteArray>("fileBytes");
        QTest::addColumn<QByteArray>("pcSent");         // after the first READ
        QTest::addColumn<QString>("box");               // the one box shown
        const QString refused = QStringLiteral("it was not saved and not answered");
        QTest::newRow("OVER split over two reads")
            << QList<QByteArray>{"OV", "ER\r"} << QByteArray() << QByteArray("DONE\r") << WindowTexts::NoData;
        QTest::newRow("the PC's READ echoed") << QList<QByteArray>{"READ\r"} << QByteArray() << QByteArray()
                                              << R"(sent back what the PC had just sent ("READ"): echo)";
        QTest::newRow("READ echoed with its CR turned into LF, glued to the record")
            << QList<QByteArray>{"READ\nREC-0001;Widget;12\r"} << QByteArray() << QByteArray() << "loopback plug";
        QTest::newRow("READ echoed, then the record, in one read")
            << QList<QByteArray>{"READ\rREC-0001\r"} << QByteArray() << QByteArray() << "sent back what the PC";
        QTest::newRow("REMOVE echoed") << QList<QByteArray>{"R1\r", "REMOVE\r"} << QByteArray("R1\r\n")
                                       << QByteArray("REMOVE\r") << R"(("REMOVE"))";
        QTest::newRow("NEXT answers only REMOVE")
            << QList<QByteArray>{"NEXT\r"} << QByteArray() << QByteArray() << R"(answered "READ" with "NEXT".)";
        QTest::newRow("other case and a blank make records")
            << QList<QByteArray>{"next\r", "NEXT\r", "Over\r", "NEXT\r", "NAK \r", "NEXT\r", "OVER\r"}
            << QByteArray("next\r\nOver\r\nNAK \r\n") << QByteArray("REMOVE\rREAD\rREMOVE\rREAD\rREMOVE\rREAD\rDONE\r")
            << WindowTexts::recordsReceived(3);
        QTest::newRow("two messages in one read are neither saved nor answered")
            << QList<QByteArray>{"NEXT\rNEXT\r"} << QByteArray() << QByteArray()
            << R"(The terminal answered "READ" with "NEXT\rNEXT".)";
        QTest::newRow("a record doubled in one read")
            << QList<QByteArray>{"R1\rR1\r"} << QByteArray() << QByteArray() << refused;
        QTest::newRow("LF last leaves the reply open, and the next one holds a CR")
            << QList<QByteArray>{"A1\r\n", "B\r"} << QByteArray() << QByteArray()
            << R"("A1\r\nB")";
        QTest::newRow("a corrupted NEXT after REMOVE")
            << QList<QByteArray>{"R1\r", "NEXU\r"} << QByteArray("R1\r\n") << QByteArray("REMOVE\r")
            << R"(The terminal answered "REMOVE" with "NEXU".)";
        QTest::newRow("a record after REMOVE")
            << QList<QByteArray>{"R1\r", "R2\r"} << QByteArray("R1\r\n") << QByteArray("REMOVE\r") << refused;
        QTest::newRow("a long reply is cut for the box")
            << QList<QByteArray>{"R1\r", QByteArray(300, 'x') + "\x01\r"} << QByteArray("R1\r\n")
            << QByteArray("REMOVE\r") << QStringLiteral("(301 bytes)");
        QTest::newRow("NEXT asks again")
            << QList<QByteArray>{"R\r", "NEXT\r", "OVER\r"} << QByteArray("R\r\n")
            << QByteArray("REMOVE\rREAD\rDONE\r") << WindowTexts::recordsReceived(1);
        // A CR alone followed by quiet is the terminal's empty record.
        QTest::newRow("an empty record, then another record")
            << QList<QByteArray>{"\r", "NEXT\r", "R\r", "NEXT\r", "OVER\r"} << QByteArray("\r\nR\r\n")
            << QByteArray("REMOVE\rREAD\rREMOVE\rREAD\rDONE\r") << WindowTexts::recordsReceived(2);
    }
    void repliesAsTheyArrive()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QByteArray, fileBytes);
        QFETCH(QByteArray, pcSent);
        QFETCH(QString, box);
        Rig rig({}, manualTerminal());
        const QString path = rig.file(QStringLiteral("out.txt"));
        QVERIFY(rig.startAwaited(path));
        for (const QByteArray &piece : pieces)
            QVERIFY(rig.deliver(piece));
        QTest::qWait(20); // an answer that should not come would come now
        QCOMPARE(rig.term.receivedBytes(), QByteArray("READ\r") + pcSent);
        QCOMPARE(readAll(path), fileBytes);
        QCOMPARE(rig.box->shown.size(), 1);
        QVERIFY2(rig.box->shown[0].text.contains(box), qPrintable(rig.box->shown[0].text));
        if (box.endsWith(QLatin1String("!!")))
            return;
        // Stopped as on "NAK": the port stays open, the file keeps every record so far.
        QCOMPARE(rig.box->shown[0].title, QString());
        QVERIFY(rig.port->isOpen());
        QVERIFY(rig.transfer().halted() && rig.transfer().underWay());
        QVERIFY(rig.box->shown[0].text.size() < 400);
    }

    // A terminal that misbehaves on its own: whatever it sends, "REMOVE" only
    // ever follows a "READ" whose record is on disk, and no message goes out
    // without a complete reply before it.
    void misbehavingTerminalLosesNoRecord_data()
    {
        QTest::addColumn<bool>("doubled");
        QTest::addColumn<int>("corruptAt");
        QTest::addColumn<int>("saved");
        QTest::newRow("every reply twice in one write") << true << 0 << 0;
        QTest::newRow("NEXT after the second record corrupted") << false << 4 << 2;
        QTest::newRow("NEXT after the first record corrupted") << false << 2 << 1;
    }
    void misbehavingTerminalLosesNoRecord()
    {
        QFETCH(bool, doubled);
        QFETCH(int, corruptAt);
        QFETCH(int, saved);
        simterm::Options o;
        o.doubleReplies = doubled;
        o.corruptAtReply = corruptAt;
        const QList<QByteArray> records{"R1", "R2", "R3"};
        Rig rig(std::vector<QByteArray>(records.begin(), records.end()), o);
        const QString path = rig.file(QStringLiteral("odd.txt"));
        rig.start(path);
        QTRY_VERIFY(!rig.box->shown.isEmpty());
        QTest::qWait(50); // a loop of fake records would show now
        QCOMPARE(rig.box->shown.size(), 1);
        QVERIFY2(rig.box->shown[0].text.contains(QLatin1String("not saved and not answered")),
                 qPrintable(rig.box->shown[0].text));
        const auto sent = rig.term.receivedMessages();
        for (size_t i = 0; i < sent.size(); ++i) {
            if (sent[i] == "REMOVE")
                QVERIFY2(i > 0 && sent[i - 1] == "READ", "REMOVE without a READ before it");
        }
        // "READ" first, then one message for each reply but the refused one.
        QCOMPARE(int(sent.size()), rig.term.repliesSent());
        const auto file = simterm::parseRecordFile(readAll(path));
        QCOMPARE(int(file.size()), saved);
        QCOMPARE(int(std::count(sent.begin(), sent.end(), QByteArray("REMOVE"))), saved);
        // The terminal let go of exactly the records on disk.
        QCOMPARE(int(records.size() - rig.term.remainingRecords().size()), saved);
        for (int i = 0; i < saved; ++i)
            QCOMPARE(file[i].size(), records[i].size());
    }

    void nakShowsErrorAndTheNextReplyStandsAlone()
    {
        Rig rig({}, manualTerminal());
        const QString path = rig.file(QStringLiteral("nak.txt"));
        QVERIFY(rig.startAwaited(path));
        rig.term.sendRaw("NAK\r");
        QTRY_COMPARE(rig.box->shown.size(), 1);
        QCOMPARE(rig.box->shown[0].text, WindowTexts::UploadRefused);
        QCOMPARE(rig.box->shown[0].title, QString());
        QCOMPARE(rig.box->shown[0].icon, MessageBox::Icon::None);
        QVERIFY(rxBuffer(*rig.window).isEmpty());
        QVERIFY(rig.port->isOpen());
        rig.term.sendRaw("R1\r");
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("READ\rREMOVE\r"));
        QCOMPARE(readAll(path), QByteArray("R1\r\n"));
    }

    void notificationsWaitWhileABoxIsOpen()
    {
        Rig rig({}, manualTerminal());
        const QString path = rig.file(QStringLiteral("held.txt"));
        QVERIFY(rig.startAwaited(path));
        bool sawBytesWhileOpen = false;
        QByteArray sentWhileOpen;
        rig.box->onShow = [&](const MessageBox::Request &r) {
            if (r.text != WindowTexts::UploadRefused)
                return;
            // What a modal box's event loop would let through.
            rig.term.sendRaw("R1\r");
            sawBytesWhileOpen = QTest::qWaitFor([&] { return rig.port->bytesAvailable() > 0; }, 5000);
            QTest::qWait(20);
            sentWhileOpen = rig.term.receivedBytes();
        };
        rig.term.sendRaw("NAK\r");
        QTRY_VERIFY(sawBytesWhileOpen);
        QCOMPARE(sentWhileOpen, QByteArray("READ\r"));  // not handled inside the box
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("READ\rREMOVE\r"));
        QCOMPARE(readAll(path), QByteArray("R1\r\n"));
        QTRY_COMPARE(rig.text1(), QStringLiteral("R1")); // the display follows within a refresh
        QCOMPARE(rig.box->mostOpenAtOnce, 1);
    }

    // A record that cannot be written whole is not removed from the terminal,
    // and the file keeps whole records only: a new file at its size limit,
    // and a replacing one on a full disk, which says so in the system's words.
    void failedWriteSendsNoRemove_data()
    {
        QTest::addColumn<bool>("fullDisk");
        QTest::newRow("file size limit, new file") << false;
        QTest::newRow("full disk, replacing a file") << true;
    }
    void failedWriteSendsNoRemove()
    {
        QFETCH(bool, fullDisk);
        // Two lines fit under the size limit; on a disk of two pages, one
        // taken by the old file, four 1002-byte lines fit and the fifth half.
        const int size = fullDisk ? 1000 : 40, fit = fullDisk ? 4 : 2;
        QList<QByteArray> records;
        for (int i = 0; i < 6; ++i)
            records.append(QByteArray(size, char('a' + i)));
        Rig rig(std::vector<QByteArray>(records.begin(), records.end()));
        QString path = rig.file(QStringLiteral("limited.txt"));
        QTemporaryDir disk;
        if (fullDisk) {
            if (::mount("tmpfs", QFile::encodeName(disk.path()).constData(), "tmpfs", 0, "size=8k,mode=0700") != 0)
                QSKIP("a small tmpfs cannot be mounted here (needs root)");
            path = disk.filePath(QStringLiteral("limited.txt"));
            writeAll(path, "OLD\r\n");
            rig.box->answerNext(MessageBox::Answer::Yes);
        }
        auto unmount = qScopeGuard([&] {
            if (fullDisk)
                ::umount2(QFile::encodeName(disk.path()).constData(), MNT_DETACH);
        });
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        if (!fullDisk)
            small.rlim_cur = 100; // room for two 42-byte lines, not three
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        rig.start(path);
        const bool stopped = QTest::qWaitFor([&] { return rig.box->shown.size() == (fullDisk ? 2 : 1); }, 10000);
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(stopped);
        const QString text = rig.box->shown.last().text;

        QCOMPARE(rig.sent("REMOVE"), fit);
        QCOMPARE(readAll(path), recordLines(records.mid(0, fit)));
        QCOMPARE(rig.term.remainingRecords().size(), size_t(records.size() - fit));
        QVERIFY(text.contains(path));
        QVERIFY(text.contains(QLatin1String("could not be saved")));
        QVERIFY(!rig.port->isOpen());
        QVERIFY(!rig.transfer().underWay());
        if (fullDisk) {
            QVERIFY2(text.contains(QLatin1String("No space left on device")), qPrintable(text));
            QCOMPARE(readAll(RecordFile::backupPath(path)), QByteArray("OLD\r\n"));
            QCOMPARE(QDir(disk.path()).entryList(QDir::Files).size(), 2); // no temporary left
        }
    }

    void countsPastSixteenBits()
    {
        const int n = 32770;
        std::vector<QByteArray> records(n, QByteArray("x"));
        Rig rig(records);
        // Memory-backed when available: this is about counting, not disks.
        QTemporaryDir shm(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/quillan-XXXXXX")
                                                                     : QString());
        const QString path = shm.filePath(QStringLiteral("many.txt"));
        rig.start(path);
        QVERIFY(spinUntil([&] { return rig.term.uploadDone(); }, 240000));
        QCOMPARE(rig.box->shown.last().text, WindowTexts::recordsReceived(32770));
        QCOMPARE(rig.label2(), QStringLiteral("32770"));
        const auto *label2 = rig.control<QLabel>("Label2");
        QVERIFY(label2->width() >= label2->sizeHint().width()); // every digit shows
        QCOMPARE(QFileInfo(path).size(), qint64(n) * 3);
    }

    void bytesFromBeforeTheOpenAreDropped()
    {
        Rig rig({}, manualTerminal());
        rig.term.sendRaw("stale bytes"); // the terminal said something while nobody listened
        const QString path = rig.file(QStringLiteral("fresh.txt"));
        QVERIFY(rig.startAwaited(path));
        rig.term.sendRaw("R1\r");
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("READ\rREMOVE\r"));
        QCOMPARE(readAll(path), QByteArray("R1\r\n"));
    }

    void startIsNotInterruptedByTheLine()
    {
        Rig rig({}, manualTerminal());
        const QString first = rig.file(QStringLiteral("first.txt"));
        const QString second = rig.file(QStringLiteral("second.txt"));
        QVERIFY(rig.startAwaited(first));
        rig.term.sendRaw("NAK\r"); // the port stays open
        QTRY_COMPARE(rig.box->shown.size(), 1);
        writeAll(second, "old\r\n");
        QByteArray sentWhileAsking;
        bool arrivedWhileAsking = false;
        rig.box->onShow = [&](const MessageBox::Request &r) {
            if (r.buttons != MessageBox::Buttons::YesNo)
                return;
            rig.term.sendRaw("R9\r");
            arrivedWhileAsking = QTest::qWaitFor([&] { return rig.port->bytesAvailable() > 0; }, 5000);
            sentWhileAsking = rig.term.receivedBytes();
        };
        rig.box->answerNext(MessageBox::Answer::Yes);
        rig.start(second);
        QVERIFY(arrivedWhileAsking);
        QCOMPARE(sentWhileAsking, QByteArray("READ\r")); // nothing handled inside Start
        QTRY_COMPARE(rig.term.receivedBytes(), QByteArray("READ\rREAD\rREMOVE\r"));
        QCOMPARE(readAll(first), QByteArray());
        QCOMPARE(readAll(second), QByteArray("R9\r\n"));
    }

    // The dialogue alone over a pseudo-terminal: no window, the outcome typed.
    void coreOverAPty()
    {
        SimTerminal term({"A1", "B22"});
        QVERIFY2(term.isOk(), qPrintable(term.errorString()));
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("records.txt"));
        QtSerialPort port;
        Transfer transfer(Outcome::Direction::Upload, Transfer::Policy::Window, port, nullptr);
        QList<Outcome> ends;
        connect(&transfer, &Transfer::finished, this, [&](const Outcome &o) { ends.append(o); });
        QVERIFY(transfer.begin(path, PortTarget{0, term.slavePath()}, RecordFile::Mode::Create));
        QTRY_COMPARE(ends.size(), 1);
        QCOMPARE(ends[0].kind, Outcome::Kind::Completed);
        QCOMPARE(ends[0].count, qint64(2));
        QCOMPARE(ends[0].bytes, qint64(5));
        QCOMPARE(ends[0].port.device, term.slavePath());
        QVERIFY(!port.isOpen());
        QCOMPARE(readAll(path), QByteArray("A1\r\nB22\r\n"));
        QTRY_VERIFY(term.uploadDone());
        QCOMPARE(term.receivedBytes(), QByteArray("READ\rREMOVE\rREAD\rREMOVE\rREAD\rDONE\r"));
    }
};

QTEST_MAIN(TestUpload)
#include "tst_upload.moc"
