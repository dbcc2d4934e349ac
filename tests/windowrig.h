#pragma once

#include "app/mainwin.h"
#include "exchangerig.h"
#include "scripteddialog.h"

// Makes `window` the active one. Without a window manager a focus request made while the window
// is still being mapped is lost, so it is asked again until it holds.
inline bool activate(QWidget *window)
{
    return QTest::qWaitForWindowExposed(window)
           && waitFor([window] { return window->activateWindow(), QTest::qWaitForWindowActive(window, 200); }, 10000);
}

// A transfer window with settings and a scripted dialog of its own, shown at once.
struct Side {
    MainWin main;
    std::shared_ptr<ScriptedDialog> dg = std::make_shared<ScriptedDialog>();
    ProcWin win;
    Side(quint8 mode, quint16 port, const QString &choice, TransferTiming timing = QuickTiming)
        : win(main, main, port, dg, timing)
    {
        main.XferMode = mode, main.PeerIP = QStringLiteral("127.0.0.1");
        if (!choice.isEmpty())
            dg->choose(choice);
        win.Show();
    }
    bool listening() { return waitFor([this] { return win.transfer().NT->State() == TcpControl::Listening; }); }
};

// One window and the test's raw peer for it.
using WindowRig = RawRigOf<Side>;
