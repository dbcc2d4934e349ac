// Renders the windows offscreen into PNG files for the README: the start window, the address
// dialog, the about window, and a transfer window in mid-transfer.
#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "app/mainwin.h"
#include "transfer/procwin.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    Form::setProgramEnd([] {});
    const auto save = [&](Form &form, const char *name) {
        form.Show();
        QApplication::processEvents();
        form.window()->grab().save(out.filePath(QLatin1String(name)));
    };

    save(MainWin::instance(), "mainwin.png");
    save(IPWin::instance(), "ipwin.png");
    save(AboutWin::instance(), "aboutwin.png");

    MainWin sender;
    sender.XferMode = MainWin::Send;
    sender.PeerIP = QStringLiteral("192.168.1.20");
    ProcWin transfer(sender, sender, 0);
    transfer.Load();
    transfer.setPicture(MainWin::background());
    transfer.FileSize = 1048576;
    for (transfer.BytesDone = 0; transfer.BytesDone < 440000; transfer.BytesDone += 4096)
        transfer.DrawProcess();
    transfer.CDBut->setText(QStringLiteral("Cancel"));
    save(transfer, "procwin.png");
    return 0;
}
