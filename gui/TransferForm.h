#pragma once

#include <QFont>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

/// Twips (1/1440 inch) to pixels at 96 dots per inch.
constexpr int twips(int t)
{
    return t / 15;
}

/// The font the windows are designed for (MS Sans Serif 8.25 pt, or the
/// nearest sans-serif face the system has).
QFont designFont();

/// A label keeps its designed place; it grows only where the system's font
/// is wider than the designed one, so its caption is never cut.
void fitLabel(class QLabel *label);

/// A fixed-size window: no maximise box, as designed.
void setFixedWindowFrame(QWidget *window);

/// Moves a top-level window to the centre of its screen.
void centreOnScreen(QWidget *window);

// The controls both transfer windows are designed with.
struct TransferForm
{
    QLineEdit *Text1;
    QPushButton *Command1;
    QPushButton *Command2;
    QLabel *Label1;
    QLabel *Label2;

    /// Builds the controls on window, whose client area is 4170 x 1140 twips.
    static TransferForm build(QWidget *window, int command1Left, const QString &label2Caption);
};
