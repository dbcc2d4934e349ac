#include "app/filedialogcontrol.h"

#include "transfer/saveplace.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>

namespace {
const char CannotCreateHere[] = "You cannot create files in this folder.";
const char CannotReplace[] = "You cannot replace this file.";
const char NoRoom[] = "There is not enough free space in this folder.";

// A save dialog stays open until it holds a place the file can really be written to.
class FileDialog : public QFileDialog
{
public:
    FileDialog(QWidget *parent, qint64 roomNeeded)
        : QFileDialog(parent)
        , m_roomNeeded(roomNeeded)
    {
    }

    // False, after telling the user, when `path` cannot take the file.
    bool usable(const QString &path)
    {
        const char *refusal = nullptr;
        if (!SavePlace::canCreate(path))
            refusal = QFileInfo::exists(path) ? CannotReplace : CannotCreateHere;
        else if (!SavePlace::hasRoom(path, m_roomNeeded))
            refusal = NoRoom;
        if (!refusal)
            return true;
        QMessageBox::warning(this, windowTitle(), QString::fromLatin1(refusal), QMessageBox::Ok, QMessageBox::Ok);
        return false;
    }

    // A dialog drawn by the desktop has closed before its choice reaches us: that choice is
    // checked after exec(), and the dialog shown again when it is refused.
    bool native() const { return testAttribute(Qt::WA_DontShowOnScreen); }

    void accept() override
    {
        const QStringList files = selectedFiles();
        if (acceptMode() == AcceptSave && !native() && !files.isEmpty() && !QFileInfo(files.first()).isDir()
            && !usable(files.first()))
            return;
        QFileDialog::accept();
    }

private:
    qint64 m_roomNeeded;
};
}

bool FileDialogControl::ShowOpen(QWidget *parent)
{
    return show(parent, false);
}

bool FileDialogControl::ShowSave(QWidget *parent)
{
    return show(parent, true);
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

bool FileDialogControl::ConfirmMerge(QWidget *parent, const QString &folder)
{
    const QString text = QStringLiteral("A folder named \"%1\" already exists. Replace the files of the same name in it?")
                             .arg(QFileInfo(folder).fileName());
    return QMessageBox::question(parent, DialogTitle, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
           == QMessageBox::Yes;
}

bool FileDialogControl::show(QWidget *parent, bool save)
{
    QPointer<FileDialog> dialog = new FileDialog(parent, save ? roomNeeded : 0);
    if (!DialogTitle.isEmpty())
        dialog->setWindowTitle(DialogTitle);
    dialog->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog->setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFiles);
    dialog->setDirectory(InitDir);
    dialog->setOption(QFileDialog::HideNameFilterDetails);
    dialog->setOption(QFileDialog::DontConfirmOverwrite, !(Flags & OverwritePrompt));
    dialog->setOption(QFileDialog::ReadOnly, false);
    const QStringList filters = qtNameFilters(Filter);
    if (!filters.isEmpty())
        dialog->setNameFilters(filters);
    if (!FileName.isEmpty())
        dialog->selectFile(FileName);

    bool accepted = false;
    for (;;) {
        accepted = dialog->exec() == QDialog::Accepted && dialog && !dialog->selectedFiles().isEmpty();
        if (!accepted || !save || !dialog->native() || dialog->usable(dialog->selectedFiles().constFirst()))
            break;
    }
    FileNames = accepted ? dialog->selectedFiles() : QStringList();
    FileName = FileNames.value(0);
    delete dialog;
    return accepted || !CancelError;
}
