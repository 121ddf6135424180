#include "Main.h"
#include "Module1.h"
#include "QtWindowParts.h"
#include "TransferForm.h"

#include <QApplication>
#include <QFont>

#include <csignal>

int main(int argc, char *argv[])
{
#ifdef SIGXFSZ
    // Past a file size limit a write should fail and be reported, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(QUILLAN_APP_NAME));
    QApplication::setApplicationVersion(QStringLiteral(QUILLAN_VERSION));
    // Lets the desktop match the windows to the installed desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUILLAN_DESKTOP_ID));
    QApplication::setFont(designFont());

    Module1 module;
    Main window(QStringLiteral(QUILLAN_CAPTION), module, makeQtWindowParts);
    window.show();
    centreOnScreen(&window);
    return QApplication::exec();
}
