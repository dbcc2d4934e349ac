#include "transfer/filedialogcontrol.h"

#include <QFileDialog>
#include <QPointer>

void FileDialogControl::ShowOpen(QWidget *parent)
{
    show(parent, false);
}

void FileDialogControl::ShowSave(QWidget *parent)
{
    show(parent, true);
}

QStringList FileDialogControl::qtNameFilters(const QString &filter)
{
    const QStringList parts = filter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(u';', Qt::SkipEmptyParts);
        for (QString &pattern : patterns) {
            pattern = pattern.trimmed();
            if (pattern == u"*.*")
                pattern = QStringLiteral("*");
        }
        // The details are hidden in the dialog, so the description shows exactly as given.
        filters.append(parts[i].trimmed() + QStringLiteral(" (") + patterns.join(u' ') + u')');
    }
    return filters;
}

void FileDialogControl::show(QWidget *parent, bool save)
{
    QPointer<QFileDialog> dialog = new QFileDialog(parent);
    dialog->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog->setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog->setDirectory(InitDir);
    dialog->setOption(QFileDialog::HideNameFilterDetails);
    dialog->setOption(QFileDialog::DontConfirmOverwrite, !(Flags & OverwritePrompt));
    dialog->setOption(QFileDialog::ReadOnly, false);
    const QStringList filters = qtNameFilters(Filter);
    if (!filters.isEmpty())
        dialog->setNameFilters(filters);
    if (!FileName.isEmpty())
        dialog->selectFile(FileName);

    const bool accepted = dialog->exec() == QDialog::Accepted && dialog && !dialog->selectedFiles().isEmpty();
    FileName = accepted ? dialog->selectedFiles().constFirst() : QString();
    delete dialog;
    if (!accepted && CancelError)
        throw DialogCancelled();
}
