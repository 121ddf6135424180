#include "gui/Upload.h"

#include "gui/Module1.h"
#include "gui/ViewCommand.h"
#include "storage/NameInUse.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

Upload::Upload(WindowParts parts, Module1 &module)
    // The record count shows nothing until a transfer counts.
    : TransferWindow(std::move(parts), module, Outcome::Direction::Upload, QStringLiteral("Upload from terminal"), 3015,
                     QString())
{
    setObjectName(QStringLiteral("Upload"));
    connect(m_transfer.get(), &Transfer::recordSaved, this, &Upload::MSComm1_OnComm);
    connect(m_transfer.get(), &Transfer::finished, this, &Upload::transferFinished);
    connect(m_form.Command1, &QPushButton::clicked, this, &Upload::Command1_Click);
    connect(m_form.Command2, &QPushButton::clicked, this, &Upload::Command2_Click);
}

Upload::~Upload() = default;

void Upload::Command1_Click()
{
    UploadFromRS232();
}

void Upload::MSComm1_OnComm(const QByteArray &record, qint64 count)
{
    showLater(record, count);
}

void Upload::Command2_Click()
{
    runViewCommand(*m_parts.dialog, *m_parts.editor, QStringLiteral("Open File"));
}

void Upload::UploadFromRS232()
{
    // Start waits in a file dialog and maybe a box; what the port announces
    // meanwhile is handled once Start has ended, not inside it.
    runHandler([this] { start(); });
}

void Upload::start()
{
    if (!prepareStart(QStringLiteral("Save Files")))
        return;
    FileDialog &dialog = *m_parts.dialog;
    if (dialog.setAction(FileDialog::ShowSave))
        return;

    QString path = dialog.fileName();
    if (!path.contains(QLatin1Char('.'))) {
        path += QStringLiteral(".txt");
        dialog.setFileName(path);
    }

    RecordFile::Mode mode = RecordFile::Mode::Create;
    if (FileExist(path)) {
        const auto answer = m_parts.box->show({QStringLiteral("File exists !! Replace file?? "), QStringLiteral("Warning"),
                                               MessageBox::Buttons::YesNo, MessageBox::Icon::Information});
        if (answer != MessageBox::Answer::Yes)
            return;
        // The old file is kept as NAME.bak: it may hold the only copy of
        // records the terminal has already deleted.
        mode = RecordFile::Mode::Replace;
    }

    if (!m_transfer->begin(path, m_module.SetCommPort(), mode))
        return; // its finished() has said why
    m_form.Text1->clear();
}

void Upload::transferFinished(const Outcome &outcome)
{
    reportOutcome(outcome, QStringLiteral("error"), QStringLiteral("Terminal upload"));
    if (outcome.kind != Outcome::Kind::Completed)
        return;
    m_form.Label2->setText(QString::number(outcome.count));
    fitLabel(m_form.Label2);
    const QString said = outcome.count == 0 ? QStringLiteral("NO Data Received !!")
                                            : QString::number(outcome.count) + QStringLiteral(" records received !!");
    m_parts.box->show({said, QStringLiteral("Information"), MessageBox::Buttons::Ok,
                       outcome.count == 0 ? MessageBox::Icon::Information : MessageBox::Icon::None});
}

bool Upload::FileExist(const QString &fileName)
{
    return nameInUse(fileName);
}

void Upload::closeEvent(QCloseEvent *event)
{
    // Closing gives the port and the file back; the window comes back as
    // designed, while the transfer's values stay with the window object.
    m_transfer->stop();
    resetToDesign();
    event->accept();
}
