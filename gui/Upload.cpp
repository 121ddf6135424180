#include "gui/Upload.h"

#include "gui/ViewCommand.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
const QString label2Design; // the record count shows nothing until a transfer counts
}

Upload::Upload(WindowParts parts, const qint16 &comPortNumber)
    : m_parts(std::move(parts))
{
    setObjectName(QStringLiteral("Upload"));
    setWindowTitle(QStringLiteral("Upload from terminal"));
    m_form = TransferForm::build(this, 3015, label2Design);
    m_transfer = std::make_unique<UploadTransfer>(*m_parts.port, *m_parts.dialog, *m_parts.box, static_cast<UploadView &>(*this),
                                                  comPortNumber);
    connect(m_form.Command1, &QPushButton::clicked, this, &Upload::Command1_Click);
    connect(m_form.Command2, &QPushButton::clicked, this, &Upload::Command2_Click);
}

Upload::~Upload() = default;

void Upload::Command1_Click()
{
    m_transfer->UploadFromRS232();
}

void Upload::Command2_Click()
{
    runViewCommand(*m_parts.dialog, *m_parts.editor, QStringLiteral("Open File"));
}

void Upload::closeEvent(QCloseEvent *event)
{
    // Closing gives the port and the file back; the window comes back as
    // designed, while the transfer's values stay with the window object.
    m_transfer->abandon();
    m_form.Text1->clear();
    m_form.Label2->setText(label2Design);
    m_parts.dialog->setFileName(QString());
    event->accept();
}

void Upload::setText1(const QString &text)
{
    m_form.Text1->setText(text);
    m_form.Text1->setCursorPosition(0); // a long record shows its beginning
}

void Upload::setLabel2(const QString &text)
{
    m_form.Label2->setText(text);
}
