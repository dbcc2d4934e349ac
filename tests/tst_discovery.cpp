#include "app/ipwin.h"
#include "avahinet.h"
#include "windowrig.h"
#include "transfer/dnssd.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QElapsedTimer>
#include <QKeySequence>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSysInfo>

#include <cstdio>
#include <map>

// The program's side of each case runs in a child: this executable again, with "--as ROLE", inside
// a namespace and on that namespace's bus. It reports what a user would see as lines
// "what value" whenever they change, and takes commands, one per line, on its standard input.
namespace role {
// Reports every value that `look` returns each time it changes; quits when the input ends.
int serve(std::function<std::map<QString, QString>()> look, std::function<void(const QString &)> obey)
{
    std::map<QString, QString> shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        for (const auto &[key, value] : look())
            if (auto known = shown.find(key); known == shown.end() || known->second != value)
                std::printf("%s %s\n", qPrintable(key), qPrintable(shown[key] = value));
    });
    watch.start(10);
    // The test writes each command whole, in one go, so a read never ends inside one.
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t got = ::read(0, buffer, sizeof buffer);
        if (got <= 0)
            return QCoreApplication::exit(0);
        for (const QByteArray &line : QByteArray(buffer, got).trimmed().split('\n'))
            obey(QString::fromUtf8(line));
    });
    return QCoreApplication::exec();
}

QString statusOf(ProcWin &win) { return win.isLoaded() ? win.StatBox->text() : QStringLiteral("(closed)"); }
std::map<QString, QString> shown(ProcWin &win)
{
    return {{"status", statusOf(win)}, {"title", win.isLoaded() ? win.Caption() : QString()}};
}

// A transfer window that saves what it receives in `folder`/received; Cancel on any command.
int transfer(quint8 mode, const QString &folder)
{
    Side side(mode, 1001, folder + QStringLiteral("/received"), TransferTiming{});
    return serve([&] { return shown(side.win); },
                 [&](const QString &) { side.win.CDBut->click(); });
}

// The address dialog, driven by the keyboard as its user would: each command names a key, pressed
// on the list of receivers when it is down, else on the box; `file` is what Connect sends.
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
        [&]() -> std::map<QString, QString> {
            if (!ip.isLoaded())
                return shown(transfer);
            QStringList rows;
            for (int row = 0; row < found->model()->rowCount(); ++row)
                rows << found->model()->index(row, 0).data().toString();
            return {{"rows", rows.join(u'|')},
                    {"box", ip.IPBox->text()},
                    {"popup", found->popup()->isVisible() ? QStringLiteral("shown") : QStringLiteral("hidden")}};
        },
        [&](const QString &key) {
            QWidget *to = found->popup()->isVisible() ? found->popup() : static_cast<QWidget *>(ip.IPBox);
            QTest::keyClick(to, QKeySequence::fromString(key)[0].key());
        });
}

// Takes connections on port 1001 and says what it heard; never answers.
int mute()
{
    QTcpServer server;
    server.listen(QHostAddress::AnyIPv4, ProcWin::Port);
    QByteArray heard;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket *peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, [&heard, peer] { heard += peer->readAll(); });
    });
    return serve([&] { return std::map<QString, QString>{{"heard", QString::fromLatin1(heard)}}; }, [](const QString &) {});
}
}

class DiscoveryTest : public QObject
{
    Q_OBJECT

    AvahiNet net;
    const QString host = QSysInfo::machineHostName();
    QString row(int at) const { return host + QStringLiteral(" — ") + net.address(at); }

private slots:
    void initTestCase()
    {
        if (geteuid() != 0)
            QSKIP("Skipped: the discovery tests need root for network namespaces and daemons of their own");
        QCOMPARE(net.start(), QString());
    }

    // What the case started goes, so the next one starts on a quiet link; none of it may have
    // printed anything beyond what Qt's offscreen platform and a root account without a session
    // say in every test.
    void cleanup()
    {
        static const QRegularExpression usual(
            QStringLiteral("(This plugin does not support |QStandardPaths: XDG_RUNTIME_DIR not set)[^\n]*\n"));
        QString said;
        for (Child &child : net.programs)
            said += QString::fromUtf8(child.readAllStandardError()).remove(usual);
        net.programs.clear();
        QCOMPARE(said, QString());
    }

    void receiverIsListedAndItsEntryGoesWhenTheListeningEnds_data()
    {
        QTest::addColumn<bool>("connect");
        QTest::newRow("chosen and connected") << true;
        QTest::newRow("cancelled") << false;
    }

    void receiverIsListedAndItsEntryGoesWhenTheListeningEnds()
    {
        QFETCH(bool, connect);
        const QByteArray bytes = randomBytes(300000);
        QVERIFY(writeFile(net.folder() + QStringLiteral("/source.bin"), bytes));
        // A second dialog stays open to watch the entry go once the first has connected.
        Child &watcher = net.run(1, {"--as", "dialog", QString()});
        Child &dialog = net.run(1, {"--as", "dialog", net.folder() + QStringLiteral("/source.bin")});
        QVERIFY(dialog.await("box ", "127.0.0.1", 5000));

        Child &receiver = net.run(0, {"--as", "receiver", net.folder()});
        QVERIFY(receiver.await("status ", "Waiting for connection ...", 5000));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(dialog.await("rows ", row(0), 5000));
        qInfo("listed %lld ms after the receiver listened", clock.elapsed());
        // It drops down by itself, and the box keeps what it held until a row is chosen.
        QVERIFY(dialog.await("popup ", "shown", 2000));
        QCOMPARE(dialog.last("box "), QStringLiteral("127.0.0.1"));
        // Escape puts the list away and leaves the dialog open; Down brings the list back.
        dialog.say("Escape");
        QVERIFY(dialog.await("popup ", "hidden", 2000));
        QCOMPARE(dialog.last("status "), QStringLiteral("(none)"));
        dialog.say("Down");
        QVERIFY(dialog.await("popup ", "shown", 2000));
        QVERIFY(watcher.await("rows ", row(0), 5000));

        if (connect) {
            // Down lights the only row; Return chooses it.
            dialog.say("Down");
            dialog.say("Return");
            QVERIFY(dialog.await("box ", net.address(0), 2000));
            QVERIFY(dialog.await("popup ", "hidden", 2000));
            dialog.say("Return");
            QVERIFY(receiver.await("status ", [](const QString &s) { return s != u"Waiting for connection ..."; }, 5000));
        } else {
            receiver.say("Cancel");
        }
        clock.restart();
        QVERIFY(watcher.await("rows ", "", 3000));
        qInfo("gone %lld ms after the listening ended", clock.elapsed());
        if (connect) {
            QVERIFY(receiver.await("status ", [](const QString &s) { return s.startsWith(u"Finished."); }, 20000));
            QCOMPARE(contentOf(net.folder() + QStringLiteral("/received")), bytes);
            QVERIFY(dialog.await("status ", [](const QString &s) { return s.startsWith(u"Finished."); }, 5000));
        } else {
            // An empty list does not hang below the box.
            QVERIFY(dialog.await("popup ", "hidden", 2000));
        }
    }

    void twoReceiversOfOneNameAreTwoRowsAndSendersAreNotListed()
    {
        // A sender whose peer is not there stays in sending mode, and must not be offered.
        Child &sender = net.run(0, {"--as", "sender", net.folder()});
        QVERIFY(sender.await("status ", "Could not connect to 127.0.0.1!", 5000));
        Child &dialog = net.run(1, {"--as", "dialog", QString()});
        net.run(0, {"--as", "receiver", net.folder()});
        QVERIFY(dialog.await("rows ", row(0), 5000));
        net.run(1, {"--as", "receiver", net.folder()});
        // The name taken on the link, the second becomes "host #2", wherever it stands.
        QVERIFY(dialog.await("rows ", host + QStringLiteral(" #2 — ") + net.address(1) + u'|' + row(0), 5000));
    }

    void privateAcrossTheLinkShowsOneCodeAndNothingOfTheFile()
    {
        QByteArray content;
        while (content.size() < 2 * 1024 * 1024)
            content += "HOLIDAY-MARKER " + randomBytes(100, quint32(content.size() + 1));
        const QString source = net.folder() + QStringLiteral("/holiday-plans.txt");
        QVERIFY(writeFile(source, content));
        // Its own child: what it says is not the program's.
        Child capture;
        capture.setProcessChannelMode(QProcess::MergedChannels);
        capture.start(QStringLiteral("nsenter"), {net.netns(0), "tcpdump", "-i", net.link(0), "-U", "-w", net.folder() + "/link.pcap", "tcp port 1001"});
        QVERIFY(capture.await("tcpdump: listening", [](const QString &) { return true; }, 5000));
        Child &receiver = net.run(0, {"--as", "receiver", net.folder()});
        Child &dialog = net.run(1, {"--as", "dialog", source});
        QVERIFY(dialog.await("rows ", row(0), 5000));
        for (const char *key : {"Down", "Return", "Return"})
            dialog.say(key);
        const auto done = [](const QString &s) { return s.startsWith(u"Finished."); };
        QVERIFY(receiver.await("status ", done, 20000) && dialog.await("status ", done, 5000));
        QCOMPARE(contentOf(net.folder() + QStringLiteral("/received")), content);
        const QString title = receiver.last("title ");
        QVERIFY2(QRegularExpression(QStringLiteral(R"(^Veltrane \(\d{3} \d{3}\)$)")).match(title).hasMatch(), qPrintable(title));
        QCOMPARE(dialog.last("title "), title);
        capture.terminate();
        QVERIFY(capture.waitForFinished(5000));
        const QByteArray seen = contentOf(net.folder() + QStringLiteral("/link.pcap"));
        // Most of it was seen; the probe crosses in the clear, and nothing else readable does.
        QVERIFY(seen.size() > content.size() / 2);
        QVERIFY(QRegularExpression(QStringLiteral("TL[0-9a-f]{64}")).match(QString::fromLatin1(seen)).hasMatch());
        QVERIFY(!seen.contains("holiday") && !seen.contains("HOLIDAY-MARKER"));
    }

    void receiverThatAnnouncedPrivacyIsNeverServedInTheClear()
    {
        // Announces itself as a private receiver, then never answers the probe.
        Child &mute = net.run(0, {"--as", "mute", QString()});
        net.exec(0, {"avahi-publish", "-s", "impostor", DnsSd::ServiceType, "1001", DnsSd::PrivateRecord});
        QVERIFY(writeFile(net.folder() + QStringLiteral("/source.bin"), "secret"));
        Child &dialog = net.run(1, {"--as", "dialog", net.folder() + QStringLiteral("/source.bin")});
        QVERIFY(dialog.await("rows ", QStringLiteral("impostor — ") + net.address(0), 5000));
        for (const char *key : {"Down", "Return", "Return"})
            dialog.say(key);
        QVERIFY(mute.await("heard ", [](const QString &heard) { return heard.size() == 66; }, 5000));
        QVERIFY(dialog.await("status ", "Error ! The connection could not be made private.", 15000));
        QCOMPARE(dialog.last("title "), QStringLiteral("Veltrane"));
        QVERIFY(mute.last("heard ").startsWith(u"TL") && mute.last("heard ").size() == 66);
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
        const QString socket = net.folder() + (bareBus ? QStringLiteral("/bare") : QStringLiteral("/nobus"));
        if (bareBus)
            QVERIFY(startSystemBus(net.daemons.emplace_back(), socket));
        Child &dialog = net.run(0, {"--as", "dialog", QString()}, socket);
        Child &receiver = net.run(0, {"--as", "receiver", net.folder()}, socket);
        // Nothing is waited for: a call left waiting on the bus would take its 25 s timeout.
        QVERIFY(dialog.await("box ", "127.0.0.1", 5000));
        QVERIFY(receiver.await("status ", "Waiting for connection ...", 5000));
        QVERIFY(!dialog.await("rows ", [](const QString &rows) { return !rows.isEmpty(); }, 1000));
        QCOMPARE(dialog.last("popup "), QStringLiteral("hidden"));
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc > 3 && qstrcmp(argv[1], "--as") == 0) {
        // Each report reaches the test as soon as it is made.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        const QString where = QString::fromLocal8Bit(argv[3]);
        if (qstrcmp(argv[2], "dialog") == 0)
            return role::dialog(where);
        if (qstrcmp(argv[2], "mute") == 0)
            return role::mute();
        return role::transfer(qstrcmp(argv[2], "sender") == 0 ? MainWin::Send : MainWin::Receive, where);
    }
    DiscoveryTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_discovery.moc"
