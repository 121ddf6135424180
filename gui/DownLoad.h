#pragma once

#include "transfer/DownloadTransfer.h"
#include "gui/TransferForm.h"
#include "gui/WindowParts.h"

#include <QWidget>

// "DownLoad to terminal": sends a text file to the terminal line by line.
class DownLoad final : public QWidget, private DownloadView
{
    Q_OBJECT
public:
    DownLoad(WindowParts parts, const qint16 &comPortNumber);
    ~DownLoad() override;

    void Command1_Click();
    void Command2_Click();

    DownloadTransfer &transfer() { return *m_transfer; }
    SerialPort &MSComm1() { return *m_parts.port; }
    FileDialog &CmdFILE() { return *m_parts.dialog; }
    Timer &Timer1() { return *m_parts.timer; }
    const TransferForm &form() const { return m_form; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void setText1(const QString &text) override;

    WindowParts m_parts;
    TransferForm m_form;
    std::unique_ptr<DownloadTransfer> m_transfer;
};
