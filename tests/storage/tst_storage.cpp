// The transfer files: the download's line reader and the upload's record file.
#include "storage/FileExist.h"
#include "storage/LineReader.h"
#include "storage/RecordFile.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <QTest>

namespace {
QList<QByteArray> readLines(const QString &path, Error *failure = nullptr)
{
    LineReader reader;
    QList<QByteArray> lines;
    if (Error e = reader.open(path)) {
        if (failure)
            *failure = e;
        return lines;
    }
    QByteArray line;
    while (!reader.atEnd()) {
        if (Error e = reader.readLine(line)) {
            if (failure)
                *failure = e;
            break;
        }
        lines.append(line);
    }
    return lines;
}
}

class TestStorage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Line endings where the reader's chunks meet: a CR as the last byte of
    // one chunk and its LF as the first of the next must still be one ending.
    void linesAcrossChunks_data()
    {
        const int chunk = int(LineReader::ChunkSize);
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QList<QByteArray>>("lines");
        const QByteArray a(chunk - 1, 'a');
        QTest::newRow("CR ends a chunk, LF starts the next")
            << a + "\r\nb" << QList<QByteArray>{a, "b"};
        QTest::newRow("CR ends a chunk, no LF follows")
            << a + "\rb" << QList<QByteArray>{a, "b"};
        QTest::newRow("CR LF is the whole end of the file")
            << a + "\r\n" << QList<QByteArray>{a};
        QTest::newRow("CR is the last byte of the file at a chunk's end")
            << a + "\r" << QList<QByteArray>{a};
        const QByteArray longLine(3 * chunk + 17, 'L');
        QTest::newRow("a line longer than three chunks")
            << "x\r\n" + longLine + "\r\ny" << QList<QByteArray>{"x", longLine, "y"};
        QTest::newRow("empty lines only") << QByteArray("\r\n\r\r\n") << QList<QByteArray>{"", "", ""};
    }
    void linesAcrossChunks()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QList<QByteArray>, lines);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("in.txt"));
        writeAll(path, contents);
        Error e;
        QCOMPARE(readLines(path, &e), lines);
        QVERIFY(e.ok());
    }

    void readerTellsWhyItCannotOpen()
    {
        Error e;
        readLines(QStringLiteral("/nonexistent/quillan/in.txt"), &e);
        QCOMPARE(e.number, ErrorNumber::PathNotFound);
        QVERIFY(!e.description.isEmpty());
    }

    void recordFileWritesCrLfLinesAndEmptiesAnOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        writeAll(path, "old contents\r\n");
        RecordFile file;
        QVERIFY(file.open(path).ok());
        QVERIFY(!file.createdByOpen());
        QCOMPARE(QFileInfo(path).size(), 0); // emptied at once
        QVERIFY(file.writeLine("A1").ok());
        QVERIFY(file.writeLine(QByteArray("\0\r\n", 3)).ok());
        QVERIFY(file.writeLine("").ok());
        // Each line is in the file before writeLine returns, not at close.
        QCOMPARE(readAll(path), QByteArray("A1\r\n\0\r\n\r\n\r\n", 11));
        file.close();
        QVERIFY(!file.isOpen());
        QCOMPARE(file.writeLine("late").number, ErrorNumber::BadFileMode);
    }

    void recordFileRefusesAnUnwritablePlace()
    {
        RecordFile file;
        const Error e = file.open(QStringLiteral("/nonexistent/quillan/out.txt"));
        QVERIFY(!e.ok());
        QVERIFY(!e.description.isEmpty());
        QVERIFY(!file.isOpen());
    }

    void fileExist()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("there.txt"));
        writeAll(path, "x");
        QVERIFY(FileExist(path));
        QVERIFY(!FileExist(dir.filePath(QStringLiteral("absent.txt"))));
        QVERIFY(!FileExist(dir.path())); // a folder is not a file
        QVERIFY(!FileExist(QString()));
    }
};

QTEST_MAIN(TestStorage)
#include "tst_storage.moc"
