// The program as the tests start it in processes of its own, told one command a line on stdin.
//
//   veltrane_driver PORT [FILE]   as its user starts it, listening on the test's port and saving
//                                 where the test says; each line is echoed on stdout once its step
//                                 has run:
//     press <button>     clicks SendBut, RecBut, AboutBut, ExitBut or CDBut
//     key Escape         presses Escape in the active window
//
//   veltrane_driver --as ROLE WHERE   one window of it inside a namespace of tst_discovery, on that
//                                 namespace's bus, reporting what a user would see as lines
//                                 "what value" whenever they change:
//     receiver, sender   a transfer window saving in WHERE/received; Cancel on any command
//     dialog             the address dialog, Connect sending WHERE; each command a key, pressed on
//                        the list of receivers when it is down, else on the box
//     mute               takes connections on port 1001 and says what it heard; never answers
#include "app/ipwin.h"
#include "app/mainwin.h"
#include "app/procwin.h"
#include "app/startup.h"
#include "scripteddialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <cstdio>
#include <map>
#include <unistd.h>

namespace {
using Shown = std::map<QString, QString>;

// Reports every value that `look` returns each time it changes; quits when the input ends.
int serve(const std::function<Shown()> &look, const std::function<void(const QByteArray &)> &obey)
{
    Shown shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        for (const auto &[key, value] : look())
            if (auto known = shown.find(key); known == shown.end() || known->second != value)
                std::printf("%s %s\n", qPrintable(key), qPrintable(shown[key] = value));
    });
    watch.start(10);
    // The test writes each command whole, in one go, so a read never ends inside one.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0)
            return QCoreApplication::exit(0);
        for (const QByteArray &line : QByteArray(buffer, got).trimmed().split('\n'))
            obey(line.trimmed());
    });
    return QCoreApplication::exec();
}

Shown shown(ProcWin &win)
{
    return {{"status", win.isLoaded() ? win.StatBox->text() : QStringLiteral("(closed)")},
            {"title", win.isLoaded() ? win.Caption() : QString()}};
}

int transfer(quint8 mode, const QString &folder)
{
    MainWin main;
    auto files = std::make_shared<ScriptedDialog>();
    files->choose(folder + QStringLiteral("/received"));
    ProcWin win(main, main, ProcWin::Port, files, TransferTiming{});
    main.XferMode = mode, main.PeerIP = QStringLiteral("127.0.0.1");
    win.Show();
    return serve([&] { return shown(win); }, [&](const QByteArray &) { win.CDBut->click(); });
}

int dialog(const QString &file)
{
    auto files = std::make_shared<ScriptedDialog>();
    files->choose(file);
    ProcWin &transfer = MainWin::transferWindow(ProcWin::Port, files);
    MainWin::instance().XferMode = MainWin::Send;
    IPWin &ip = IPWin::instance();
    ip.Show();
    QCompleter *found = ip.IPBox->completer();
    return serve(
        [&]() -> Shown {
            if (!ip.isLoaded())
                return shown(transfer);
            QStringList rows;
            for (int row = 0; row < found->model()->rowCount(); ++row)
                rows << found->model()->index(row, 0).data().toString();
            return {{"rows", rows.join(u'|')},
                    {"box", ip.IPBox->text()},
                    {"popup", found->popup()->isVisible() ? QStringLiteral("shown") : QStringLiteral("hidden")}};
        },
        [&](const QByteArray &key) {
            QWidget *to = found->popup()->isVisible() ? found->popup() : static_cast<QWidget *>(ip.IPBox);
            QTest::keyClick(to, QKeySequence::fromString(QString::fromLatin1(key))[0].key());
        });
}

int mute()
{
    QTcpServer server;
    server.listen(QHostAddress::AnyIPv4, ProcWin::Port);
    QByteArray heard;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket *peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, [&heard, peer] { heard += peer->readAll(); });
    });
    return serve([&] { return Shown{{"heard", QString::fromLatin1(heard)}}; }, [](const QByteArray &) {});
}

int user(quint16 port, const QString &file)
{
    auto dialog = std::make_shared<ScriptedDialog>();
    if (!file.isEmpty())
        dialog->choose(file);
    MainWin::transferWindow(port, dialog);
    Startup::begin();
    return serve([] { return Shown(); }, [](const QByteArray &line) {
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
    });
}
}

int main(int argc, char *argv[])
{
    if (argc < 2 || !Startup::findDisplay(argc, argv))
        return 1;
    QApplication app(argc, argv);
    // Each report reaches the test as soon as it is made.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QString where = argc > 2 ? QString::fromLocal8Bit(argv[argc > 3 ? 3 : 2]) : QString();
    if (qstrcmp(argv[1], "--as") != 0 || argc < 4)
        return user(quint16(QByteArray(argv[1]).toUInt()), where);
    if (qstrcmp(argv[2], "dialog") == 0)
        return dialog(where);
    if (qstrcmp(argv[2], "mute") == 0)
        return mute();
    return transfer(qstrcmp(argv[2], "sender") == 0 ? MainWin::Send : MainWin::Receive, where);
}
