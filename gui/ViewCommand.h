#pragma once

#include <QString>

class EditorStart;
class FileDialog;

/// View: lets the user pick a text file and opens it in the plain-text
/// editor, without waiting for it. Cancel starts nothing; no failure is shown.
void runViewCommand(FileDialog &dialog, EditorStart &editor, const QString &dialogTitle);
