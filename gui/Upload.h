#pragma once

#include "gui/TransferWindow.h"

#include <memory>

// "Upload from terminal": fetches the terminal's records into a text file.
class Upload final : public TransferWindow
{
    Q_OBJECT
public:
    Upload(WindowParts parts, Module1 &module);
    ~Upload() override;

    void Command1_Click();
    void Command2_Click();
    /// The window's part of a reply: the record saved is shown, and counted.
    void MSComm1_OnComm(const QByteArray &record, qint64 count);
    /// Start: choose the output file, open it and the port, ask for the first record.
    void UploadFromRS232();
    /// Something other than a folder stands at fileName, readable or not:
    /// the replace question is never skipped for a file the user cannot read.
    static bool FileExist(const QString &fileName);


protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void start();
    void transferFinished(const Outcome &outcome);

};
