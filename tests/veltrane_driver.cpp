// The program as its user starts it, listening on the test's port and saving where the test says,
// driven by one line on stdin per thing its user does:
//   press <button>     clicks SendBut, RecBut, AboutBut, ExitBut or CDBut
//   key Escape         presses Escape in the active window
// Each line is echoed on stdout once its step has run.
#include "app/mainwin.h"
#include "app/startup.h"
#include "scripteddialog.h"
#include "app/procwin.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTest>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 2 || !Startup::findDisplay(argc, argv))
        return 1;
    QApplication app(argc, argv);
    auto dialog = std::make_shared<ScriptedDialog>();
    if (argc > 2)
        dialog->choose(QString::fromLocal8Bit(argv[2]));
    MainWin::transferWindow(quint16(QByteArray(argv[1]).toUInt()), dialog);
    Startup::begin();

    // Read a byte at a time, so that a line not yet read keeps the notifier firing.
    QFile input;
    input.open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered);
    QSocketNotifier ready(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&ready, &QSocketNotifier::activated, &app, [&] {
        const QByteArray line = input.readLine().trimmed();
        if (line.isEmpty())
            return QApplication::exit(0);
        MainWin &main = MainWin::instance();
        const std::pair<const char *, QPushButton *> buttons[] = {
            {"press SendBut", main.SendBut}, {"press RecBut", main.RecBut},   {"press AboutBut", main.AboutBut},
            {"press ExitBut", main.ExitBut}, {"press CDBut", MainWin::transferWindow().CDBut}};
        for (const auto &[press, button] : buttons)
            if (line == press && button)
                button->click();
        if (QWidget *active = QApplication::activeWindow(); active && line == "key Escape")
            QTest::keyClick(active, Qt::Key_Escape);
        std::printf("%s\n", line.constData());
        std::fflush(stdout);
    });
    return app.exec();
}
