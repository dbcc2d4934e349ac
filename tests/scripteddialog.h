#pragma once

#include "transfer/filedialogcontrol.h"

#include <QList>
#include <QQueue>

#include <functional>
#include <optional>

// Stands in for the person at the file dialog: answers from a script (an unscripted dialog is
// cancelled) and remembers every setting each dialog was shown with.
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
        const std::optional<QString> path = answers.isEmpty() ? std::nullopt : answers.dequeue();
        FileName = path.value_or(QString());
        return path || !CancelError;
    }

    QQueue<std::optional<QString>> answers;
};
