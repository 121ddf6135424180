#pragma once

#include "gui/DownLoad.h"
#include "gui/Module1.h"
#include "gui/Upload.h"
#include "support/ManualTerminal.h"
#include "support/ScriptedParts.h"
#include "support/TestFiles.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <memory>
#include <type_traits>
#include <vector>

// The one way a test builds a transfer window, Upload or DownLoad: scripted
// dialogs, boxes and editor, a real serial port, the window's timer (a manual
// one unless a real one is asked for). Windows the main window makes take the
// same parts (makeTestParts).
struct TestWindow
{
    /// which: "Upload" or "DownLoad". With no editor given, the window keeps the scripted one (t.editor).
    TestWindow(const QString &which, Module1 &module, bool realTimer = false,
               std::unique_ptr<EditorStart> editor = nullptr)
        : t(makeTestParts(realTimer))
    {
        if (editor) {
            t.parts.editor = std::move(editor);
            t.editor = nullptr;
        }
        if (which == QLatin1String("Upload")) {
            auto u = std::make_unique<Upload>(std::move(t.parts), module);
            upload = u.get();
            widget = std::move(u);
        } else {
            auto d = std::make_unique<DownLoad>(std::move(t.parts), module);
            download = d.get();
            widget = std::move(d);
        }
    }

    template <typename Control> Control *control(const char *name) const
    {
        return widget->findChild<Control *>(QLatin1String(name));
    }
    void clickStart() const { control<QPushButton>("Command1")->click(); }
    void clickView() const { control<QPushButton>("Command2")->click(); }
    QString text1() const { return control<QLineEdit>("Text1")->text(); }
    const Dialogue &dialogue() const
    {
        if (upload)
            return upload->transfer();
        return download->transfer();
    }
    const TransferWindow &window() const { return *static_cast<const TransferWindow *>(widget.get()); }
    QByteArray rxBuffer() const { return window().RxBuffer(); }
    qint64 recordCount() const { return window().RecordCount(); }
    Dialogue::State state() const { return dialogue().state(); }
    bool running() const { return dialogue().underWay(); }
    bool inProgress() const { return dialogue().underWay() && !dialogue().halted(); }

    TestParts t;
    std::unique_ptr<QWidget> widget;
    Upload *upload = nullptr;
    DownLoad *download = nullptr;
};

// A transfer window on COM1, wired to its own simulated terminal.
struct TerminalRig
{
    TerminalRig(const QString &which, std::vector<QByteArray> records = {}, simterm::Options options = {},
                bool realTimer = false)
        : term(std::move(records), std::move(options))
        , w(which, module, realTimer)
        , port(w.t.port)
        , dialog(w.t.dialog)
        , box(w.t.box)
        , timer(w.t.timer)
        , timer1(w.t.timer1)
    {
        module.ComPortNumber = 1;
        wireComPort(1, term.slavePath());
    }

    /// Start, with path chosen in the file dialog.
    void start(const QString &path)
    {
        dialog->chooseNext(path);
        w.clickStart();
    }
    QString text1() const { return w.text1(); }

    QTemporaryDir dir;
    simterm::SimTerminal term;
    Module1 module;
    TestWindow w;
    SerialPort *port;
    ScriptedFileDialog *dialog;
    ScriptedMessageBox *box;
    ManualTimer *timer; // null with a real timer
    Timer *timer1;      // the window's timer, either kind
};

// The same, for a test of one kind of window.
template <typename Window>
struct WindowRig : TerminalRig
{
    explicit WindowRig(std::vector<QByteArray> records = {}, simterm::Options options = {}, bool realTimer = false)
        : TerminalRig(std::is_same_v<Window, Upload> ? QStringLiteral("Upload") : QStringLiteral("DownLoad"),
                      std::move(records), std::move(options), realTimer)
        , window(static_cast<Window *>(w.widget.get()))
    {
    }
    auto &transfer() { return window->transfer(); }

    Window *window;
};
