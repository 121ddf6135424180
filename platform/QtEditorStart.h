#pragma once

#include "platform/EditorStart.h"

#include <QStringList>

// Starts a plain-text editor as a separate process. On Windows that is
// NOTEPAD.EXE with the path as the rest of its command line; elsewhere the
// program in $QUILLAN_EDITOR, else the first graphical text editor on the
// PATH, else the desktop's default application (xdg-open).
class QtEditorStart final : public EditorStart
{
public:
    Error start(const QString &path) override;

    struct Command
    {
        QString program;
        QStringList arguments;
    };
    /// The program and arguments start() would run for path.
    static Command commandFor(const QString &path);
    static QStringList knownEditors();
};
