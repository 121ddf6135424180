#pragma once

#include "gui/Module1.h"
#include "support/ScriptedParts.h"
#include "tools/SimTerminal.h"

#include <QTemporaryDir>

class QLineEdit;

#include <memory>
#include <vector>

/// A simulated terminal that says only what the test sends with sendRaw().
inline simterm::Options manualTerminal()
{
    simterm::Options o;
    o.manual = true;
    return o;
}

// A transfer window (Upload or DownLoad) built with scripted dialogs and boxes
// and a real serial port on COM1, wired to its own simulated terminal.
template <typename Window>
struct WindowRig
{
    explicit WindowRig(std::vector<QByteArray> records = {}, simterm::Options options = {}, bool realTimer = false)
        : term(std::move(records), std::move(options))
    {
        module.ComPortNumber = 1;
        module.deviceForPort = [path = term.slavePath()](int) { return path; };
        TestParts t = makeTestParts(realTimer);
        port = t.port;
        dialog = t.dialog;
        box = t.box;
        timer = t.timer;
        timer1 = t.timer1;
        window = std::make_unique<Window>(std::move(t.parts), module);
    }

    /// Start, with path chosen in the file dialog.
    void start(const QString &path)
    {
        dialog->chooseNext(path);
        window->Command1_Click();
    }
    auto &transfer() { return window->transfer(); }
    // needs <QLineEdit> where used
    QString text1() const { return window->template findChild<QLineEdit *>(QStringLiteral("Text1"))->text(); }

    QTemporaryDir dir;
    simterm::SimTerminal term;
    Module1 module;
    SerialPort *port;
    ScriptedFileDialog *dialog;
    ScriptedMessageBox *box;
    ManualTimer *timer; // null with a real timer
    Timer *timer1;      // the window's timer, either kind
    std::unique_ptr<Window> window;
};
