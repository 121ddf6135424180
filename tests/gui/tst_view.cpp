// The View button of both transfer windows: how it sets up the shared file
// dialog, when it starts the editor, and that the real editor start hands
// the path over as one untouched argument.
#include "platform/QtEditorStart.h"
#include "support/TestFiles.h"
#include "gui/QtFileDialog.h"
#include "support/WindowRig.h"
#include "support/WindowTexts.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// Generous: reached only when the recorder never runs.
constexpr int processWaitMs = 20000;

// The real editor start, counting how often View asks for it.
class CountingEditorStart final : public EditorStart
{
public:
    Error start(const QString &path) override
    {
        paths.append(path);
        results.append(real.start(path));
        return results.constLast();
    }
    QStringList paths;
    QList<Error> results;

private:
    QtEditorStart real;
};

QString titleFor(bool upload)
{
    return upload ? WindowTexts::OpenFile : WindowTexts::OpenDownloadFile;
}

#ifdef Q_OS_UNIX
// Collects what this process writes to stderr while it lives.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path)
        : m_path(path)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        std::FILE *f = std::fopen(QFile::encodeName(path).constData(), "wb");
        if (f) {
            ::dup2(::fileno(f), STDERR_FILENO);
            std::fclose(f);
        }
    }
    ~StderrCapture() { restore(); }
    QByteArray text()
    {
        restore();
        return readAll(m_path);
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    QString m_path;
    int m_saved = -1;
};
#endif

} // namespace

class TestView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void viewSetsUpTheSharedDialog_data();
    void viewSetsUpTheSharedDialog();
    void dialogOutcomeDecidesTheStart_data();
    void dialogOutcomeDecidesTheStart();
    void startChoiceStaysButViewUsesItsOwn_data();
    void startChoiceStaysButViewUsesItsOwn();
    void everyOkStartsOneEditor();

    void pathArrivesAsOneArgument_data();
    void pathArrivesAsOneArgument();
    void realEditorAfterDialogError_data();
    void realEditorAfterDialogError();
    void realEditorNotStartedOnCancel();
    void editorIsNotWaitedFor();
    void editorStartFailureIsNotShown();
    void editorChoice_data();
    void editorChoice();

    void viewDuringTransfer_data();
    void viewDuringTransfer();

    void fileDialogTakesTheNameAsTyped_data();
    void fileDialogTakesTheNameAsTyped();

private:
    void needRealEditor();
    // Arguments of every finished recorder run so far, argv[0] first.
    QList<QStringList> recordedRuns() const;
    QString workFile(const QString &name) const { return QDir(m_work.path()).filePath(name); }

    QTemporaryDir m_work;               // current directory: a shell would run "touch x" here
    std::unique_ptr<QTemporaryDir> m_runs; // the recorder's output, fresh for each test
    QByteArray m_savedPath;
};

void TestView::initTestCase()
{
    QVERIFY(m_work.isValid());
    QVERIFY(QDir::setCurrent(m_work.path()));
    m_savedPath = qgetenv("PATH");
}

void TestView::init()
{
    m_runs = std::make_unique<QTemporaryDir>();
    QVERIFY(m_runs->isValid());
    qputenv("ARGV_RECORDER_DIR", QFile::encodeName(m_runs->path()));
    qputenv("QUILLAN_EDITOR", QFile::encodeName(QStringLiteral(ARGV_RECORDER)));
}

void TestView::cleanup()
{
    qputenv("PATH", m_savedPath);
    qunsetenv("ARGV_RECORDER_HOLD");
    // A shell given the file name would have run "touch x" in the current directory.
    const bool ranCommand = QFile::remove(workFile(QStringLiteral("x")));
    QVERIFY2(!ranCommand, "a file name was run as a command");
}

void TestView::needRealEditor()
{
#ifdef Q_OS_WIN
    QSKIP("On Windows View always starts NOTEPAD.EXE");
#endif
}

QList<QStringList> TestView::recordedRuns() const
{
    QList<QStringList> runs;
    const QDir dir(m_runs->path());
    for (const QString &name : dir.entryList({QStringLiteral("*.argv")}, QDir::Files, QDir::Name)) {
        QByteArray bytes = readAll(dir.filePath(name));
        if (bytes.endsWith('\0'))
            bytes.chop(1);
        QStringList args;
        for (const QByteArray &a : bytes.split('\0'))
            args.append(QFile::decodeName(a));
        runs.append(args);
    }
    return runs;
}

// ---- View with the scripted dialog and editor -------------------------------

void TestView::viewSetsUpTheSharedDialog_data()
{
    bothWindows();
}

void TestView::viewSetsUpTheSharedDialog()
{
    withRowWindow([&]<typename W>() {
        WindowRig<W> rig;
        QCOMPARE(rig.template control<QPushButton>("Command2")->text(), QStringLiteral("&View"));

        // Whatever an earlier use left in the dialog, View sets its own.
        FileDialog &dialog = *rig.dialog;
        dialog.setCancelError(false);
        dialog.setFilter(QStringLiteral("*.*"));
        dialog.setDialogTitle(WindowTexts::SaveFiles);

        const QString chosen = workFile(QStringLiteral("records.txt"));
        rig.dialog->chooseNext(chosen);
        rig.clickView();

        QCOMPARE(rig.dialog->shown.size(), 1);
        const FileDialog::Request &r = rig.dialog->shown.constFirst();
        QCOMPARE(r.action, FileDialog::ShowOpen);
        QCOMPARE(r.title, titleFor(rig.IsUpload));
        QCOMPARE(r.filter, QStringLiteral("*.txt"));
        QVERIFY(dialog.cancelError());
        QCOMPARE(rig.editor->started, QStringList{chosen});
        QVERIFY(rig.box->shown.isEmpty());
        QVERIFY(!rig.port->isOpen());
    });
}

void TestView::dialogOutcomeDecidesTheStart_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("before");  // FileName when View is pressed
    QTest::addColumn<int>("outcome");     // FileDialog::Choice::Kind
    QTest::addColumn<Error::Kind>("error"); // with Failed
    QTest::addColumn<QString>("chosen");  // with Chosen
    QTest::addColumn<QStringList>("started");

    const QString earlier = QStringLiteral("/data/earlier file.txt");
    const QString picked = QStringLiteral("/data/picked.txt");
    for (const QString &w : {QStringLiteral("Upload"), QStringLiteral("DownLoad")}) {
        const QByteArray p = w.toLatin1() + ": ";
        QTest::newRow((p + "OK starts the editor on the choice").constData())
            << w << earlier << int(FileDialog::Choice::Chosen) << Error::Kind::None << picked << QStringList{picked};
        QTest::newRow((p + "Cancel starts nothing").constData())
            << w << earlier << int(FileDialog::Choice::Cancelled) << Error::Kind::None << QString() << QStringList{};
        QTest::newRow((p + "Cancel with no file before starts nothing").constData())
            << w << QString() << int(FileDialog::Choice::Cancelled) << Error::Kind::None << QString() << QStringList{};
        QTest::newRow((p + "the dialog failing as cancelled is Cancel").constData())
            << w << earlier << int(FileDialog::Choice::Failed) << Error::Kind::Cancelled << QString()
            << QStringList{};
        QTest::newRow((p + "other dialog error opens what FileName holds").constData())
            << w << earlier << int(FileDialog::Choice::Failed) << Error::Kind::Io << QString()
            << QStringList{earlier};
        QTest::newRow((p + "other dialog error with no FileName opens an empty editor").constData())
            << w << QString() << int(FileDialog::Choice::Failed) << Error::Kind::InvalidValue << QString()
            << QStringList{QString()};
    }
}

void TestView::dialogOutcomeDecidesTheStart()
{
    QFETCH(QString, before);
    QFETCH(int, outcome);
    QFETCH(Error::Kind, error);
    QFETCH(QString, chosen);
    QFETCH(QStringList, started);

    withRowWindow([&]<typename W>() {
        WindowRig<W> rig;
        rig.dialog->setFileName(before);
        switch (outcome) {
        case FileDialog::Choice::Chosen: rig.dialog->chooseNext(chosen); break;
        case FileDialog::Choice::Cancelled: rig.dialog->cancelNext(); break;
        default: rig.dialog->failNext({error, QStringLiteral("dialog failed")}); break;
        }
        rig.clickView();

        QCOMPARE(rig.dialog->shown.size(), 1);
        QCOMPARE(rig.dialog->unexpected, 0);
        QCOMPARE(rig.editor->started, started);
        QVERIFY(rig.box->shown.isEmpty());
        QVERIFY(!rig.port->isOpen());
    });
}

void TestView::startChoiceStaysButViewUsesItsOwn_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<int>("viewOutcome");
    QTest::addColumn<bool>("editorOnStartChoice"); // else on View's choice, or none

    for (const QString &w : {QStringLiteral("Upload"), QStringLiteral("DownLoad")}) {
        const QByteArray p = w.toLatin1() + ": ";
        QTest::newRow((p + "View's OK replaces Start's choice").constData()) << w << int(FileDialog::Choice::Chosen) << false;
        QTest::newRow((p + "View's Cancel keeps Start's choice").constData()) << w << int(FileDialog::Choice::Cancelled) << false;
        QTest::newRow((p + "View's dialog error opens Start's choice").constData()) << w << int(FileDialog::Choice::Failed) << true;
    }
}

void TestView::startChoiceStaysButViewUsesItsOwn()
{
    QFETCH(int, viewOutcome);
    QFETCH(bool, editorOnStartChoice);

    withRowWindow([&]<typename W>() {
        WindowRig<W> rig;
        wireComPort(1, workFile(QStringLiteral("no-such-dir/tty")));
        // An existing file: Upload asks before replacing it (the scripted "No"
        // ends Start), DownLoad opens it and then fails on the missing port.
        const QString startChoice = workFile(QStringLiteral("start choice.txt"));
        writeAll(startChoice, "line one\r\n");
        rig.dialog->chooseNext(startChoice);
        if (rig.IsUpload)
            rig.box->answerNext(MessageBox::Answer::No);
        rig.clickStart();
        QCOMPARE(rig.dialog->shown.size(), 1);
        QCOMPARE(rig.box->shown.size(), 1);
        QVERIFY(!rig.transfer().underWay());
        QCOMPARE(rig.dialog->fileName(), startChoice);

        const QString viewChoice = workFile(QStringLiteral("view choice.txt"));
        switch (viewOutcome) {
        case FileDialog::Choice::Chosen: rig.dialog->chooseNext(viewChoice); break;
        case FileDialog::Choice::Cancelled: rig.dialog->cancelNext(); break;
        default: rig.dialog->failNext({Error::Kind::Io, QStringLiteral("dialog failed")}); break;
        }
        rig.clickView();

        QCOMPARE(rig.dialog->shown.size(), 2);
        // The dialog opens on Start's choice ...
        QCOMPARE(rig.dialog->shown.at(1).fileName, startChoice);
        QCOMPARE(rig.dialog->shown.at(1).title, titleFor(rig.IsUpload));
        // ... and the editor gets what View's own dialog left.
        const QStringList expected = viewOutcome == FileDialog::Choice::Chosen ? QStringList{viewChoice}
                                     : editorOnStartChoice                       ? QStringList{startChoice}
                                                                                 : QStringList{};
        QCOMPARE(rig.editor->started, expected);
        QCOMPARE(rig.dialog->fileName(), viewOutcome == FileDialog::Choice::Chosen ? viewChoice : startChoice);
        QCOMPARE(rig.box->shown.size(), 1);
        QCOMPARE(readAll(startChoice), QByteArray("line one\r\n"));
    });
}

void TestView::everyOkStartsOneEditor()
{
    WindowRig<Upload> rig;
    const QStringList paths{QStringLiteral("/a.txt"), QStringLiteral("/b.txt"), QStringLiteral("/a.txt")};
    for (const QString &p : paths)
        rig.dialog->chooseNext(p);
    rig.dialog->cancelNext();
    for (int i = 0; i < paths.size() + 1; ++i)
        rig.clickView();
    // No editor is reused or closed: the same file twice means two starts.
    QCOMPARE(rig.editor->started, paths);
}

// ---- View with the real editor start ------------------------------------------

void TestView::pathArrivesAsOneArgument_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("name");      // created in the work directory
    QTest::addColumn<bool>("relative");     // chosen relative to the current directory

    const QString up = QStringLiteral("Upload");
    const QString down = QStringLiteral("DownLoad");
    QTest::newRow("blanks") << up << QStringLiteral("my  records list.txt") << false;
    QTest::newRow("quotes") << down << QStringLiteral("it's \"quoted\".txt") << false;
    QTest::newRow("semicolon") << up << QStringLiteral("a;touch x;.txt") << false;
    QTest::newRow("command substitution") << down << QStringLiteral("$(touch x).txt") << false;
    QTest::newRow("backquotes and pipe") << up << QStringLiteral("`touch x` | touch x &.txt") << false;
    QTest::newRow("non-ASCII") << down << QStringLiteral("Grüße ünd Ø.txt") << false;
    // Ordinary characters of a name here, separators only on Windows.
    QTest::newRow("backslashes") << up << QStringLiteral("back\\slash \\name.txt") << false;
    QTest::newRow("drive letter look-alike") << down << QStringLiteral("C:\\records.txt") << true;
    QTest::newRow("leading dash") << up << QStringLiteral("-n.txt") << true;
    QTest::newRow("leading double dash") << down << QStringLiteral("--help.txt") << true;
    QTest::newRow("all at once") << up << QStringLiteral("- a 'b' \"c\"; $(touch x) `touch x`.txt") << true;
}

void TestView::pathArrivesAsOneArgument()
{
    needRealEditor();
    QFETCH(QString, name);
    QFETCH(bool, relative);

    const QString file = workFile(name);
    writeAll(file, "content\r\n");
    QVERIFY(QFile::exists(file));
    const QString chosen = relative ? name : file;

    auto editor = std::make_unique<CountingEditorStart>();
    CountingEditorStart *counting = editor.get();
    withRowWindow([&]<typename W>() {
        WindowRig<W> rig({}, {}, false, std::move(editor));
        rig.dialog->chooseNext(chosen);
        rig.clickView();

        QCOMPARE(counting->paths, QStringList{chosen});
        QVERIFY2(counting->results.constFirst().ok(), qPrintable(counting->results.constFirst().description));
        QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, processWaitMs);
        const QStringList argv = recordedRuns().constFirst();
        QCOMPARE(argv.size(), 2);
        QCOMPARE(argv.at(0), QStringLiteral(ARGV_RECORDER));
        const QString argument = argv.at(1);
        if (relative) {
            // Handed over so the editor cannot take it for an option, yet naming the same file.
            QVERIFY2(!argument.startsWith(QLatin1Char('-')), qPrintable(argument));
            QCOMPARE(QFileInfo(argument).canonicalFilePath(), QFileInfo(file).canonicalFilePath());
        } else {
            QCOMPARE(argument, file);
        }
        QCOMPARE(readAll(file), QByteArray("content\r\n"));
        QVERIFY(rig.box->shown.isEmpty());
    });
}

void TestView::realEditorAfterDialogError_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QStringList>("arguments");

    const QString blanks = QStringLiteral("/tmp/some dir/the file.txt");
    QTest::newRow("Upload: path held before") << QStringLiteral("Upload") << blanks << QStringList{blanks};
    QTest::newRow("DownLoad: path held before") << QStringLiteral("DownLoad") << blanks << QStringList{blanks};
    QTest::newRow("Upload: no path, editor without file") << QStringLiteral("Upload") << QString() << QStringList{};
    QTest::newRow("DownLoad: no path, editor without file") << QStringLiteral("DownLoad") << QString() << QStringList{};
}

void TestView::realEditorAfterDialogError()
{
    needRealEditor();
    QFETCH(QString, before);
    QFETCH(QStringList, arguments);

    withRowWindow([&]<typename W>() {
        WindowRig<W> rig({}, {}, false, std::make_unique<QtEditorStart>());
        rig.dialog->setFileName(before);
        rig.dialog->failNext({Error::Kind::Io, QStringLiteral("dialog failed")});
        rig.clickView();

        QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, processWaitMs);
        QCOMPARE(recordedRuns().constFirst().mid(1), arguments);
    });
}

void TestView::realEditorNotStartedOnCancel()
{
    needRealEditor();
    auto editor = std::make_unique<CountingEditorStart>();
    CountingEditorStart *counting = editor.get();
    WindowRig<DownLoad> rig({}, {}, false, std::move(editor));
    const QString later = workFile(QStringLiteral("later.txt"));
    rig.dialog->setFileName(workFile(QStringLiteral("earlier.txt")));
    rig.dialog->cancelNext();
    rig.dialog->chooseNext(later);
    rig.clickView();
    QVERIFY(counting->paths.isEmpty());

    // The next OK is the only run there is.
    rig.clickView();
    QCOMPARE(counting->paths, QStringList{later});
    QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, processWaitMs);
    QCOMPARE(recordedRuns().constFirst().mid(1), QStringList{later});
}

void TestView::editorIsNotWaitedFor()
{
    needRealEditor();
    const QString release = QDir(m_runs->path()).filePath(QStringLiteral("release"));
    qputenv("ARGV_RECORDER_HOLD", QFile::encodeName(release));
    WindowRig<Upload> rig({}, {}, false, std::make_unique<QtEditorStart>());
    rig.dialog->chooseNext(workFile(QStringLiteral("a.txt")));
    rig.clickView();
    // View has returned while the editor is still open.
    QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, processWaitMs);
    const QDir runs(m_runs->path());
    QVERIFY(runs.entryList({QStringLiteral("*.done")}, QDir::Files).isEmpty());
    writeAll(release, "go");
    QTRY_COMPARE_WITH_TIMEOUT(runs.entryList({QStringLiteral("*.done")}, QDir::Files).size(), 1, processWaitMs);
}

void TestView::editorStartFailureIsNotShown()
{
    needRealEditor();
    auto editor = std::make_unique<CountingEditorStart>();
    CountingEditorStart *counting = editor.get();
    WindowRig<Upload> rig({}, {}, false, std::move(editor));
    qputenv("QUILLAN_EDITOR", QFile::encodeName(workFile(QStringLiteral("no-such-editor"))));
    const QString chosen = workFile(QStringLiteral("a.txt"));
    rig.dialog->chooseNext(chosen);
    rig.dialog->chooseNext(chosen);
    {
#ifdef Q_OS_UNIX
        StderrCapture err(workFile(QStringLiteral("stderr.txt")));
#endif
        rig.clickView();
#ifdef Q_OS_UNIX
        const QByteArray text = err.text();
        QCOMPARE(text.count('\n'), 1);
        QVERIFY2(text.startsWith("View: ") && text.contains("no-such-editor"), text.constData());
#endif
    }
    QCOMPARE(counting->results.size(), 1);
    QVERIFY(!counting->results.constFirst().ok());
    QVERIFY(rig.box->shown.isEmpty());

    // The failure leaves nothing behind: with an editor there, View works.
    qputenv("QUILLAN_EDITOR", QFile::encodeName(QStringLiteral(ARGV_RECORDER)));
    rig.clickView();
    QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, processWaitMs);
    QCOMPARE(recordedRuns().constFirst().mid(1), QStringList{chosen});
}

void TestView::editorChoice_data()
{
    QTest::addColumn<bool>("quillanEditor");  // QUILLAN_EDITOR names the recorder
    QTest::addColumn<QStringList>("pathDirs"); // PATH: each entry a directory of these names
    QTest::addColumn<QString>("expected");    // the recorder's argv[0] ends so

    QTest::newRow("QUILLAN_EDITOR wins over editors on PATH")
        << true << QStringList{QStringLiteral("gedit,xdg-open")} << QStringLiteral(ARGV_RECORDER);
    QTest::newRow("first of the known editors on PATH")
        << false << QStringList{QStringLiteral("leafpad,mousepad,kate,xdg-open")} << QStringLiteral("/kate");
    QTest::newRow("list order beats PATH order")
        << false << QStringList{QStringLiteral("featherpad"), QStringLiteral("pluma"), QStringLiteral("gnome-text-editor")}
        << QStringLiteral("/gnome-text-editor");
    QTest::newRow("xdg-open without a known editor")
        << false << QStringList{QStringLiteral("vi,nano,xdg-open")} << QStringLiteral("/xdg-open");
}

void TestView::editorChoice()
{
    needRealEditor();
    QFETCH(bool, quillanEditor);
    QFETCH(QStringList, pathDirs);
    QFETCH(QString, expected);

    QStringList path;
    for (int i = 0; i < pathDirs.size(); ++i) {
        const QString dir = QDir(m_runs->path()).filePath(QStringLiteral("bin%1").arg(i));
        QVERIFY(QDir().mkpath(dir));
        for (const QString &name : pathDirs.at(i).split(QLatin1Char(',')))
            QVERIFY(QFile::link(QStringLiteral(ARGV_RECORDER), QDir(dir).filePath(name)));
        path.append(dir);
    }
    qputenv("PATH", QFile::encodeName(path.join(QLatin1Char(':'))));
    if (!quillanEditor)
        qunsetenv("QUILLAN_EDITOR");

    WindowRig<DownLoad> rig({}, {}, false, std::make_unique<QtEditorStart>());
    const QString chosen = workFile(QStringLiteral("chosen file.txt"));
    rig.dialog->chooseNext(chosen);
    rig.clickView();

    QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, processWaitMs);
    const QStringList argv = recordedRuns().constFirst();
    QVERIFY2(argv.constFirst().endsWith(expected), qPrintable(argv.constFirst()));
    QCOMPARE(argv.mid(1), QStringList{chosen});
}

// ---- View while a transfer runs -----------------------------------------------

void TestView::viewDuringTransfer_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QByteArray>("firstMessage"); // what Start sends
    QTest::addColumn<QByteArray>("partial");      // a reply cut short when View is pressed
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<QByteArray>("secondMessage"); // the transfer's answer to the whole reply

    QTest::newRow("Upload") << QStringLiteral("Upload") << QByteArray("READ") << QByteArray("REC-0")
                            << QByteArray("01\r") << QByteArray("REMOVE");
    QTest::newRow("DownLoad") << QStringLiteral("DownLoad") << QByteArray("DOWN") << QByteArray("AC")
                              << QByteArray("K\r") << QByteArray("line one");
}

void TestView::viewDuringTransfer()
{
    needRealEditor();
    QFETCH(QString, window);
    QFETCH(QByteArray, firstMessage);
    QFETCH(QByteArray, partial);
    QFETCH(QByteArray, rest);
    QFETCH(QByteArray, secondMessage);

    withRowWindow([&]<typename W>() {
        WindowRig<W> rig({}, manualTerminal(), false, std::make_unique<QtEditorStart>());
        QVERIFY2(rig.term.isOk(), qPrintable(rig.term.errorString()));
        // Upload writes a new file, DownLoad reads an existing one.
        const QString transferFile = workFile(window + QStringLiteral(" transfer.txt"));
        if (!rig.IsUpload)
            writeAll(transferFile, "line one\r\nline two\r\n");
        rig.start(transferFile);
        QVERIFY2(rig.box->shown.isEmpty(), qPrintable(rig.box->texts().join(QLatin1Char('|'))));
        QVERIFY(rig.transfer().underWay());
        QTRY_COMPARE(rig.term.messagesReceived(), 1);
        QVERIFY(rig.term.sendRaw(partial));
        QTRY_COMPARE(rxBuffer(*rig.window), partial);

        const SerialPort &port = *rig.port;
        const QString device = port.device();
        const qint64 records = recordCount(*rig.window);
        const QString text1 = rig.text1();

        const QString viewed = workFile(QStringLiteral("viewed.txt"));
        writeAll(viewed, "viewed\r\n");
        rig.dialog->chooseNext(viewed);
        rig.clickView();
        QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, processWaitMs);
        QCOMPARE(recordedRuns().constFirst().mid(1), QStringList{viewed});

        QVERIFY(rig.transfer().underWay());
        QVERIFY(port.isOpen());
        QCOMPARE(port.device(), device);
        QCOMPARE(rxBuffer(*rig.window), partial);
        QCOMPARE(recordCount(*rig.window), records);
        QCOMPARE(rig.text1(), text1);

        // The transfer carries on with its own file; View sent nothing to the terminal.
        QVERIFY(rig.term.sendRaw(rest));
        QTRY_COMPARE(rig.term.messagesReceived(), 2);
        const std::vector<QByteArray> messages = rig.term.receivedMessages();
        QCOMPARE(QByteArrayList(messages.begin(), messages.end()), (QByteArrayList{firstMessage, secondMessage}));
        // A record counts once saved, a line once the terminal acknowledges it.
        QCOMPARE(recordCount(*rig.window), records + (rig.IsUpload ? 1 : 0));
        if (rig.IsUpload)
            QCOMPARE(readAll(transferFile), partial + rest.chopped(1) + "\r\n");
        else
            QCOMPARE(readAll(transferFile), QByteArray("line one\r\nline two\r\n"));
        QCOMPARE(readAll(viewed), QByteArray("viewed\r\n"));
        QVERIFY(rig.box->shown.isEmpty());
        rig.window->close();
    });
}

QTEST_MAIN(TestView)
// The real dialogs: Qt reads double quotes in the name field as a list of
// names; the name typed is the name used, of a file to save or of one that
// exists to open.
void TestView::fileDialogTakesTheNameAsTyped_data()
{
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("existing"); // files there before
    const int save = FileDialog::ShowSave;
    const int open = FileDialog::ShowOpen;
    QTest::newRow("quoted word") << save << QStringLiteral("my \"quoted\" name") << QStringList{};
    QTest::newRow("inches") << save << QStringLiteral("pipe 12\" wide") << QStringList{};
    QTest::newRow("plain") << save << QStringLiteral("plain name.txt") << QStringList{};
    QTest::newRow("open: quoted word") << open << QStringLiteral("shelf \"B\" prices.txt")
                                       << QStringList{QStringLiteral("shelf \"B\" prices.txt")};
    // Qt's reading of the name is a file too: still the one typed is opened.
    QTest::newRow("open: the quoted word is a file too") << open << QStringLiteral("shelf \"C\" prices.txt")
                                                         << QStringList{QStringLiteral("shelf \"C\" prices.txt"),
                                                                        QStringLiteral("C")};
}

void TestView::fileDialogTakesTheNameAsTyped()
{
    QFETCH(int, action);
    QFETCH(QString, typed);
    QFETCH(QStringList, existing);
    for (const QString &name : existing)
        writeAll(workFile(name), "A1;10\r\n");
    QtFileDialog dialog;
    dialog.setCancelError(true);
    dialog.setFileName(workFile(QStringLiteral("start.txt")));
    bool typedIt = false;
    // Plays the user once the modal dialog is up.
    QTimer::singleShot(0, [&] {
        auto *shown = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        auto *edit = shown ? shown->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
        if (!edit)
            return;
        // Typed where the user types: Qt puts a name chosen in the list into a field without focus.
        QApplication::setActiveWindow(shown);
        edit->setFocus();
        edit->setText(typed);
        typedIt = true;
        QTest::keyClick(edit, Qt::Key_Return);
    });
    // A box Qt puts up instead of accepting is closed and kept, and a dialog
    // still open once typed into (or not typed into for 5 s) is cancelled:
    // the test fails instead of hanging.
    QStringList boxes;
    int ticks = 0;
    QTimer watchdog;
    connect(&watchdog, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            boxes.append(box->text());
        if (modal && (typedIt || ++ticks > 50))
            modal->close();
    });
    watchdog.start(100);
    const Error e = dialog.setAction(action);
    QVERIFY(typedIt);
    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join(QLatin1Char('|'))));
    QVERIFY2(e.ok(), qPrintable(e.description));
    QCOMPARE(dialog.fileName(), QDir(m_work.path()).absoluteFilePath(typed));
}

#include "tst_view.moc"
