// Soak: the main window drives many uploads and downloads back to back over
// real serial ports (simulated terminals on pseudo-terminals), both transfer
// windows at once, closed and reopened between transfers. Nothing may leak
// (descriptors, memory) and no record may be lost or duplicated.
#include "gui/DownLoad.h"
#include "gui/Main.h"
#include "support/ScriptedParts.h"
#include "tools/SimTerminal.h"
#include "support/TestFiles.h"
#include "support/WindowRig.h"
#include "support/WindowTexts.h"
#include "gui/Upload.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QMap>
#include <QTest>

#include <memory>
#include <vector>

using simterm::SimTerminal;

namespace {

constexpr int WarmUpRounds = 2;
constexpr int Rounds = 20;               // measured rounds, each one upload and one download
constexpr int TransferTimeoutMs = 20000; // bounded: a stuck transfer fails its round
constexpr qint64 MemoryGrowthLimitKiB = 4 * 1024;

// Bytes every record or line should survive: all but CR and LF (which end
// lines in both directions), with the round and the index to make each unique.
QByteArray payload(char kind, int round, int index)
{
    QByteArray b = kind + QByteArray::number(round) + '-' + QByteArray::number(index) + ':';
    const int length = 1 + (round * 37 + index * 11) % 120;
    for (int k = 0; k < length; ++k) {
        const char c = char((round * 7 + index * 13 + k * 29) & 0xff);
        if (c != '\r' && c != '\n')
            b += c;
    }
    return b;
}

std::vector<QByteArray> uploadRecords(int round)
{
    // Every seventh terminal is empty: "NO Data Received !!" ends a transfer too.
    const int count = round % 7 == 3 ? 0 : 1 + (round * 37) % 150;
    std::vector<QByteArray> r;
    for (int i = 0; i < count; ++i)
        r.push_back(payload('U', round, i));
    return r;
}

std::vector<QByteArray> downloadLines(int round)
{
    const int count = 1 + (round * 53) % 150;
    std::vector<QByteArray> r;
    for (int i = 0; i < count; ++i)
        r.push_back(payload('D', round, i));
    return r;
}

// VmRSS and VmHWM of this process, in KiB.
struct Memory
{
    qint64 rss = -1;
    qint64 hwm = -1;
};
Memory memoryNow()
{
    Memory m;
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return m;
    for (const QByteArray &line : status.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() >= 2 && f[0] == "VmRSS:")
            m.rss = f[1].toLongLong();
        else if (f.size() >= 2 && f[0] == "VmHWM:")
            m.hwm = f[1].toLongLong();
    }
    return m;
}

// The offscreen platform cannot raise windows and says so each time one is
// shown; everything else still reaches the log.
QtMessageHandler previousHandler = nullptr;
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message == QLatin1String("This plugin does not support raise()"))
        return;
    previousHandler(type, context, message);
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    Module1 m_module;
    // The scripted parts of each window, in the order the main window asked for them.
    std::vector<TestParts> m_made;
    std::unique_ptr<Main> m_main;
    int m_uploadBoxes = 0;

    void selectCom(int n)
    {
        if (m_module.ComPortNumber != n)
            m_main->cmdCOMPort->click();
        QCOMPARE(m_module.ComPortNumber, qint16(n));
    }

    // One upload on COM1 and, while it runs, one download on COM2; the
    // terminals are gone when this returns.
    void round(int round)
    {
        const QByteArray where = "round " + QByteArray::number(round);
        const std::vector<QByteArray> records = uploadRecords(round);
        const std::vector<QByteArray> lines = downloadLines(round);
        SimTerminal com1(records);
        SimTerminal com2;
        QVERIFY2(com1.isOk(), qPrintable(com1.errorString()));
        QVERIFY2(com2.isOk(), qPrintable(com2.errorString()));
        wireComPort(1, com1.slavePath());
        wireComPort(2, com2.slavePath());

        const QString output = m_dir.filePath(QStringLiteral("up-%1.txt").arg(round));
        const QString input = m_dir.filePath(QStringLiteral("down-%1.txt").arg(round));
        writeAll(input, recordLines(lines));

        selectCom(1);
        m_main->cmdUpload->click();
        Upload *upload = m_main->uploadWindow();
        QVERIFY(upload && upload->isVisible());
        QVERIFY(!m_made.empty() && m_made.size() <= 2); // each window object made once, then reused
        ScriptedFileDialog *upDialog = m_made[0].dialog;
        ScriptedMessageBox *upBox = m_made[0].box;
        upDialog->chooseNext(output);
        upload->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
        QVERIFY2(upload->transfer().underWay(), where);

        selectCom(2);
        m_main->cmdDownload->click();
        DownLoad *download = m_main->downloadWindow();
        QVERIFY(download && download->isVisible());
        QCOMPARE(m_made.size(), size_t(2));
        ScriptedFileDialog *downDialog = m_made[1].dialog;
        ScriptedMessageBox *downBox = m_made[1].box;
        downDialog->chooseNext(input);
        download->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
        QVERIFY2(download->transfer().underWay(), where);
        QVERIFY2(upload->transfer().underWay(), where + ": the upload should still be running alongside"); // no event loop ran since its Start

        const bool ended = spinUntil([&] {
            return com1.uploadDone() && !upload->transfer().underWay() && com2.downloadDone()
                && !download->transfer().underWay();
        }, TransferTimeoutMs);
        QVERIFY2(ended, where + ": transfers did not end; COM1 received \"" + com1.receivedBytes().right(40)
                            + "\", COM2 stored " + QByteArray::number(com2.linesStored()) + " of "
                            + QByteArray::number(qint64(lines.size())) + " lines; boxes: "
                            + (upBox->texts() + downBox->texts()).join(QLatin1String(" | ")).toLocal8Bit());

        // Upload: the file holds exactly the records the terminal gave up.
        QVERIFY2(com1.remainingRecords().empty(), where);
        QCOMPARE(readAll(output), recordLines(records));
        QCOMPARE(openDescriptorsFor(output), 0);
        ++m_uploadBoxes;
        QCOMPARE(upBox->shown.size(), m_uploadBoxes);
        QCOMPARE(upBox->shown.last().text, WindowTexts::uploadCompleted(qint64(records.size())));
        QCOMPARE(upload->findChild<QLabel *>(QStringLiteral("Label2"))->text(), QString::number(records.size()));

        // Download: the terminal stored exactly the file's lines, once each.
        QCOMPARE(com2.downloadedLines(), lines);
        QCOMPARE(download->findChild<QLineEdit *>(QStringLiteral("Text1"))->text(), WindowTexts::Over);
        QCOMPARE(openDescriptorsFor(input), 0);
        QVERIFY2(downBox->shown.isEmpty(), qPrintable(downBox->texts().join(QLatin1String(" | "))));

        QCOMPARE(upDialog->unexpected + downDialog->unexpected, 0);
        QVERIFY(!m_made[0].port->isOpen());
        QVERIFY(!m_made[1].port->isOpen());

        // Mostly closed and reopened between transfers; every third round the
        // windows stay open and the next Start runs in them as they are.
        if (round % 3 != 2) {
            upload->close();
            download->close();
            QVERIFY(!upload->isVisible() && !download->isVisible());
            QCOMPARE(upload->findChild<QLineEdit *>(QStringLiteral("Text1"))->text(), QString());
            QCOMPARE(download->findChild<QLabel *>(QStringLiteral("Label2"))->text(), QStringLiteral("0"));
        }
        QFile::remove(output);
        QFile::remove(input);
    }

private Q_SLOTS:
    void initTestCase()
    {
        previousHandler = qInstallMessageHandler(quietHandler);
        QVERIFY(m_dir.isValid());
        m_main = std::make_unique<Main>(QStringLiteral("DazuzodeRozevidu"), m_module,
                                        keptTestParts(m_made, /*realTimer=*/true));
        m_main->show();
    }

    void transfersBackToBack()
    {
        for (int r = 0; r < WarmUpRounds; ++r) {
            round(r);
            if (QTest::currentTestFailed())
                return;
        }
        const int fdBaseline = openDescriptorCount();
        const Memory memBaseline = memoryNow();
        QVERIFY(memBaseline.rss > 0 && memBaseline.hwm > 0);

        int fdMost = fdBaseline;
        for (int r = WarmUpRounds; r < WarmUpRounds + Rounds; ++r) {
            round(r);
            if (QTest::currentTestFailed())
                return;
            fdMost = qMax(fdMost, openDescriptorCount());
        }

        const int fdEnd = openDescriptorCount();
        const Memory memEnd = memoryNow();
        qInfo("descriptors: %d after warm-up, %d at most between rounds, %d at the end", fdBaseline, fdMost, fdEnd);
        qInfo("memory: VmRSS %lld -> %lld KiB, VmHWM %lld -> %lld KiB", memBaseline.rss, memEnd.rss, memBaseline.hwm,
              memEnd.hwm);
        QCOMPARE(fdEnd, fdBaseline);
        QCOMPARE(fdMost, fdBaseline);
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer keeps freed memory in quarantine on purpose; its
        // own leak check stands in for this one in that build.
        qInfo("memory growth not checked under AddressSanitizer");
#else
        QVERIFY2(memEnd.rss - memBaseline.rss < MemoryGrowthLimitKiB, "VmRSS grew by more than 4 MiB");
        QVERIFY2(memEnd.hwm - memBaseline.hwm < MemoryGrowthLimitKiB, "VmHWM grew by more than 4 MiB");
#endif
        QCOMPARE(m_made.size(), size_t(2));
    }

    // Closing the Upload window while records flow, then a fresh Start in the
    // reopened window: every record the terminal removed is in the first file,
    // whole and once; nothing of the first transfer reaches the second file.
    void closingDuringUploads()
    {
        m_main->cmdUpload->click();
        Upload *upload = m_main->uploadWindow();
        QVERIFY(upload);
        // The Upload window is always the first one these tests open.
        ScriptedFileDialog *dialog = m_made[0].dialog;
        const int fdBaseline = openDescriptorCount();
        for (int round = 0; round < 10; ++round) {
            const QByteArray where = "close round " + QByteArray::number(round);
            std::vector<QByteArray> records;
            for (int i = 0; i < 400; ++i)
                records.push_back(payload('C', round, i));
            const QString first = m_dir.filePath(QStringLiteral("closed-%1.txt").arg(round));
            const QString second = m_dir.filePath(QStringLiteral("after-%1.txt").arg(round));
            {
                SimTerminal com1(records);
                QVERIFY(com1.isOk());
                wireComPort(1, com1.slavePath());
                selectCom(1);
                m_main->cmdUpload->click();
                dialog->chooseNext(first);
                upload->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
                const int stopAt = 1 + round * 17;
                QVERIFY2(spinUntil([&] { return recordCount(*upload) >= stopAt; }, TransferTimeoutMs), where);
                upload->close();
                QVERIFY(!upload->transfer().underWay());
                QVERIFY(!m_made[0].port->isOpen());
                QCOMPARE(openDescriptorsFor(first), 0);
                const QByteArray written = readAll(first);
                const std::vector<QByteArray> saved = simterm::parseRecordFile(written);
                QVERIFY2(written.endsWith("\r\n"), where);
                QVERIFY2(saved.size() <= records.size(), where);
                QCOMPARE(written, recordLines(records, qsizetype(saved.size())));
                // A "REMOVE" already on its way may still land; give it a bounded moment.
                const auto removed = [&] { return records.size() - com1.remainingRecords().size(); };
                spinUntil([&] { return removed() == saved.size(); }, 500);
                QVERIFY2(removed() == saved.size() || removed() + 1 == saved.size(),
                         where + ": removed " + QByteArray::number(qint64(removed())) + ", saved "
                             + QByteArray::number(qint64(saved.size())));
            }
            {
                const std::vector<QByteArray> next{payload('N', round, 0), payload('N', round, 1)};
                SimTerminal com1(next);
                QVERIFY(com1.isOk());
                wireComPort(1, com1.slavePath());
                m_main->cmdUpload->click();
                dialog->chooseNext(second);
                upload->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
                QVERIFY2(spinUntil([&] { return com1.uploadDone() && !upload->transfer().underWay(); }, TransferTimeoutMs), where);
                QCOMPARE(readAll(second), recordLines(next));
            }
            QFile::remove(first);
            QFile::remove(second);
        }
        QCOMPARE(openDescriptorCount(), fdBaseline);
        QVERIFY(m_made.size() <= 2);
    }

    void cleanupTestCase()
    {
        m_main.reset();
        qInstallMessageHandler(previousHandler);
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
