#include "support/ScriptedParts.h"

#include "link/QtSerialPort.h"

#include <QTest>

FileDialog::Choice ScriptedFileDialog::show(const Request &request)
{
    shown.append(request);
    if (m_answers.empty()) {
        ++unexpected;
        // Fails the test here, where the dialog appeared, not at some later check.
        QTest::qFail(qPrintable(QStringLiteral("unscripted file dialog \"%1\"").arg(request.title)), __FILE__, __LINE__);
        return {Choice::Cancelled, {}, {}};
    }
    Choice o = m_answers.front();
    m_answers.pop_front();
    return o;
}

MessageBox::Answer ScriptedMessageBox::show(const Request &request)
{
    shown.append(request);
    ++open;
    mostOpenAtOnce = qMax(mostOpenAtOnce, open);
    if (onShow)
        onShow(request);
    --open;
    if (m_answers.empty()) {
        // A box with one button has one answer; a question must be scripted.
        if (request.buttons == Buttons::YesNo)
            QTest::qFail(qPrintable(QStringLiteral("unscripted question \"%1\"").arg(request.text)), __FILE__, __LINE__);
        return request.buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
    }
    const Answer a = m_answers.front();
    m_answers.pop_front();
    return a;
}

QStringList ScriptedMessageBox::texts() const
{
    QStringList t;
    for (const Request &r : shown)
        t.append(r.text);
    return t;
}

TestParts makeTestParts(bool realTimer)
{
    TestParts t;
    auto port = std::make_unique<QtSerialPort>();
    auto dialog = std::make_unique<ScriptedFileDialog>();
    auto box = std::make_unique<ScriptedMessageBox>();
    auto editor = std::make_unique<RecordingEditorStart>();
    t.port = port.get();
    t.dialog = dialog.get();
    t.box = box.get();
    t.editor = editor.get();
    t.timer = nullptr;
    if (realTimer) {
        t.parts.timer = std::make_unique<QtTimer>();
    } else {
        auto timer = std::make_unique<ManualTimer>();
        t.timer = timer.get();
        t.parts.timer = std::move(timer);
    }
    t.timer1 = t.parts.timer.get();
    t.parts.port = std::move(port);
    t.parts.dialog = std::move(dialog);
    t.parts.box = std::move(box);
    t.parts.editor = std::move(editor);
    return t;
}

WindowPartsFactory keptTestParts(std::vector<TestParts> &made, bool realTimer)
{
    return [&made, realTimer] {
        TestParts t = makeTestParts(realTimer);
        WindowParts parts = std::move(t.parts);
        made.push_back(std::move(t));
        return parts;
    };
}
