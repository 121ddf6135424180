#include "gui/Main.h"

#include "gui/DownLoad.h"
#include "gui/TransferForm.h"
#include "gui/Upload.h"

#include <QApplication>
#include <QEvent>
#include <QGroupBox>
#include <QPushButton>

namespace {
QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, int left, int top)
{
    auto *box = new QGroupBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(twips(left), twips(top), twips(2175), twips(975));
    QFont bold = box->font();
    bold.setBold(true);
    box->setFont(bold);
    box->setFocusPolicy(Qt::NoFocus);
    return box;
}

QPushButton *button(QWidget *parent, const char *name, const QString &caption, int left, int top, int width)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(twips(left), twips(top), twips(width), twips(375));
    return b;
}
}

Main::Main(const QString &caption, Module1 &module, WindowPartsFactory makeParts)
    : m_module(module)
    , m_makeParts(std::move(makeParts))
{
    setObjectName(QStringLiteral("Main"));
    setWindowTitle(caption);
    setFixedWindowFrame(this);
    setFixedSize(twips(5250), twips(2595));

    // Frames first: they are drawn behind the buttons inside them, which
    // belong to the window itself.
    Frame1 = frame(this, "Frame1", QStringLiteral("Start Upload"), 360, 240);
    Frame2 = frame(this, "Frame2", QStringLiteral("Start Download"), 360, 1440);
    Frame3 = frame(this, "Frame3", QStringLiteral("Toggle COM1/COM2"), 2760, 240);
    cmdUpload = button(this, "cmdUpload", QStringLiteral("&Upload"), 600, 600, 1665);
    cmdDownload = button(this, "cmdDownload", QStringLiteral("&Download"), 600, 1800, 1665);
    cmdCOMPort = button(this, "cmdCOMPort", QStringLiteral("&COM1"), 3000, 600, 1680);
    cmdCOMPort->setToolTip(QStringLiteral("Click to change COM Port"));
    Command1 = button(this, "Command1", QStringLiteral("&QUIT"), 3000, 1800, 1695);
    setTabOrder(cmdUpload, cmdDownload);
    setTabOrder(cmdDownload, cmdCOMPort);
    setTabOrder(cmdCOMPort, Command1);

    connect(cmdUpload, &QPushButton::clicked, this, &Main::cmdUpload_Click);
    connect(cmdDownload, &QPushButton::clicked, this, &Main::cmdDownload_Click);
    connect(cmdCOMPort, &QPushButton::clicked, this, &Main::cmdCOMPort_Click);
    connect(Command1, &QPushButton::clicked, this, &Main::Command1_Click);

    Form_Load();
}

Main::~Main() = default;

void Main::Form_Load()
{
    m_module.ComPortNumber = 1;
}

void Main::Form_Activate()
{
    cmdUpload->setFocus(Qt::ActiveWindowFocusReason);
}

bool Main::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate)
        Form_Activate();
    return QWidget::event(event);
}

void Main::cmdCOMPort_Click()
{
    if (m_module.ComPortNumber == 1) {
        m_module.ComPortNumber = 2;
        cmdCOMPort->setText(QStringLiteral("COM2"));
    } else {
        m_module.ComPortNumber = 1;
        cmdCOMPort->setText(QStringLiteral("COM1"));
    }
}

void Main::cmdUpload_Click()
{
    if (!m_upload)
        m_upload = std::make_unique<Upload>(m_makeParts(), m_module);
    showTransferWindow(m_upload.get());
}

void Main::cmdDownload_Click()
{
    if (!m_download)
        m_download = std::make_unique<DownLoad>(m_makeParts(), m_module);
    showTransferWindow(m_download.get());
}

void Main::Command1_Click()
{
    // At once: no question, no window's close handling. Records already
    // received are on disk; the objects release files and ports on the way out.
    QApplication::exit(0);
}

void showTransferWindow(QWidget *window)
{
    if (!window->isVisible()) {
        window->show();
        centreOnScreen(window);
    }
    window->raise();
    window->activateWindow();
}
