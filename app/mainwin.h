#pragma once

#include "toolkit/form.h"
#include "toolkit/formhost.h"
#include "app/procwin.h"
#include "transfer/transfersettings.h"

#include <QPushButton>

// The start-up window with its four commands; it also holds the two transfer settings that
// the transfer window reads.
class MainWin : public Form, public TransferSettings
{
    Q_OBJECT

public:

    static constexpr int ClientWidth = 360;
    static constexpr int ClientHeight = 180;

    MainWin() = default;
    static MainWin &instance();
    static const QPixmap &background();

    // The program's one transfer window, which returns here; the port and the dialog only matter
    // to the call that creates it.
    static ProcWin &transferWindow(quint16 port = ProcWin::Port, std::shared_ptr<FileDialogControl> dialog = {});
    // The one native window the start and the transfer window show in.
    static FormHost &nativeWindow();

    QPointer<QPushButton> AboutBut;
    QPointer<QPushButton> ExitBut;
    QPointer<QPushButton> RecBut;
    QPointer<QPushButton> SendBut;

    void SendBut_Click();
    // Sends `paths` as Send does, without the open dialog: the address dialog opens at once.
    void sendPaths(const QStringList &paths);
    void RecBut_Click();
    void AboutBut_Click();
    void ExitBut_Click();

protected:
    void createControls(QWidget *window) override;
    void onResize() override;
    // Closing the start window ends the program: nothing else would be left on screen.
    void onFrameClose() override { endProgram(); }
    bool centredOnScreen() const override { return true; }
    // Files and folders dropped on the window are sent.
    bool eventFilter(QObject *watched, QEvent *event) override;
};
