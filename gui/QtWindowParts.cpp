#include "gui/QtWindowParts.h"

#include "platform/QtEditorStart.h"
#include "gui/QtFileDialog.h"
#include "gui/QtMessageBox.h"
#include "link/QtSerialPort.h"

WindowParts makeQtWindowParts()
{
    WindowParts parts;
    parts.port = std::make_unique<QtSerialPort>();
    parts.dialog = std::make_unique<QtFileDialog>();
    parts.box = std::make_unique<QtMessageBox>();
    parts.editor = std::make_unique<QtEditorStart>();
    parts.timer = std::make_unique<QtTimer>();
    return parts;
}
