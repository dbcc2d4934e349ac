// Receivers announced and found across a link of two computers, each with its own bus and
// avahi-daemon; the program's side of each case is tests/veltrane_driver in a role, taking
// commands and reporting what a user would see. And the package's firewall files.
#include "datarows.h"
#include "avahinet.h"
#include "windowrig.h"
#include "transfer/dnssd.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>


class DiscoveryTest : public QObject
{
    Q_OBJECT

    AvahiNet net;
    const QString host = QSysInfo::machineHostName();
    QString row(int at) const { return host + QStringLiteral(" — ") + net.address(at); }
    // The program's side of each case: tests/veltrane_driver in a role, in `host`'s namespace and on
    // its bus (or on the bus at `socket`).
    Child &role(int host, const char *role, const QString &where, const QString &socket = {})
    {
        return net.exec(host, {QStringLiteral(VELTRANE_DRIVER), "--as", role, where}, socket);
    }

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
        flagRows("connect", {{"chosen and connected", true}, {"cancelled", false}});
    }

    void receiverIsListedAndItsEntryGoesWhenTheListeningEnds()
    {
        QFETCH(bool, connect);
        const QByteArray bytes = randomBytes(300000);
        QVERIFY(writeFile(net.folder() + QStringLiteral("/source.bin"), bytes));
        // A second dialog stays open to watch the entry go once the first has connected.
        Child &watcher = role(1, "dialog", QString());
        Child &dialog = role(1, "dialog", net.folder() + QStringLiteral("/source.bin"));
        QVERIFY(dialog.await("box ", "127.0.0.1", 5000));

        Child &receiver = role(0, "receiver", net.folder());
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
        Child &sender = role(0, "sender", net.folder());
        QVERIFY(sender.await("status ", "Could not connect to 127.0.0.1!", 5000));
        Child &dialog = role(1, "dialog", QString());
        role(0, "receiver", net.folder());
        QVERIFY(dialog.await("rows ", row(0), 5000));
        role(1, "receiver", net.folder());
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
        Child &receiver = role(0, "receiver", net.folder());
        Child &dialog = role(1, "dialog", source);
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
        Child &mute = role(0, "mute", QString());
        net.exec(0, {"avahi-publish", "-s", "impostor", DnsSd::ServiceType, "1001", DnsSd::PrivateRecord});
        QVERIFY(writeFile(net.folder() + QStringLiteral("/source.bin"), "secret"));
        Child &dialog = role(1, "dialog", net.folder() + QStringLiteral("/source.bin"));
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
        flagRows("bareBus", {{"no bus", false}, {"a bus without avahi-daemon", true}});
    }

    void withoutAvahiTheDialogIsAsBeforeAndSaysNothing()
    {
        QFETCH(bool, bareBus);
        const QString socket = net.folder() + (bareBus ? QStringLiteral("/bare") : QStringLiteral("/nobus"));
        if (bareBus)
            QVERIFY(startSystemBus(net.daemons.emplace_back(), socket));
        Child &dialog = role(0, "dialog", QString(), socket);
        Child &receiver = role(0, "receiver", net.folder(), socket);
        // Nothing is waited for: a call left waiting on the bus would take its 25 s timeout.
        QVERIFY(dialog.await("box ", "127.0.0.1", 5000));
        QVERIFY(receiver.await("status ", "Waiting for connection ...", 5000));
        QVERIFY(!dialog.await("rows ", [](const QString &rows) { return !rows.isEmpty(); }, 1000));
        QCOMPARE(dialog.last("popup "), QStringLiteral("hidden"));
    }

    // The package's firewall files, read by the firewalls themselves in a mount namespace of the
    // test's own: the machine's own firewall and its files are never touched.
    void firewallOpensBothPorts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("expected");
        // The profile alone, as ufw would find it installed.
        QTest::newRow("ufw") << QStringLiteral(
            "mount -t tmpfs -o mode=755 none /etc/ufw/applications.d && cp \"$1\"/veltrane.ufw /etc/ufw/applications.d/veltrane"
            " && ufw app info Veltrane")
                             << QStringList{"Profile: Veltrane", "\n  1001/tcp\n  5353/udp\n"};
        // Beside the stock services, whose zones refer to them, and with a configuration of its own
        // that the permanent rule is written into.
        QTest::newRow("firewalld") << QStringLiteral(
            "s=$(mktemp -d) && e=$(mktemp -d) && cp -a /usr/lib/firewalld/services/. \"$s\" && cp -a /etc/firewalld/. \"$e\""
            " && mount -t tmpfs none /usr/lib/firewalld/services && mount -t tmpfs none /etc/firewalld"
            " && cp -a \"$s\"/. /usr/lib/firewalld/services && cp -a \"$e\"/. /etc/firewalld"
            " && cp \"$1\"/veltrane.firewalld.xml /usr/lib/firewalld/services/veltrane.xml"
            " && firewall-offline-cmd --check-config && firewall-offline-cmd --add-service=veltrane"
            " && firewall-offline-cmd --list-services && firewall-offline-cmd --info-service=veltrane")
                                   << QStringList{"veltrane", "ports: 1001/tcp 5353/udp\n"};
    }
    void firewallOpensBothPorts()
    {
        QFETCH(QString, script);
        QFETCH(QStringList, expected);
        const QString tool = QString::fromLatin1(QTest::currentDataTag()) == u"ufw" ? QStringLiteral("ufw")
                                                                                   : QStringLiteral("firewall-offline-cmd");
        if (QStandardPaths::findExecutable(tool, {"/usr/sbin", "/usr/bin"}).isEmpty())
            QSKIP("the firewall is not installed");
        QProcess run;
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QStringLiteral("unshare"), {"--mount", "sh", "-c", script, "sh", QStringLiteral(VELTRANE_LINUX_RESOURCES)});
        QVERIFY(run.waitForFinished(60000));
        const QString output = QString::fromUtf8(run.readAll());
        QVERIFY2(run.exitCode() == 0, qPrintable(output));
        for (const QString &line : expected)
            QVERIFY2(output.contains(line), qPrintable(output));
    }
};

QTEST_MAIN(DiscoveryTest)
#include "tst_discovery.moc"
