#include "gui/QtFileDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

FileDialog::Outcome QtFileDialog::show(const Request &request)
{
    QFileDialog dialog(m_parent, request.title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(request.action == ShowSave ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.action == ShowSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // A bare pattern is offered as it stands, with every file as the way out.
    dialog.setNameFilters({request.filter, QFileDialog::tr("All files (*)")});
    if (!request.fileName.isEmpty()) {
        const QFileInfo last(request.fileName);
        dialog.setDirectory(last.absolutePath());
        dialog.selectFile(last.fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {Outcome::Cancelled, {}, {}};
    // Qt reads double quotes in the name field as a list of names
    // ('my "quoted" name' gives quoted.txt): take what was typed, as typed.
    const auto *typed = dialog.findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    if (typed && typed->text().contains(QLatin1Char('"')))
        return {Outcome::Chosen, dialog.directory().absoluteFilePath(typed->text()), {}};
    return {Outcome::Chosen, dialog.selectedFiles().constFirst(), {}};
}
