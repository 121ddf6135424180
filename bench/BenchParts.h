// Headless stand-ins for the windows' parts, so a transfer runs exactly as in
// the program but without widgets and without a person answering boxes.
#pragma once

#include "transfer/DownloadTransfer.h"
#include "platform/FileDialog.h"
#include "platform/MessageBox.h"
#include "transfer/UploadTransfer.h"

#include <QList>

#include <functional>

class FixedFileDialog final : public FileDialog
{
public:
    explicit FixedFileDialog(QString path) : m_path(std::move(path)) {}

protected:
    Outcome show(const Request &) override { return {Outcome::Chosen, m_path, {}}; }

private:
    QString m_path;
};

// Answers Yes to questions and OK to the rest; every box is kept, and
// onShow runs while it is "open" (the bench ends its event loop there).
class RecordingMessageBox final : public MessageBox
{
public:
    Answer show(const Request &request) override
    {
        shown.append(request.text);
        if (onShow)
            onShow(request);
        return request.buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
    }
    QStringList shown;
    std::function<void(const Request &)> onShow;
};

class CallbackUploadView final : public UploadView
{
public:
    void setText1(const QString &) override {}
    void setLabel2(const QString &) override
    {
        if (onCount)
            onCount();
    }
    std::function<void()> onCount;
};

class CallbackDownloadView final : public DownloadView
{
public:
    void setText1(const QString &text) override
    {
        if (onText)
            onText(text);
    }
    std::function<void(const QString &)> onText;
};
