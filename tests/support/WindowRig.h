#pragma once

#include "gui/DownLoad.h"
#include "gui/Module1.h"
#include "gui/Upload.h"
#include "support/ManualTerminal.h"
#include "support/ScriptedParts.h"
#include "support/TestFiles.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <type_traits>
#include <vector>

// A window's RxBuffer, record count and time-out ticks, as its dialogue keeps them.
inline QByteArray rxBuffer(const TransferWindow &window) { return window.transfer().pendingReply(); }
inline qint64 recordCount(const TransferWindow &window) { return window.transfer().count(); }
inline int timeoutTicks(const TransferWindow &window) { return window.transfer().ticks(); }

// The one way a test builds a transfer window, Upload or DownLoad: scripted
// dialogs, boxes and editor, a real serial port, the window's timer (a manual
// one unless a real one is asked for), and a simulated terminal on COM1.
// Windows the main window makes take the same parts (keptTestParts).
template <typename Window>
struct WindowRig
{
    static constexpr bool IsUpload = std::is_same_v<Window, Upload>;

    /// records: what the terminal holds. With no editor given, the window
    /// keeps the scripted one (editor).
    explicit WindowRig(std::vector<QByteArray> records = {}, simterm::Options options = {}, bool realTimer = false,
                       std::unique_ptr<EditorStart> ownEditor = nullptr)
        : WindowRig(makeTestParts(realTimer), std::move(ownEditor), std::move(records), std::move(options))
    {
    }

    /// Start, with path chosen in the file dialog.
    void start(const QString &path)
    {
        dialog->chooseNext(path);
        clickStart();
    }
    /// Start, then wait for the window's first message ("READ", "DOWN") to reach the terminal.
    bool startAwaited(const QString &path)
    {
        start(path);
        const QByteArray first = IsUpload ? "READ\r" : "DOWN\r";
        return spinUntil([&] { return term.receivedBytes() == first; }, 10000);
    }
    /// The terminal sends piece of a reply; true once the window has handled
    /// it: a whole reply answered or refused in a box, a part waiting in RxBuffer.
    bool deliver(const QByteArray &piece)
    {
        const qsizetype sent = term.receivedBytes().size();
        const qsizetype shown = box->shown.size();
        if (!term.sendRaw(piece))
            return false;
        if (piece.endsWith('\r'))
            return QTest::qWaitFor([&] { return term.receivedBytes().size() > sent || box->shown.size() > shown; });
        return QTest::qWaitFor([&] { return rxBuffer(*window).endsWith(piece); });
    }
    void clickStart() const { control<QPushButton>("Command1")->click(); }
    void clickView() const { control<QPushButton>("Command2")->click(); }
    template <typename Control> Control *control(const char *name) const
    {
        return window->template findChild<Control *>(QLatin1String(name));
    }
    QString text1() const { return control<QLineEdit>("Text1")->text(); }
    QString label2() const { return control<QLabel>("Label2")->text(); }
    auto &transfer() { return window->transfer(); }

    /// A path in dir.
    QString file(const QString &name) const { return dir.filePath(name); }
    /// A file in dir with these contents.
    QString input(const QByteArray &contents, const QString &name = QStringLiteral("in.txt")) const
    {
        writeAll(file(name), contents);
        return file(name);
    }
    /// A file for Start: DownLoad reads one with these contents, Upload writes a new one.
    QString startFile(const QString &name, const QByteArray &contents) const
    {
        return IsUpload ? file(name) : input(contents, name);
    }
    /// How often the terminal received this message.
    int sent(const QByteArray &message) const
    {
        int n = 0;
        for (const QByteArray &m : term.receivedMessages())
            n += m == message;
        return n;
    }

    QTemporaryDir dir;
    simterm::SimTerminal term;
    Module1 module;
    SerialPort *port;
    ScriptedFileDialog *dialog;
    ScriptedMessageBox *box;
    RecordingEditorStart *editor;  // null when the window got its own
    ManualTimer *timer;            // null with a real timer
    Timer *timer1;                 // the window's timer, either kind
    std::unique_ptr<Window> window;

private:
    WindowRig(TestParts t, std::unique_ptr<EditorStart> ownEditor, std::vector<QByteArray> records,
              simterm::Options options)
        : term(std::move(records), std::move(options))
        , port(t.port)
        , dialog(t.dialog)
        , box(t.box)
        , editor(ownEditor ? nullptr : t.editor)
        , timer(t.timer)
        , timer1(t.timer1)
    {
        if (ownEditor)
            t.parts.editor = std::move(ownEditor);
        module.ComPortNumber = 1;
        wireComPort(1, term.slavePath());
        window = std::make_unique<Window>(std::move(t.parts), module);
    }
};

/// The rows "Upload" and "DownLoad" of a test that runs with each window.
inline void bothWindows()
{
    QTest::addColumn<QString>("window");
    QTest::newRow("Upload") << QStringLiteral("Upload");
    QTest::newRow("DownLoad") << QStringLiteral("DownLoad");
}

/// Runs body.template operator()<Window>() with the window the row's
/// "window" column names: one test body for both windows.
template <typename Body> void withRowWindow(Body &&body)
{
    QFETCH(QString, window);
    if (window == QLatin1String("Upload"))
        body.template operator()<Upload>();
    else if (window == QLatin1String("DownLoad"))
        body.template operator()<DownLoad>();
    else
        QFAIL(qPrintable(QStringLiteral("no window \"%1\"").arg(window)));
}
