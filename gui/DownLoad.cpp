#include "gui/DownLoad.h"

#include "gui/Module1.h"
#include "gui/ViewCommand.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>

DownLoad::DownLoad(WindowParts parts, Module1 &module)
    : TransferWindow(std::move(parts), module, Outcome::Direction::Download, QStringLiteral("DownLoad to terminal"),
                     3000, QStringLiteral("0"))
{
    setObjectName(QStringLiteral("DownLoad"));
    connect(m_transfer.get(), &Transfer::lineSent, this, [this](const QByteArray &line) { MSComm1_OnComm(line); });
    connect(m_transfer.get(), &Transfer::finished, this, &DownLoad::transferFinished);
    connect(m_form.Command1, &QPushButton::clicked, this, &DownLoad::Command1_Click);
    connect(m_form.Command2, &QPushButton::clicked, this, &DownLoad::Command2_Click);
}

DownLoad::~DownLoad() = default;

void DownLoad::Command1_Click()
{
    DownloadFromRS232();
}

void DownLoad::MSComm1_OnComm(const QByteArray &line)
{
    // Label2 keeps its design caption: no step of a download changes it.
    showLater(line, -1);
}

void DownLoad::Command2_Click()
{
    runViewCommand(*m_parts.dialog, *m_parts.editor, QStringLiteral("Open download file"));
}

void DownLoad::DownloadFromRS232()
{
    // Start waits in a file dialog and maybe a box; what the port announces
    // meanwhile is handled once Start has ended, not inside it.
    runHandler([this] { start(); });
}

void DownLoad::start()
{
    if (!prepareStart(QStringLiteral("Open download file")))
        return;
    FileDialog &dialog = *m_parts.dialog;
    if (dialog.setAction(FileDialog::ShowOpen).kind == Error::Kind::Cancelled)
        return;
    if (!m_transfer->begin(dialog.fileName(), m_module.SetCommPort()))
        return; // its finished() has said why
    m_form.Text1->clear();
}

void DownLoad::transferFinished(const Outcome &outcome)
{
    reportOutcome(outcome, outcome.reply == "NAK" ? QStringLiteral("Error - NAK") : QStringLiteral("Unknown Command !!"),
                  QStringLiteral("Terminal download"));
    if (outcome.kind == Outcome::Kind::Completed)
        m_form.Text1->setText(QStringLiteral("Over !!"));
}

void DownLoad::closeEvent(QCloseEvent *event)
{
    m_transfer->stop();
    resetToDesign();
    event->accept();
}
