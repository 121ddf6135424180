#include "gui/DownLoad.h"

#include "gui/ViewCommand.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

DownLoad::DownLoad(WindowParts parts, const qint16 &comPortNumber)
    : m_parts(std::move(parts))
{
    setObjectName(QStringLiteral("DownLoad"));
    setWindowTitle(QStringLiteral("DownLoad to terminal"));
    m_form = TransferForm::build(this, 3000, QStringLiteral("0"));
    m_parts.timer->stop();
    m_parts.timer->setInterval(DownloadTransfer::TickIntervalMs);
    m_transfer = std::make_unique<DownloadTransfer>(*m_parts.port, *m_parts.dialog, *m_parts.box, static_cast<DownloadView &>(*this),
                                                    *m_parts.timer, comPortNumber);
    connect(m_form.Command1, &QPushButton::clicked, this, &DownLoad::Command1_Click);
    connect(m_form.Command2, &QPushButton::clicked, this, &DownLoad::Command2_Click);
}

DownLoad::~DownLoad() = default;

void DownLoad::Command1_Click()
{
    m_transfer->DownloadFromRS232();
}

void DownLoad::Command2_Click()
{
    runViewCommand(*m_parts.dialog, *m_parts.editor, QStringLiteral("Open download file"));
}

void DownLoad::closeEvent(QCloseEvent *event)
{
    m_transfer->abandon();
    m_form.Text1->clear();
    m_form.Label2->setText(QStringLiteral("0"));
    m_parts.dialog->setFileName(QString());
    event->accept();
}

void DownLoad::setText1(const QString &text)
{
    m_form.Text1->setText(text);
    m_form.Text1->setCursorPosition(0); // a long record shows its beginning
}
