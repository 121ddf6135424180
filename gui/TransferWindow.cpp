#include "gui/TransferWindow.h"

#include "gui/Module1.h"
#include "wording/Messages.h"

#include <QLabel>
#include <QLineEdit>
#include <QStringDecoder>

QString displayText(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::System, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return QString::fromLatin1(bytes);
    return text;
}

TransferWindow::TransferWindow(WindowParts parts, Module1 &module, Outcome::Direction direction, const QString &title,
                               int command1Left, const QString &label2Caption)
    : m_parts(std::move(parts))
    , m_module(module)
    , m_transfer(std::make_unique<Transfer>(direction, Transfer::Policy::Window, *m_parts.port, m_parts.timer.get()))
    , m_gate(*m_transfer)
    , m_label2Design(label2Caption)
{
    setWindowTitle(title);
    m_form = TransferForm::build(this, command1Left, label2Caption);
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(RefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &TransferWindow::refreshNow);
}

TransferWindow::~TransferWindow() = default;

void TransferWindow::showLater(const QByteArray &text1, qint64 count)
{
    m_pendingText1 = text1;
    m_pendingCount = count;
    m_pending = true;
    if (!m_refresh.isActive())
        m_refresh.start();
}

void TransferWindow::refreshNow()
{
    m_refresh.stop();
    if (!m_pending)
        return;
    m_pending = false;
    m_form.Text1->setText(displayText(m_pendingText1));
    m_form.Text1->setCursorPosition(0); // a long record shows its beginning
    if (m_pendingCount >= 0) {
        m_form.Label2->setText(QString::number(m_pendingCount));
        fitLabel(m_form.Label2); // a count of many digits shows whole
    }
}

bool TransferWindow::prepareStart(const QString &title)
{
    Transfer &transfer = *m_transfer;
    if (transfer.underWay() && !transfer.halted()) {
        const PortTarget running = transfer.target();
        const QString port = running.number > 0 ? comName(running.number) : running.device;
        MessageBox::Request question{tr("A transfer is in progress on %1. Stop it and start a new one?").arg(port),
                                     {}, MessageBox::Buttons::YesNo, MessageBox::Icon::None};
        question.defaultAnswer = MessageBox::Answer::No;
        if (m_parts.box->show(question) != MessageBox::Answer::Yes)
            return false;
        transfer.stop();
    }
    m_parts.dialog->setCancelError(true);
    m_parts.dialog->setFilter(QStringLiteral("*.txt"));
    m_parts.dialog->setDialogTitle(title);
    return true;
}

void TransferWindow::reportOutcome(const Outcome &outcome, const QString &refusal, const QString &timeoutTitle)
{
    refreshNow();
    using Kind = Outcome::Kind;
    // The windows' own port is held by the other window: only it can be.
    const QString own = Messages::ending(
        outcome, tr("The other transfer window of this program has %1 open: let its transfer finish or stop it there, "
                    "then try again."));
    switch (outcome.kind) {
    case Kind::Stopped:
    case Kind::Completed:
        return;
    case Kind::Refused:
        m_parts.box->show({own.isEmpty() ? refusal : own, {}, MessageBox::Buttons::Ok, MessageBox::Icon::None});
        return;
    case Kind::TimedOut:
        m_parts.box->show({own.isEmpty() ? QStringLiteral("Timed Out !!") : own, timeoutTitle,
                           MessageBox::Buttons::Ok, MessageBox::Icon::None});
        return;
    case Kind::Lost:
    case Kind::FileError:
    case Kind::PortError:
        m_parts.box->show({own, {}, MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        return;
    }
}

void TransferWindow::resetToDesign()
{
    m_refresh.stop();
    m_pending = false;
    m_form.Text1->clear();
    m_form.Label2->setText(m_label2Design);
    m_parts.dialog->setFileName(QString());
}
