// The package's firewall files, read by the firewalls themselves in a mount namespace of the
// test's own (as root): the machine's own firewall and its files are never touched.
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

class TstFirewall : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(TstFirewall)
#include "tst_firewall.moc"
