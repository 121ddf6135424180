#pragma once

#include "gui/TransferWindow.h"

#include <memory>

// "DownLoad to terminal": sends a text file to the terminal line by line.
class DownLoad final : public TransferWindow
{
    Q_OBJECT
public:
    DownLoad(WindowParts parts, Module1 &module);
    ~DownLoad() override;

    void Command1_Click();
    void Command2_Click();
    /// The window's part of a reply: the line now leaving is shown.
    void MSComm1_OnComm(const QByteArray &line);
    /// Start: choose the input file, open it and the port, announce the download.
    void DownloadFromRS232();


protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void start();
    void transferFinished(const Outcome &outcome);

};
