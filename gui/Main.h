#pragma once

#include "gui/Module1.h"
#include "gui/WindowParts.h"

#include <QWidget>

#include <memory>

class DownLoad;
class QGroupBox;
class QPushButton;
class Upload;

// The main window: chooses the COM port and opens the two transfer windows.
class Main final : public QWidget
{
    Q_OBJECT
public:
    Main(const QString &caption, Module1 &module, WindowPartsFactory makeParts);
    ~Main() override;

    void Form_Load();
    void Form_Activate();
    void cmdCOMPort_Click();
    void cmdUpload_Click();
    void cmdDownload_Click();
    void Command1_Click();

    QPushButton *cmdUpload;
    QPushButton *cmdDownload;
    QPushButton *cmdCOMPort;
    QPushButton *Command1;
    QGroupBox *Frame1;
    QGroupBox *Frame2;
    QGroupBox *Frame3;

    /// The transfer windows, once their buttons have created them.
    Upload *uploadWindow() const { return m_upload.get(); }
    DownLoad *downloadWindow() const { return m_download.get(); }

protected:
    bool event(QEvent *event) override;

private:
    Module1 &m_module;
    WindowPartsFactory m_makeParts;
    std::unique_ptr<Upload> m_upload;
    std::unique_ptr<DownLoad> m_download;
};

/// Shows a transfer window modeless and unowned: centred when it comes up,
/// only raised and activated when it is already on screen.
void showTransferWindow(QWidget *window);
