#include "platform/QtEditorStart.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

QStringList QtEditorStart::knownEditors()
{
    return {QStringLiteral("gnome-text-editor"), QStringLiteral("gedit"),    QStringLiteral("kate"),
            QStringLiteral("kwrite"),            QStringLiteral("mousepad"), QStringLiteral("pluma"),
            QStringLiteral("xed"),               QStringLiteral("featherpad"), QStringLiteral("leafpad")};
}

QtEditorStart::Command QtEditorStart::commandFor(const QString &path)
{
#ifdef Q_OS_WIN
    // Qt writes "/" between names, but Notepad's own switches start with "/"
    // (/P prints): it gets the name with backslashes so none can pass for one.
    const QString native = QDir::toNativeSeparators(path);
    return {QStringLiteral("NOTEPAD.EXE"), native.isEmpty() ? QStringList{} : QStringList{native}};
#else
    QString program = qEnvironmentVariable("QUILLAN_EDITOR");
    if (program.isEmpty()) {
        for (const QString &name : knownEditors()) {
            program = QStandardPaths::findExecutable(name);
            if (!program.isEmpty())
                break;
        }
    }
    if (program.isEmpty())
        program = QStringLiteral("xdg-open");
    if (path.isEmpty())
        return {program, {}};
    // A name starting with "-" would read as an option; "./-x" is the same file.
    const QString argument = path.startsWith(QLatin1Char('-')) ? QStringLiteral("./") + path : path;
    return {program, {argument}};
#endif
}

Error QtEditorStart::start(const QString &path)
{
    const Command command = commandFor(path);
    QProcess process;
    process.setProgram(command.program);
#ifdef Q_OS_WIN
    // Notepad takes the rest of its command line as the name, blanks and all.
    process.setNativeArguments(command.arguments.value(0));
#else
    process.setArguments(command.arguments);
#endif
    if (!process.startDetached())
        return {Error::Kind::NotFound,
                QStringLiteral("cannot start %1: %2").arg(command.program, process.errorString())};
    return {};
}
