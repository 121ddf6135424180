#include "gui/TransferForm.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

QFont designFont()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    return font;
}

void fitLabel(QLabel *label)
{
    const int needed = label->sizeHint().width();
    if (needed > label->width())
        label->resize(needed, label->height());
}

void setFixedWindowFrame(QWidget *window)
{
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

void centreOnScreen(QWidget *window)
{
    QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

TransferForm TransferForm::build(QWidget *window, int command1Left, const QString &label2Caption)
{
    setFixedWindowFrame(window);
    window->setFixedSize(twips(4170), twips(1140));
    TransferForm f;
    f.Text1 = new QLineEdit(window);
    f.Text1->setObjectName(QStringLiteral("Text1"));
    f.Text1->setGeometry(twips(240), twips(120), twips(2640), twips(375));
    f.Text1->setReadOnly(true);
    f.Command1 = new QPushButton(QStringLiteral("&Start"), window);
    f.Command1->setObjectName(QStringLiteral("Command1"));
    f.Command1->setGeometry(twips(command1Left), twips(120), twips(960), twips(375));
    f.Command2 = new QPushButton(QStringLiteral("&View"), window);
    f.Command2->setObjectName(QStringLiteral("Command2"));
    f.Command2->setGeometry(twips(3000), twips(600), twips(960), twips(375));
    f.Label1 = new QLabel(QStringLiteral("Records :"), window);
    f.Label1->setObjectName(QStringLiteral("Label1"));
    f.Label1->setGeometry(twips(600), twips(720), twips(735), twips(375));
    f.Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    f.Label2 = new QLabel(label2Caption, window);
    f.Label2->setObjectName(QStringLiteral("Label2"));
    f.Label2->setGeometry(twips(1440), twips(720), twips(495), twips(375));
    f.Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fitLabel(f.Label1);
    QWidget::setTabOrder(f.Text1, f.Command1);
    QWidget::setTabOrder(f.Command1, f.Command2);
    return f;
}
