// The transfer files: the download's line reader and the upload's record file.
#include "storage/NameInUse.h"
#include "storage/LineReader.h"
#include "storage/RecordFile.h"
#include "wording/Messages.h"
#include "storage/SafePath.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#ifndef Q_OS_WIN
#include <pwd.h>
#include <unistd.h>
#endif

namespace {
// Everything in a folder, hidden files, links and FIFOs too.
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

QList<QByteArray> readLines(const QString &path, Error *failure = nullptr)
{
    LineReader reader;
    QList<QByteArray> lines;
    if (Error e = openWhole(reader, path)) {
        if (failure)
            *failure = e;
        return lines;
    }
    QByteArray line;
    while (!reader.atEnd()) {
        if (Error e = readWholeLine(reader, line)) {
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
        // As Linux editors save text: no CR anywhere, so LF ends the lines.
        QTest::newRow("LF endings in a file without CR") << QByteArray("a\nb\n\nc\n") << QList<QByteArray>{"a", "b", "", "c"};
        QTest::newRow("LF ends a chunk in a file without CR")
            << a + "\nb" << QList<QByteArray>{a, "b"};
        // Decided once per file: more lone-LF breaks than CR endings, and
        // LF, CR LF and CR all end a line ...
        QTest::newRow("a line pasted into a Linux file")
            << QByteArray("A1;10\nB2;20\nC3;30\r\nD4;40\n") << QList<QByteArray>{"A1;10", "B2;20", "C3;30", "D4;40"};
        QTest::newRow("a lone CR in a Linux file") << QByteArray("a\nb\rc\nd\n") << QList<QByteArray>{"a", "b", "c", "d"};
        QTest::newRow("CR LF across chunks in a Linux file")
            << a + "\r\nb\nc\nd" << QList<QByteArray>{a, "b", "c", "d"};
        // ... otherwise as the windows write it: a lone LF is a byte of the
        // line, and an upload's file goes back byte for byte.
        QTest::newRow("an upload's file, an LF inside a record")
            << QByteArray("a\nb\r\nc\r\n") << QList<QByteArray>{"a\nb", "c"};
        QTest::newRow("as many lone LFs as CRs") << QByteArray("a\nb\r\nc") << QList<QByteArray>{"a\nb", "c"};
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

        // Read in pieces, no piece is longer than a chunk: a line of any length fits in memory.
        LineReader reader;
        QVERIFY(openWhole(reader, path).ok());
        QByteArray piece, line;
        QList<QByteArray> pieced;
        bool ended = false;
        while (!reader.atEnd()) {
            do {
                QVERIFY(reader.readPiece(piece, ended).ok());
                QVERIFY(piece.size() <= LineReader::ChunkSize);
                line += piece;
            } while (!ended);
            pieced.append(line);
            line.clear();
        }
        QCOMPARE(pieced, lines);
        QCOMPARE(reader.position(), reader.size());
    }

    void readerTellsWhyItCannotOpen()
    {
        Error e;
        readLines(QStringLiteral("/nonexistent/quillan/in.txt"), &e);
        QCOMPARE(e.kind, Error::Kind::NotFound);
        QVERIFY(!e.description.isEmpty());
        // Not regular files: a folder never ends, a FIFO would hold open() until a writer comes.
        QTemporaryDir dir;
        QStringList notRegular{dir.path()};
#ifdef Q_OS_UNIX
        const QString fifo = dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        notRegular << fifo << QStringLiteral("/dev/zero");
#endif
        for (const QString &path : notRegular) {
            e = {};
            readLines(path, &e);
            QCOMPARE(e.kind, Error::Kind::BadFile);
        }
#ifdef Q_OS_UNIX
        // Not followed: another user's link in a sticky folder anyone may write to.
        if (const passwd *nobody = ::getpwnam("nobody"); nobody && ::geteuid() == 0) {
            const QString link = dir.filePath(QStringLiteral("shelf.txt"));
            writeAll(dir.filePath(QStringLiteral("secret.txt")), "x\r\n");
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("secret.txt")), link));
            QCOMPARE(::lchown(QFile::encodeName(link).constData(), nobody->pw_uid, nobody->pw_gid), 0);
            QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 01777), 0);
            e = {};
            readLines(link, &e);
            QVERIFY2(e.kind == Error::Kind::PermissionDenied && e.description.contains(link), qPrintable(e.description));
        }
#endif
    }

    // What stands at the chosen name before the port opens, after it opened
    // (commit) and when it did not (discard): the user's records are never
    // lost to a replace, and a transfer that cannot start changes nothing.
    void recordFileModes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("old");      // "-": no file there
        QTest::addColumn<QByteArray>("before");   // at the name between open() and commit()
        QTest::addColumn<QByteArray>("after");    // at the name after commit() and two records
        QTest::addColumn<QByteArray>("backup");   // NAME.bak afterwards ("-": none)
        QTest::addColumn<bool>("leftover");       // a replacement a killed run left beside NAME
        const int create = int(RecordFile::Mode::Create), replace = int(RecordFile::Mode::Replace),
                  append = int(RecordFile::Mode::Append);
        QTest::newRow("create a new file") << create << QByteArray("-") << QByteArray("") << QByteArray("A1\r\n\0\r\n", 7)
                                           << QByteArray("-") << false;
        QTest::newRow("replace keeps the old file as .bak")
            << replace << QByteArray("old\r\n") << QByteArray("old\r\n") << QByteArray("A1\r\n\0\r\n", 7)
            << QByteArray("old\r\n") << false;
        QTest::newRow("replace where nothing was") << replace << QByteArray("-") << QByteArray("")
                                                   << QByteArray("A1\r\n\0\r\n", 7) << QByteArray("-") << false;
        QTest::newRow("append after whole lines") << append << QByteArray("old\r\n") << QByteArray("old\r\n")
                                                  << QByteArray("old\r\nA1\r\n\0\r\n", 12) << QByteArray("-") << false;
        QTest::newRow("append where nothing was") << append << QByteArray("-") << QByteArray("")
                                                  << QByteArray("A1\r\n\0\r\n", 7) << QByteArray("-") << false;
        QTest::newRow("append to an empty file") << append << QByteArray("") << QByteArray("")
                                                 << QByteArray("A1\r\n\0\r\n", 7) << QByteArray("-") << false;
        QTest::newRow("replace removes a killed run's replacement")
            << replace << QByteArray("old\r\n") << QByteArray("old\r\n") << QByteArray("A1\r\n\0\r\n", 7)
            << QByteArray("old\r\n") << true;
        QTest::newRow("append removes a killed run's replacement")
            << append << QByteArray("old\r\n") << QByteArray("old\r\n") << QByteArray("old\r\nA1\r\n\0\r\n", 12)
            << QByteArray("-") << true;
    }
    void recordFileModes()
    {
        QFETCH(int, mode);
        QFETCH(QByteArray, old);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QByteArray, backup);
        QFETCH(bool, leftover);
        const auto m = RecordFile::Mode(mode);
        for (const bool commit : {false, true}) {
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("out.txt"));
            const QString bak = RecordFile::backupPath(path);
            writeAll(bak, "older backup\r\n");
            if (old != "-")
                writeAll(path, old);
#ifdef Q_OS_UNIX
            // Look-alikes that stay: a link (never followed), another user's file.
            if (leftover)
                QVERIFY(QFile::link(bak, dir.filePath(QStringLiteral(".out.txt.quillan-Lnk123"))));
            const QByteArray foreign = QFile::encodeName(dir.filePath(QStringLiteral(".out.txt.quillan-Nby123")));
            if (const passwd *nobody = ::getpwnam("nobody"); leftover && nobody && ::geteuid() == 0) {
                writeAll(QFile::decodeName(foreign), "B0\r\n");
                QCOMPARE(::chown(foreign.constData(), nobody->pw_uid, nobody->pw_gid), 0);
            }
#endif
            QStringList expected = entries(dir.path());
            if (old == "-")
                expected = QStringList{QStringLiteral("out.txt"), QStringLiteral("out.txt.bak")};
            QStringList left = expected; // after a transfer that did not start
            if (old == "-")
                left.removeAll(QStringLiteral("out.txt"));
            if (leftover) // killed after its first record was made, before it took the name
                writeAll(dir.filePath(QStringLiteral(".out.txt.quillan-Gveosr")), "A0\r\n");
            RecordFile file;
            const Error e = file.open(path, m);
            QVERIFY2(e.ok(), qPrintable(e.description));
            QCOMPARE(readAll(path), before);
            // No new file beside NAME before a record comes, and no leftover.
            QCOMPARE(entries(dir.path()), expected);
            QCOMPARE(readAll(bak), QByteArray("older backup\r\n"));
            if (!commit) {
                file.discard();
                QCOMPARE(QFileInfo::exists(path), old != "-");
                if (old != "-")
                    QCOMPARE(readAll(path), old);
                QCOMPARE(entries(dir.path()), left); // no stray file
                continue;
            }
            QVERIFY(file.commit().ok());
            QVERIFY(file.writeLine("A1").ok());
            QVERIFY(file.writeLine(QByteArray("\0", 1)).ok());
            // Each line is in the file before writeLine returns, not at close.
            QCOMPARE(readAll(path), after);
            QCOMPARE(file.bytesWritten(), 7);
            file.close();
            QCOMPARE(readAll(bak), backup == "-" ? QByteArray("older backup\r\n") : backup);
            QCOMPARE(entries(dir.path()), expected); // no temporary left behind
            QCOMPARE(file.writeLine("late").kind, Error::Kind::BadFile);
        }
    }

    void recordFileRefuses_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("old");
        QTest::addColumn<QString>("stands");  // what else stands there: "fifo" at NAME, "bak folder"
        QTest::addColumn<QString>("said");    // part of the description, which names the file
        const int create = int(RecordFile::Mode::Create), replace = int(RecordFile::Mode::Replace),
                  append = int(RecordFile::Mode::Append);
        QTest::newRow("create over an existing file") << create << QByteArray("keep\r\n") << QString() << "exists already";
        // Two records must never run together on one line.
        QTest::newRow("append to a last line without ending") << append << QByteArray("keep") << QString()
                                                              << "has no line ending";
        QTest::newRow("replace where NAME.bak is a folder") << replace << QByteArray("keep\r\n") << "bak folder"
                                                            << "cannot be kept as";
#ifdef Q_OS_UNIX
        // Said what it is, in every mode: no flag makes a FIFO a file.
        for (const int mode : {create, replace, append})
            QTest::addRow("a FIFO, mode %d", mode) << mode << QByteArray("-") << "fifo" << "is a pipe (FIFO), not a regular file";
#endif
    }
    void recordFileRefuses()
    {
        QFETCH(int, mode);
        QFETCH(QByteArray, old);
        QFETCH(QString, stands);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        if (old != "-")
            writeAll(path, old);
        if (stands == QLatin1String("bak folder"))
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("out.txt.bak")));
#ifdef Q_OS_UNIX
        if (stands == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#endif
        const QStringList before = entries(dir.path());
        RecordFile file;
        const Error e = file.open(path, RecordFile::Mode(mode));
        QVERIFY(!e.ok());
        // Said without the file's name: whoever words it names it, once.
        const QString worded = Messages::cannotOpenFile(path, e, true);
        QVERIFY2(e.description.contains(said) && worded.count(QLatin1Char('"') + path + QLatin1Char('"')) == 1,
                 qPrintable(worded));
        QCOMPARE(e.kind == Error::Kind::Exists, said == QLatin1String("exists already"));
        QVERIFY(!file.isOpen());
        QCOMPARE(entries(dir.path()), before);
        if (old != "-")
            QCOMPARE(readAll(path), old);
    }

    void recordFileRefusesAnUnwritablePlace()
    {
        RecordFile file;
        for (const QString &place : {QStringLiteral("/nonexistent/quillan/out.txt"), QStringLiteral("/dev/null"),
                                     QDir::tempPath()}) {
            const Error e = file.open(place, RecordFile::Mode::Replace);
            QVERIFY2(!e.ok(), qPrintable(place));
            QVERIFY(!e.description.isEmpty());
            QVERIFY(!file.isOpen());
        }
    }

    // The forms a path takes where users pick names: the records land under
    // the name given, the old ones beside it as .bak, and read back as written.
    void pathForms_data()
    {
        QTest::addColumn<QString>("name");     // under the test's folder
        QTest::addColumn<bool>("native");      // with the system's own separators
        QTest::addColumn<bool>("driveLetter"); // as an absolute path starting "X:"
        QTest::newRow("spaces") << QStringLiteral("my  records list.txt") << false << false;
        QTest::newRow("non-ASCII") << QStringLiteral("Grüße ünd Ø €.txt") << false << false;
        QTest::newRow("folder with spaces and non-ASCII") << QStringLiteral("Ablage Ü/records.txt") << false << false;
        QTest::newRow("backslashes") << QStringLiteral("sub folder/records.txt") << true << false;
        QTest::newRow("drive letter") << QStringLiteral("records.txt") << true << true;
    }
    void pathForms()
    {
        QFETCH(QString, name);
        QFETCH(bool, native);
        QFETCH(bool, driveLetter);
        QTemporaryDir dir;
        QString path = QDir(dir.path()).absoluteFilePath(name);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        if (native)
            path = QDir::toNativeSeparators(path);
#ifdef Q_OS_WIN
        if (driveLetter)
            QVERIFY2(path.size() > 2 && path.at(0).isLetter() && path.at(1) == QLatin1Char(':'), qPrintable(path));
#else
        if (driveLetter)
            QSKIP("drive letters are Windows' own");
#endif
        for (const QByteArray &record : {QByteArray("first"), QByteArray("second")}) {
            RecordFile file;
            const Error e = file.open(path, nameInUse(path) ? RecordFile::Mode::Replace : RecordFile::Mode::Create);
            QVERIFY2(e.ok(), qPrintable(e.description));
            QVERIFY(file.commit().ok());
            QVERIFY(file.writeLine(record).ok());
            file.close();
        }
        QVERIFY(nameInUse(path));
        QCOMPARE(readLines(path), QList<QByteArray>{"second"});
        QCOMPARE(readLines(RecordFile::backupPath(path)), QList<QByteArray>{"first"});
        QCOMPARE(QDir(QFileInfo(QDir::fromNativeSeparators(path)).absolutePath()).entryList(QDir::Files).size(), 2);
    }

    // One transfer at a time writes a file: a second one into it is refused
    // at open, naming who holds it, and writes nothing.
    void oneTransferAtATime_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        const int create = int(RecordFile::Mode::Create), replace = int(RecordFile::Mode::Replace),
                  append = int(RecordFile::Mode::Append);
        QTest::newRow("append while appending") << append << append;
        QTest::newRow("replace while appending") << append << replace;
        QTest::newRow("append while creating") << create << append;
        QTest::newRow("append while replacing, before its first record") << replace << append;
        QTest::newRow("replace while replacing") << replace << replace;
    }
    void oneTransferAtATime()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        if (first != int(RecordFile::Mode::Create))
            writeAll(path, "old\r\n");
        RecordFile one;
        QVERIFY(one.open(path, RecordFile::Mode(first)).ok());
        QVERIFY(one.commit().ok());
        const QByteArray before = readAll(path);
        const QStringList files = QDir(dir.path()).entryList(QDir::Files);

        RecordFile two;
        const Error e = two.open(path, RecordFile::Mode(second));
        QCOMPARE(e.kind, Error::Kind::Busy);
#ifndef Q_OS_WIN // Windows does not say who holds a lock
        QVERIFY2(e.description.contains(QLatin1String("another transfer of this program")), qPrintable(e.description));
#endif
        QVERIFY(!two.isOpen());
        QCOMPARE(readAll(path), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), files);

        // The first goes on, and once it lets go the second may write.
        QVERIFY(one.writeLine("A1").ok());
        one.close();
        QVERIFY(two.open(path, RecordFile::Mode::Append).ok());
        QVERIFY(two.commit().ok());
        QVERIFY(two.writeLine("B2").ok());
        QVERIFY(readAll(path).endsWith("A1\r\nB2\r\n"));
    }

    // Records go to the end of the file as it is when each is written, even
    // when something else has added to it meanwhile.
    void appendGoesToTheEndAsItIsThen()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows' locks keep every other writer out");
#else
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        writeAll(path, "old\r\n");
        RecordFile file;
        QVERIFY(file.open(path, RecordFile::Mode::Append).ok());
        QVERIFY(file.commit().ok());
        QVERIFY(file.writeLine("A1").ok());
        QFile other(path);
        QVERIFY(other.open(QIODevice::WriteOnly | QIODevice::Append));
        other.write("X9\r\n");
        other.close();
        QVERIFY(file.writeLine("B2").ok());
        file.close();
        QCOMPARE(readAll(path), QByteArray("old\r\nA1\r\nX9\r\nB2\r\n"));
#endif
    }

    void fileTakenAwayKeepsNoRecord_data()
    {
        QTest::addColumn<bool>("renamed");
        QTest::addColumn<int>("mode");
        QTest::newRow("removed (a rotation, rm)") << false << int(RecordFile::Mode::Append);
        QTest::newRow("renamed away") << true << int(RecordFile::Mode::Append);
        QTest::newRow("a new file removed") << false << int(RecordFile::Mode::Create);
    }
    // A record is kept only while its file has a name: written into a file
    // someone removed or moved away, it fails, and the file it was written
    // to holds the records before it only; a new file at the name is not
    // ours to remove.
    void fileTakenAwayKeepsNoRecord()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows removes and renames no file that is open");
#else
        QFETCH(bool, renamed);
        QFETCH(int, mode);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        const QString kept = dir.filePath(QStringLiteral("kept.txt"));
        if (mode == int(RecordFile::Mode::Append))
            writeAll(path, "old\r\n");
        RecordFile file;
        QVERIFY(file.open(path, RecordFile::Mode(mode)).ok());
        QVERIFY(file.commit().ok());
        QVERIFY(file.writeLine("A1").ok());
        if (renamed)
            QVERIFY(QFile::rename(path, kept));
        else
            QVERIFY(::link(QFile::encodeName(path).constData(), QFile::encodeName(kept).constData()) == 0
                    && QFile::remove(path)); // kept: a hard link to see what was written
        const Error e = file.writeLine("B2");
        QCOMPARE(e.kind, Error::Kind::NotFound);
        QVERIFY2(e.description.contains(QLatin1String("removed or renamed")), qPrintable(e.description));
        writeAll(path, "someone else's\r\n");
        file.close(true);
        QCOMPARE(readAll(kept), QByteArray(mode == int(RecordFile::Mode::Append) ? "old\r\nA1\r\n" : "A1\r\n"));
        QCOMPARE(readAll(path), QByteArray("someone else's\r\n"));
#endif
    }

    // A name that is a symbolic link is followed only where the system would
    // follow it: not another user's link in a sticky folder anyone may write
    // to (/tmp), and never to make a file where a link leads nowhere. A link
    // followed stays a link: its target is written, a replacement keeps the
    // old file's permission bits and the .bak is made beside the target.
    void replaceKeepsModeAndFollowsLinks_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("sticky");      // the link's folder: mode 1777
        QTest::addColumn<bool>("foreignLink"); // the link belongs to the user nobody
        QTest::addColumn<bool>("foreignFolder");
        QTest::addColumn<bool>("target");      // the link's target exists
        QTest::addColumn<bool>("followed");
        const int create = int(RecordFile::Mode::Create), replace = int(RecordFile::Mode::Replace),
                  append = int(RecordFile::Mode::Append);
        QTest::newRow("replace through one's own link") << replace << false << false << false << true << true;
        QTest::newRow("append through one's own link in a sticky folder") << append << true << false << false << true << true;
        QTest::newRow("replace through the sticky folder owner's link") << replace << true << true << true << true << true;
        QTest::newRow("append through another's link, folder not sticky") << append << false << true << false << true << true;
        QTest::newRow("append through another's link in a sticky folder") << append << true << true << false << true << false;
        QTest::newRow("replace through another's link in a sticky folder") << replace << true << true << false << true << false;
        QTest::newRow("create through another's link in a sticky folder") << create << true << true << false << false << false;
        QTest::newRow("create through a dangling link of one's own") << create << false << false << false << false << false;
        QTest::newRow("append through a dangling link of one's own") << append << false << false << false << false << false;
    }
    void replaceKeepsModeAndFollowsLinks()
    {
#ifdef Q_OS_WIN
        QSKIP("permission bits and symbolic links as POSIX has them");
#else
        QFETCH(int, mode);
        QFETCH(bool, sticky);
        QFETCH(bool, foreignLink);
        QFETCH(bool, foreignFolder);
        QFETCH(bool, target);
        QFETCH(bool, followed);
        const passwd *nobody = ::getpwnam("nobody");
        if ((foreignLink || foreignFolder) && (::geteuid() != 0 || !nobody))
            QSKIP("giving a link to the user nobody takes root (and that user)");
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("real")));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("shelf")));
        const QString real = dir.filePath(QStringLiteral("real"));
        const QString file = dir.filePath(QStringLiteral("real/records.txt"));
        const QString link = dir.filePath(QStringLiteral("shelf/records.txt"));
        const QByteArray shelf = QFile::encodeName(dir.filePath(QStringLiteral("shelf")));
        if (target) {
            writeAll(file, "old\r\n");
            QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0640), 0);
        }
        QVERIFY(QFile::link(QStringLiteral("../real/records.txt"), link));
        if (sticky)
            QCOMPARE(::chmod(shelf.constData(), 01777), 0);
        if (foreignLink)
            QCOMPARE(::lchown(QFile::encodeName(link).constData(), nobody->pw_uid, nobody->pw_gid), 0);
        if (foreignFolder)
            QCOMPARE(::chown(shelf.constData(), nobody->pw_uid, nobody->pw_gid), 0);
        const QStringList before = entries(real);
        RecordFile records;
        const Error e = records.open(link, RecordFile::Mode(mode));
        QVERIFY2(e.ok() == followed, qPrintable(e.description));
        QVERIFY(QFileInfo(link).isSymLink());
        if (!followed) {
            QVERIFY2(e.description.contains(link), qPrintable(e.description));
            QCOMPARE(entries(real), before);
            if (target)
                QCOMPARE(readAll(file), QByteArray("old\r\n"));
            return;
        }
        QCOMPARE(records.backupPathShown(), RecordFile::backupPath(file));
        QVERIFY(records.commit().ok());
        QVERIFY(records.writeLine("A1").ok());
        records.close();
        QCOMPARE(readAll(file), QByteArray(mode == int(RecordFile::Mode::Append) ? "old\r\nA1\r\n" : "A1\r\n"));
        QVERIFY(!QFileInfo::exists(RecordFile::backupPath(link)));
        if (mode == int(RecordFile::Mode::Replace)) {
            QCOMPARE(readAll(RecordFile::backupPath(file)), QByteArray("old\r\n"));
            struct stat st{};
            QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
            QCOMPARE(st.st_mode & 07777, mode_t(0640));
        }
        QCOMPARE(entries(real).size(), mode == int(RecordFile::Mode::Replace) ? 2 : 1);
#endif
    }

    // The system's rule for links in a sticky folder anyone may write to, and
    // for hard links there where fs.protected_hardlinks is off (user 1000).
    void linkRule_data()
    {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("folderOwner");
        QTest::addColumn<int>("owner");
        QTest::addColumn<bool>("symbolic");
        QTest::addColumn<int>("links");
        QTest::addColumn<bool>("protectedHardlinks");
        QTest::addColumn<int>("rule");
        const int allowed = int(SafePath::Rule::Allowed), foreign = int(SafePath::Rule::ForeignSymbolicLink),
                  hard = int(SafePath::Rule::ForeignHardLink);
        QTest::newRow("another's link in /tmp") << 01777 << 0 << 2000 << true << 1 << true << foreign;
        QTest::newRow("one's own link in /tmp") << 01777 << 0 << 1000 << true << 1 << true << allowed;
        QTest::newRow("the folder owner's link") << 01777 << 2000 << 2000 << true << 1 << true << allowed;
        QTest::newRow("sticky, others may not write") << 01775 << 0 << 2000 << true << 1 << true << allowed;
        QTest::newRow("anyone may write, not sticky") << 0777 << 0 << 2000 << true << 1 << true << allowed;
        QTest::newRow("hard link to another's file") << 01777 << 0 << 2000 << false << 2 << false << hard;
        QTest::newRow("hard link to the folder owner's file") << 01777 << 2000 << 2000 << false << 2 << false << hard;
        QTest::newRow("hard link, protected_hardlinks on") << 01777 << 0 << 2000 << false << 2 << true << allowed;
        QTest::newRow("another's file with one name") << 01777 << 0 << 2000 << false << 1 << false << allowed;
        QTest::newRow("hard link to one's own file") << 01777 << 0 << 1000 << false << 2 << false << allowed;
    }
    void linkRule()
    {
        QFETCH(int, folderMode);
        QFETCH(int, folderOwner);
        QFETCH(int, owner);
        QFETCH(bool, symbolic);
        QFETCH(int, links);
        QFETCH(bool, protectedHardlinks);
        QFETCH(int, rule);
        const SafePath::Entry e{unsigned(folderMode), unsigned(folderOwner), unsigned(owner), symbolic,
                                (unsigned long)links};
        QCOMPARE(int(SafePath::judge(e, 1000, protectedHardlinks)), rule);
    }

    void fileExist()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("there.txt"));
        writeAll(path, "x");
        QVERIFY(nameInUse(path));
        // One the user may not read is still there: replacing it needs the question.
        QFile::setPermissions(path, {});
        QVERIFY(nameInUse(path));
        QVERIFY(!nameInUse(dir.filePath(QStringLiteral("absent.txt"))));
        QVERIFY(!nameInUse(dir.path())); // a folder is not a file
        QVERIFY(!nameInUse(QString()));
    }
};

QTEST_MAIN(TestStorage)
#include "tst_storage.moc"
