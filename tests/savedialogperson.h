#pragma once

#include "windowrig.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

// A receiving window with the real save dialog, offered a file by the test's peer, and a person at
// the dialog who types each name in turn (an empty one keeps the preset) and presses Return, also
// on every refusal. `saw` is what they saw: the dialog's folder with what the peer had been sent
// so far, and each refusal's text.
struct SaveDialogPerson {
    WindowRig rig;
    QStringList saw;
    ProcWin &win() { return rig.side->win; }

    // True once the window has answered the offer with "SD".
    bool save(const QByteArray &offer, const QStringList &names)
    {
        if (!rig.open(MainWin::Receive, {}))
            return false;
        win().DG = std::make_shared<FileDialogControl>();
        // Presses Return in a window a moment later: what it opens runs a loop of its own, and the
        // timer that drives the person must be free to fire in it.
        const auto pressReturn = [](QWidget *in) { QTimer::singleShot(0, in, [in] { QTest::keyClick(in, Qt::Key_Return); }); };
        qsizetype step = 0;
        QTimer driver;
        QObject::connect(&driver, &QTimer::timeout, &driver, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                saw << box->text();
                pressReturn(box);
            } else if (auto *dialog = qobject_cast<QFileDialog *>(modal); dialog && step < names.size()) {
                auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
                // The user types into the name box once it has the focus back.
                if (!edit->hasFocus()) {
                    dialog->activateWindow();
                    edit->setFocus();
                    return;
                }
                // Still open, with the folder it was opened in, and nothing answered yet.
                saw << QFileInfo(dialog->directory().absolutePath()).fileName() + " " + rig.wire;
                if (const QString name = names[step++]; !name.isEmpty())
                    edit->setText(name);
                pressReturn(edit);
            }
        });
        driver.start(50);
        rig.peer->write(offer);
        return waitFor([&] { return rig.wire == "OKSD"; }, 20000);
    }
};
