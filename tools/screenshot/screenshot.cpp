// Renders the windows offscreen into PNG files for the README: the start window, the address
// dialog, the about window, and a transfer window in mid-transfer. With --pair it shows instead, on
// the display it finds, a receiving and a sending window that have just moved a file privately,
// side by side, for a screenshot of the whole screen (private-pair.sh takes it); with --folder, a
// sending window offers a folder and the receiving one shows its save dialog.
#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "app/mainwin.h"
#include "app/procwin.h"
#include "freeport.h"
#include "scripteddialog.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

namespace {
// The person at a dialog, who always picks the same file.
std::shared_ptr<ScriptedDialog> pick(const QString &path)
{
    auto dialog = std::make_shared<ScriptedDialog>();
    dialog->always = path;
    return dialog;
}

int pair(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Form::setProgramEnd([] {});
    QTemporaryDir dir;
    QFile notes(dir.filePath(QStringLiteral("holiday-plans.txt")));
    if (!notes.open(QIODevice::WriteOnly) || notes.write(QByteArray(2500000, 'v')) != 2500000)
        return 1;
    notes.close();
    // A port of its own, so that it runs beside a receiver on 1001.
    const quint16 port = freePort();
    MainWin receiving, sending;
    receiving.XferMode = MainWin::Receive;
    sending.XferMode = MainWin::Send;
    sending.PeerIP = QStringLiteral("127.0.0.1");
    const bool folder = qstrcmp(argv[1], "--folder") == 0;
    if (folder) {
        const QDir trip(dir.filePath(QStringLiteral("Holiday 2026")));
        trip.mkpath(QStringLiteral("Photos"));
        for (int i = 1; i <= 30; ++i) {
            QFile photo(trip.filePath(QStringLiteral("Photos/IMG_%1.jpg").arg(4000 + i)));
            if (!photo.open(QIODevice::WriteOnly) || photo.write(QByteArray(200000 + i * 997, 'p')) < 0)
                return 1;
        }
        sending.Paths = {trip.path()};
    }
    ProcWin receiver(receiving, receiving, port,
                     folder ? std::make_shared<FileDialogControl>()
                            : pick(dir.filePath(QStringLiteral("copy.txt"))));
    ProcWin sender(sending, sending, port, pick(notes.fileName()));
    for (ProcWin *win : {&receiver, &sender}) {
        win->setPicture(MainWin::background());
        win->setLeft(win == &receiver ? 20 * Form::TwipsPerPixel : 420 * Form::TwipsPerPixel);
        win->setTop(60 * Form::TwipsPerPixel);
    }
    receiver.Show();
    QTimer::singleShot(300, &sender, [&] { sender.Show(); });
    QTimer::singleShot(argc > 2 ? QByteArray(argv[2]).toInt() : 8000, &app, &QApplication::quit);
    return app.exec();
}
}

int main(int argc, char *argv[])
{
    if (argc > 1 && (qstrcmp(argv[1], "--pair") == 0 || qstrcmp(argv[1], "--folder") == 0))
        return pair(argc, argv);
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
    Transfer &moving = transfer.transfer();
    moving.FileSize = 1048576;
    for (moving.BytesDone = 0; moving.BytesDone < 440000; moving.BytesDone += 4096)
        transfer.DrawProcess();
    transfer.CDBut->setText(QStringLiteral("Cancel"));
    save(transfer, "procwin.png");
    return 0;
}
