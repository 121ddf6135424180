#include "gui/QtMessageBox.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QSpacerItem>
#include <QMessageBox>
#include <QRegularExpression>

QString QtMessageBox::breakable(const QString &text)
{
    // Word wrap breaks only at blanks; a long path has none, and the box would
    // grow past the screen or cut it. A zero-width space after each separator
    // of a long word gives the wrap its places, and shows nothing.
    static const QRegularExpression longWord(QStringLiteral("\\S{%1,}").arg(LongWord));
    QString out;
    qsizetype last = 0;
    auto it = longWord.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += text.mid(last, m.capturedStart() - last);
        int sinceBreak = 0;
        for (const QChar c : m.captured()) {
            out += c;
            // After a separator, and inside a long name that has none.
            if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char('_') || c == QLatin1Char('-')
                || c == QLatin1Char('.') || ++sinceBreak == LongWord) {
                out += QChar(0x200B);
                sinceBreak = 0;
            }
        }
        last = m.capturedEnd();
    }
    out += text.mid(last);
    return out;
}

std::unique_ptr<QMessageBox> QtMessageBox::build(const Request &request) const
{
    auto box = std::make_unique<QMessageBox>(m_parent);
    box->setWindowTitle(request.title.isEmpty() ? QCoreApplication::applicationName() : request.title);
    // Texts are shown exactly as given, never as rich text.
    box->setTextFormat(Qt::PlainText);
    box->setText(breakable(request.text));
    // Long paths wrap instead of widening the box past the screen or being cut.
    if (auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label")))
        label->setWordWrap(true);
    switch (request.icon) {
    case Icon::None: box->setIcon(QMessageBox::NoIcon); break;
    case Icon::Information: box->setIcon(QMessageBox::Information); break;
    case Icon::Critical: box->setIcon(QMessageBox::Critical); break;
    }
    if (request.buttons == Buttons::YesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(request.defaultAnswer == Answer::No ? QMessageBox::No : QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
    }
    // A short text makes a narrow box whose title the window manager cuts
    // ("Inf…ion"); keep room for the whole title.
    if (auto *grid = qobject_cast<QGridLayout *>(box->layout())) {
        const int titleWidth = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar"))
                                   .horizontalAdvance(box->windowTitle());
        grid->addItem(new QSpacerItem(titleWidth + 120, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    return box;
}

MessageBox::Answer QtMessageBox::show(const Request &request)
{
    const auto box = build(request);
    const int result = box->exec();
    if (request.buttons == Buttons::YesNo)
        return result == QMessageBox::Yes ? Answer::Yes : Answer::No;
    return Answer::Ok;
}
