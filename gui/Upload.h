#pragma once

#include "gui/TransferForm.h"
#include "transfer/UploadTransfer.h"
#include "gui/WindowParts.h"

#include <QWidget>

// "Upload from terminal": fetches the terminal's records into a text file.
class Upload final : public QWidget, private UploadView
{
    Q_OBJECT
public:
    Upload(WindowParts parts, const qint16 &comPortNumber);
    ~Upload() override;

    void Command1_Click();
    void Command2_Click();

    UploadTransfer &transfer() { return *m_transfer; }
    SerialPort &MSComm1() { return *m_parts.port; }
    FileDialog &CmdFILE() { return *m_parts.dialog; }
    const TransferForm &form() const { return m_form; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void setText1(const QString &text) override;
    void setLabel2(const QString &text) override;

    WindowParts m_parts;
    TransferForm m_form;
    std::unique_ptr<UploadTransfer> m_transfer;
};
