#include "gui/QtFileDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

namespace {
// Qt reads double quotes in the name field as a list of names ('shelf "B"
// prices.txt' is B) and checks, or saves, that one. A name typed with
// quotes is taken as typed: to save, or to open when it names a file.
class TypedNameDialog final : public QFileDialog
{
public:
    using QFileDialog::QFileDialog;

    QString typedPath() const { return m_typedPath; }

    void accept() override
    {
        const auto *edit = findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (edit && edit->text().contains(QLatin1Char('"'))) {
            const QFileInfo typed(directory().absoluteFilePath(edit->text()));
            if (typed.isDir() ? false : fileMode() == AnyFile || typed.isFile()) {
                m_typedPath = typed.absoluteFilePath();
                QDialog::accept();
                return;
            }
        }
        QFileDialog::accept();
    }

private:
    QString m_typedPath;
};
} // namespace

FileDialog::Choice QtFileDialog::show(const Request &request)
{
    TypedNameDialog dialog(m_parent, request.title);
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
    if (dialog.exec() != QDialog::Accepted)
        return {Choice::Cancelled, {}, {}};
    if (!dialog.typedPath().isEmpty())
        return {Choice::Chosen, dialog.typedPath(), {}};
    if (dialog.selectedFiles().isEmpty())
        return {Choice::Cancelled, {}, {}};
    return {Choice::Chosen, dialog.selectedFiles().constFirst(), {}};
}
