#pragma once

#include "platform/EditorStart.h"
#include "platform/FileDialog.h"
#include "platform/MessageBox.h"
#include "platform/Timer.h"
#include "gui/WindowParts.h"

#include <QList>
#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

// A file dialog whose answers the test queues. Showing it with nothing queued
// fails the running test where it happens, and is answered with Cancel.
class ScriptedFileDialog final : public FileDialog
{
public:
    void chooseNext(const QString &path) { m_answers.push_back({Choice::Chosen, path, {}}); }
    void cancelNext() { m_answers.push_back({Choice::Cancelled, {}, {}}); }
    void failNext(const Error &e) { m_answers.push_back({Choice::Failed, {}, e}); }

    QList<Request> shown;
    int unexpected = 0;

protected:
    Choice show(const Request &request) override;

private:
    std::deque<Choice> m_answers;
};

// Message boxes answered by the test. A question (Yes/No) the test did not
// script fails the running test where it is asked; a box with only OK is
// acknowledged, and the test checks its text. Each box is recorded; onShow, when set,
// runs while the box is "open" (to let the event loop deliver what a real
// modal box would let through) and gives the answer.
class ScriptedMessageBox final : public MessageBox
{
public:
    Answer show(const Request &request) override;

    void answerNext(Answer a) { m_answers.push_back(a); }
    std::function<void(const Request &)> onShow;

    QList<Request> shown;
    QStringList texts() const;
    int open = 0;         // boxes open right now
    int mostOpenAtOnce = 0;

private:
    std::deque<Answer> m_answers;
};

// A timer the test fires by hand.
class ManualTimer final : public Timer
{
public:
    void setInterval(int ms) override { m_interval = ms; }
    int interval() const override { return m_interval; }
    void setSingleShot(bool once) override { m_singleShot = once; }
    void start() override { m_active = true; ++starts; }
    void stop() override { m_active = false; }
    bool isActive() const override { return m_active; }
    /// One tick, as the real timer would deliver it while active.
    void fire()
    {
        if (!m_active)
            return;
        m_active = !m_singleShot;
        Q_EMIT tick();
    }
    int starts = 0;

private:
    int m_interval = 0;
    bool m_active = false;
    bool m_singleShot = false;
};

class RecordingEditorStart final : public EditorStart
{
public:
    Error start(const QString &path) override
    {
        started.append(path);
        return result;
    }
    QStringList started;
    Error result;
};

// A transfer window's parts with a real serial port and scripted others; the
// raw pointers stay valid while the window that took the parts lives.
struct TestParts
{
    WindowParts parts;
    SerialPort *port;
    ScriptedFileDialog *dialog;
    ScriptedMessageBox *box;
    RecordingEditorStart *editor;
    ManualTimer *timer;  // null when a real timer was asked for
    Timer *timer1;       // the window's timer, either kind
};
TestParts makeTestParts(bool realTimer = false);
/// Test parts for each window a main window makes, each kept in made, in order.
WindowPartsFactory keptTestParts(std::vector<TestParts> &made, bool realTimer = false);
