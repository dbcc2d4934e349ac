#include "app/ipwin.h"
#include "avahinet.h"
#include "transferrig.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QSocketNotifier>
#include <QSysInfo>

#include <cstdio>
#include <map>

// The program's side of each case runs in a child: this executable again, with "--as ROLE", inside
// a namespace and on that namespace's bus. It reports what a user would see as lines
// "what value" whenever they change, and takes commands, one per line, on its standard input.
namespace role {
void say(const QString &key, const QString &value)
{
    std::fputs(qPrintable(key + u' ' + value + u'\n'), stdout);
    std::fflush(stdout);
}

// Reports every value that `look` returns each time it changes; quits when the input ends.
int serve(std::function<std::map<QString, QString>()> look, std::function<void(const QString &)> obey)
{
    std::map<QString, QString> shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        for (const auto &[key, value] : look())
            if (auto known = shown.find(key); known == shown.end() || known->second != value)
                say(key, shown[key] = value);
    });
    watch.start(10);
    QSocketNotifier input(0, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t got = ::read(0, buffer, sizeof buffer);
        if (got <= 0)
            return QCoreApplication::exit(0);
        pending.append(buffer, got);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
            obey(QString::fromUtf8(pending.left(end)));
    });
    return QCoreApplication::exec();
}

QString statusOf(ProcWin &win) { return win.isLoaded() ? win.StatBox->text() : QStringLiteral("(closed)"); }

// A transfer window that saves what it receives in `folder`/received, or sends to `address`.
int transfer(quint8 mode, const QString &where, quint16 port)
{
    MainWin main;
    main.XferMode = mode;
    main.PeerIP = where;
    auto dialog = std::make_shared<ScriptedDialog>();
    dialog->choose(where + QStringLiteral("/received"));
    ProcWin win(main, main, port, dialog);
    win.Show();
    return serve([&] { return std::map<QString, QString>{{"status", statusOf(win)}}; },
                 [&](const QString &command) {
                     if (command == u"cancel")
                         win.CDBut->click();
                 });
}

// The address dialog, driven by the keyboard as its user would; `file` is what Connect sends.
int dialog(const QString &file)
{
    MainWin &main = MainWin::instance();
    ProcWin &transfer = MainWin::transferWindow();
    main.XferMode = MainWin::Send;
    IPWin &ip = IPWin::instance();
    QElapsedTimer opening;
    opening.start();
    ip.Show();
    QCoreApplication::processEvents();
    say(QStringLiteral("opened"), QString::number(opening.elapsed()));
    QCompleter *found = ip.IPBox->completer();

    // Stands in for the person at the sender's file dialog.
    QTimer picker;
    QObject::connect(&picker, &QTimer::timeout, [&] {
        if (auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            auto *name = files->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            name->setText(file);
            QTimer::singleShot(0, name, [name] { QTest::keyClick(name, Qt::Key_Return); });
        }
    });
    picker.start(50);

    return serve(
        [&]() -> std::map<QString, QString> {
            if (!ip.isLoaded())
                return {{"status", statusOf(transfer)}};
            QStringList rows;
            for (int row = 0; row < found->model()->rowCount(); ++row)
                rows << found->model()->index(row, 0).data().toString();
            return {{"rows", rows.join(u'|')},
                    {"box", ip.IPBox->text()},
                    {"popup", found->popup()->isVisible() ? QStringLiteral("shown") : QStringLiteral("hidden")}};
        },
        [&](const QString &command) {
            if (command.startsWith(u"choose ")) {
                if (!found->popup()->isVisible())
                    QTest::keyClick(ip.IPBox, Qt::Key_Down);
                // Down until the wanted row is lit, as the user watches the list.
                const int wanted = command.mid(7).toInt();
                for (int step = 0; step <= found->completionCount() && found->popup()->currentIndex().row() != wanted; ++step)
                    QTest::keyClick(found->popup(), Qt::Key_Down);
                QTest::keyClick(found->popup(), Qt::Key_Return);
            } else if (command == u"down") {
                QTest::keyClick(ip.IPBox, Qt::Key_Down);
            } else if (command == u"escape") {
                QTest::keyClick(found->popup(), Qt::Key_Escape);
            } else if (command == u"connect") {
                QTest::keyClick(ip.IPBox, Qt::Key_Return);
            }
        });
}

int run(const QStringList &arguments)
{
    const QString what = arguments.value(0), where = arguments.value(1);
    const quint16 port = arguments.value(2, QStringLiteral("1001")).toUShort();
    if (what == u"receiver")
        return transfer(MainWin::Receive, where, port);
    if (what == u"sender")
        return transfer(MainWin::Send, where, port);
    if (what == u"dialog")
        return dialog(where);
    return 2;
}
}

class DiscoveryTest : public QObject
{
    Q_OBJECT

    std::optional<AvahiNet> net;
    QString whyNot;
    const QString host = QSysInfo::machineHostName();
    QString row(int at) const { return host + QStringLiteral(" — ") + net->address(at); }

    static bool quiet(Child &child)
    {
        // What Qt's offscreen platform and a root account without a session say in every test.
        QByteArray said;
        for (const QByteArray &line : child.errors().split('\n'))
            if (!line.isEmpty() && !line.startsWith("This plugin does not support ")
                && !line.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set"))
                said += line + '\n';
        if (!said.isEmpty())
            qWarning("a child said: %s", said.constData());
        return said.isEmpty();
    }

private slots:
    void initTestCase()
    {
        if (whyNot = AvahiNet::unavailable(); !whyNot.isEmpty())
            return;
        net.emplace();
        const QString failed = net->start();
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    }

    void init()
    {
        if (!net && QByteArray(QTest::currentTestFunction()) != "withoutAvahiTheDialogIsAsBeforeAndSaysNothing")
            QSKIP(qPrintable("Skipped: the discovery tests " + whyNot));
    }

    // Whatever a case left running goes, so the next one starts on a quiet link.
    void cleanup()
    {
        if (net)
            net->stopPrograms();
    }

    void receiverIsListedThenChosenAndTheEntryGoesOnceAccepted()
    {
        const QByteArray bytes = randomBytes(300000);
        const QString source = net->folder() + QStringLiteral("/source.bin");
        QVERIFY(writeFile(source, bytes));
        QFile::remove(net->folder() + QStringLiteral("/received"));
        Child &watcher = net->run(1, {"--as", "dialog", source});
        Child &dialog = net->run(1, {"--as", "dialog", source});
        QVERIFY(dialog.awaitLast("box ", [](const QString &box) { return box == u"127.0.0.1"; }, 5000));

        Child &receiver = net->run(0, {"--as", "receiver", net->folder()});
        QVERIFY(receiver.awaitLast("status ", [](const QString &s) { return s == u"Waiting for connection ..."; }, 5000));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(dialog.awaitLast("rows ", [&](const QString &rows) { return rows == row(0); }, 5000));
        const qint64 listed = clock.elapsed();
        // It drops down by itself, and the box keeps what it held until a row is chosen.
        QVERIFY(dialog.awaitLast("popup ", [](const QString &p) { return p == u"shown"; }, 2000));
        QCOMPARE(dialog.last("box "), QStringLiteral("127.0.0.1"));
        QVERIFY(watcher.awaitLast("rows ", [&](const QString &rows) { return rows == row(0); }, 5000));

        dialog.say("choose 0");
        QVERIFY(dialog.awaitLast("box ", [&](const QString &box) { return box == net->address(0); }, 2000));
        QVERIFY(dialog.awaitLast("popup ", [](const QString &p) { return p == u"hidden"; }, 2000));
        dialog.say("connect");
        QVERIFY(receiver.awaitLast("status ", [](const QString &s) { return s != u"Waiting for connection ..."; }, 5000));
        clock.restart();
        QVERIFY(watcher.awaitLast("rows ", [](const QString &rows) { return rows.isEmpty(); }, 3000));
        const qint64 gone = clock.elapsed();
        QVERIFY(receiver.awaitLast("status ", [](const QString &s) { return s.startsWith(u"Finished."); }, 20000));
        QCOMPARE(contentOf(net->folder() + QStringLiteral("/received")), bytes);
        QVERIFY(dialog.awaitLast("status ", [](const QString &s) { return s.startsWith(u"Finished."); }, 5000));
        qInfo("listed %lld ms after the receiver listened; gone %lld ms after the connection", listed, gone);
        // The dialog's side also ran Qt's own file dialog, which has things of its own to say.
        QVERIFY(quiet(watcher) && quiet(receiver));
    }

    void cancelWithdrawsAndTheListEmpties()
    {
        Child &dialog = net->run(1, {"--as", "dialog", QString()});
        Child &receiver = net->run(0, {"--as", "receiver", net->folder()});
        QVERIFY(dialog.awaitLast("rows ", [&](const QString &rows) { return rows == row(0); }, 5000));
        QVERIFY(dialog.awaitLast("popup ", [](const QString &p) { return p == u"shown"; }, 2000));
        // Put away, the list comes back on Down; the box keeps its text throughout.
        dialog.say("escape");
        QVERIFY(dialog.awaitLast("popup ", [](const QString &p) { return p == u"hidden"; }, 2000));
        dialog.say("down");
        QVERIFY(dialog.awaitLast("popup ", [](const QString &p) { return p == u"shown"; }, 2000));
        receiver.say("cancel");
        QElapsedTimer clock;
        clock.start();
        QVERIFY(dialog.awaitLast("rows ", [](const QString &rows) { return rows.isEmpty(); }, 3000));
        qInfo("gone %lld ms after Cancel", clock.elapsed());
        // An empty list does not hang below the box.
        QVERIFY(dialog.awaitLast("popup ", [](const QString &p) { return p == u"hidden"; }, 2000));
        QCOMPARE(dialog.last("box "), QStringLiteral("127.0.0.1"));
        QVERIFY(quiet(dialog) && quiet(receiver));
    }

    void twoReceiversOfOneNameAreTwoRowsAndSendersAreNotListed()
    {
        // A sender whose peer is not there stays in sending mode, and must not be offered.
        Child &sender = net->run(0, {"--as", "sender", net->address(1)});
        QVERIFY(sender.awaitLast("status ", [&](const QString &s) { return s == "Could not connect to " + net->address(1) + "!"; }, 5000));
        Child &dialog = net->run(1, {"--as", "dialog", QString()});
        Child &first = net->run(0, {"--as", "receiver", net->folder() + QStringLiteral("/nowhere")});
        QVERIFY(dialog.awaitLast("rows ", [&](const QString &rows) { return rows == row(0); }, 5000));
        Child &second = net->run(1, {"--as", "receiver", net->folder() + QStringLiteral("/nowhere")});
        // The name taken on the link, the second becomes "host #2", wherever it stands.
        QVERIFY(dialog.awaitLast("rows ", [](const QString &rows) { return rows.count(u'|') == 1; }, 5000));
        const QStringList rows = dialog.last("rows ").split(u'|');
        QCOMPARE(rows, QStringList({host + QStringLiteral(" #2 — ") + net->address(1), row(0)}));
        for (Child *child : {&sender, &dialog, &first, &second})
            QVERIFY(quiet(*child));
    }

    void withoutAvahiTheDialogIsAsBeforeAndSaysNothing_data()
    {
        QTest::addColumn<bool>("bareBus");
        QTest::newRow("no bus") << false;
        QTest::newRow("a bus without avahi-daemon") << true;
    }

    void withoutAvahiTheDialogIsAsBeforeAndSaysNothing()
    {
        QFETCH(bool, bareBus);
        if (bareBus && QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            QSKIP("Skipped: needs dbus-daemon");
        QTemporaryDir dir;
        const QString socket = dir.filePath(QStringLiteral("bus"));
        Child daemon;
        if (bareBus)
            QVERIFY(AvahiNet::startBareBus(daemon, socket, dir.path()));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), "unix:path=" + socket);
        Child dialog, receiver;
        for (Child *child : {&dialog, &receiver})
            child->process->setProcessEnvironment(environment);
        dialog.process->start(QCoreApplication::applicationFilePath(), {"--as", "dialog", QString()});
        receiver.process->start(QCoreApplication::applicationFilePath(),
                                {"--as", "receiver", dir.path(), QString::number(freePort())});
        QVERIFY(dialog.awaitLast("rows ", [](const QString &rows) { return rows.isEmpty(); }, 10000));
        QCOMPARE(dialog.last("box "), QStringLiteral("127.0.0.1"));
        // Nothing is waited for: a call left waiting on the bus would take its 25 s timeout.
        QVERIFY(dialog.last("opened ").toInt() < 5000);
        QVERIFY(receiver.awaitLast("status ", [](const QString &s) { return s == u"Waiting for connection ..."; }, 10000));
        QTest::qWait(1000);
        QVERIFY(dialog.last("rows ").isEmpty());
        QCOMPARE(dialog.last("popup "), QStringLiteral("hidden"));
        QVERIFY(quiet(dialog) && quiet(receiver));
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc > 2 && qstrcmp(argv[1], "--as") == 0)
        return role::run(QCoreApplication::arguments().mid(2));
    DiscoveryTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_discovery.moc"
