#pragma once

#include "app/filedialogcontrol.h"

#include <QList>
#include <QQueue>

#include <functional>
#include <optional>

// Stands in for the person at the file dialog, in the tests, the benchmarks and the screenshot
// tool: answers from a script (an unscripted dialog is cancelled) and remembers every setting each
// dialog was shown with.
class ScriptedDialog : public FileDialogControl
{
public:
    struct Shown {
        bool save;
        QString InitDir;
        int Flags;
        QString Filter;
        bool CancelError;
        QString FileName;
        QString DialogTitle;
        bool operator==(const Shown &) const = default;
    };

    void choose(const QString &path) { answers.enqueue(path); }
    // Several files at once, in the open dialog.
    void chooseAll(const QStringList &paths) { answers.enqueue(paths.join(u'\n')); }
    // Once the script has run out, every dialog is answered with this.
    std::optional<QString> always;

    // The answer to whether an existing folder may take the bundle, and the folders asked about.
    bool mergeAnswer = false;
    QStringList merges;
    bool ConfirmMerge(QWidget *, const QString &folder) override { return merges << folder, mergeAnswer; }

    // Runs while the dialog is open; pump events in it as a modal dialog would.
    std::function<void()> whileOpen;
    QList<Shown> shown;

    bool ShowOpen(QWidget *) override { return answer(false); }
    bool ShowSave(QWidget *) override { return answer(true); }

private:
    bool answer(bool save)
    {
        shown.append({save, InitDir, Flags, Filter, CancelError, FileName, DialogTitle});
        if (whileOpen)
            whileOpen();
        const std::optional<QString> path = answers.isEmpty() ? always : answers.dequeue();
        FileNames = path ? path->split(u'\n') : QStringList();
        FileName = FileNames.value(0);
        return path || !CancelError;
    }

    QQueue<std::optional<QString>> answers;
};
