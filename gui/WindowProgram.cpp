#include "gui/WindowProgram.h"

#include "gui/Main.h"
#include "gui/Module1.h"
#include "gui/QtWindowParts.h"
#include "gui/TransferForm.h"
#include "platform/ProcessSetup.h"

#include <QApplication>

int runWindowProgram(int argc, char *argv[], const WindowProgram &program)
{
    setUpProcess();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(program.name));
    QApplication::setApplicationVersion(QString::fromUtf8(program.version));
    // Lets the desktop match the windows to the installed desktop entry.
    QGuiApplication::setDesktopFileName(QString::fromUtf8(program.desktopId));
    QApplication::setFont(designFont());

    Module1 module;
    Main window(QString::fromUtf8(program.caption), module, makeQtWindowParts);
    window.show();
    centreOnScreen(&window);
    return QApplication::exec();
}
