#include "gui/ViewCommand.h"

#include "platform/EditorStart.h"
#include "platform/FileDialog.h"

#include <cstdio>

void runViewCommand(FileDialog &dialog, EditorStart &editor, const QString &dialogTitle)
{
    dialog.setCancelError(true);
    dialog.setFilter(QStringLiteral("*.txt"));
    dialog.setDialogTitle(dialogTitle);
    if (dialog.setAction(FileDialog::ShowOpen).kind == Error::Kind::Cancelled)
        return;
    // Any other dialog failure still opens whatever FileName holds.
    if (Error e = editor.start(dialog.fileName())) {
        // The window shows nothing; a user who started us from a shell can see why.
        std::fprintf(stderr, "View: %s\n", qPrintable(e.description));
    }
}
