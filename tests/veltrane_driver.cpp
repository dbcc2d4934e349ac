// The program as its user starts it, listening on the test's port and saving where the test says,
// driven by one line on stdin per thing its user does:
//   press <button>     clicks SendBut, RecBut, AboutBut, ExitBut, ConBut or CDBut
//   close <window>     closes Veltrane, IPWin or AboutWin through its frame
//   key Escape         presses Escape in the active window
// Each line is echoed on stdout once its step has run.
#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "app/mainwin.h"
#include "app/startup.h"
#include "scripteddialog.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {
QPushButton *button(const QByteArray &name)
{
    MainWin &main = MainWin::instance();
    const std::pair<const char *, QPushButton *> buttons[] = {
        {"SendBut", main.SendBut}, {"RecBut", main.RecBut}, {"AboutBut", main.AboutBut}, {"ExitBut", main.ExitBut},
        {"ConBut", IPWin::instance().ConBut}, {"CDBut", MainWin::transferWindow().CDBut}};
    for (const auto &[known, pointer] : buttons)
        if (name == known)
            return pointer;
    return nullptr;
}

void run(const QByteArray &line)
{
    const QByteArrayList words = line.split(' ');
    const QByteArray what = words.value(1);
    if (words[0] == "press") {
        if (QPushButton *b = button(what))
            b->click();
    } else if (words[0] == "close") {
        Form *form = what == "IPWin" ? static_cast<Form *>(&IPWin::instance())
            : what == "AboutWin"     ? static_cast<Form *>(&AboutWin::instance())
                                     : static_cast<Form *>(&MainWin::instance());
        if (form->isLoaded() || form == &MainWin::instance())
            form->window()->window()->close();
    } else if (words[0] == "key" && what == "Escape") {
        if (QWidget *active = QApplication::activeWindow())
            QTest::keyClick(active, Qt::Key_Escape);
    }
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}
}

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

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char chunk[256];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0)
            return QApplication::exit(0);
        pending.append(chunk, got);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
            run(pending.left(end));
    });
    return app.exec();
}
