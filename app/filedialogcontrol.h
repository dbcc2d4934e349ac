#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// The open and save dialogs of the transfer window. Every property is set just before a dialog
// is shown; FileName holds the chosen path afterwards, or is empty when the open dialog was
// cancelled.
class FileDialogControl
{
public:
    // Flags as the dialogs know them: 4 hides the read-only box, 2 asks before overwriting.
    static constexpr int HideReadOnly = 4;
    static constexpr int OverwritePrompt = 2;

    virtual ~FileDialogControl() = default;

    QString InitDir;
    // Empty keeps the dialog's own title.
    QString DialogTitle;
    int Flags = 0;
    QString Filter;
    bool CancelError = false;
    QString FileName;
    // Every file the open dialog chose, FileName first.
    QStringList FileNames;
    // Bytes the save dialog's place must have room for; 0 asks for no room.
    qint64 roomNeeded = 0;

    // Both run modally, inside the caller's handler. False when the user cancelled and
    // CancelError asks for a cancel to count as a failure.
    virtual bool ShowOpen(QWidget *parent);
    virtual bool ShowSave(QWidget *parent);
    // Qt's save dialog opens an existing folder instead of asking about it; this asks whether
    // files of the same name in `folder` may be replaced.
    virtual bool ConfirmMerge(QWidget *parent, const QString &folder);

    // "description|pattern|..." as Qt name filters; "*.*" matches every name here, dotless too.
    static QStringList qtNameFilters(const QString &filter);

private:
    bool show(QWidget *parent, bool save);
};
