// Desktop notifications, shown by a real dunst on an X server of the test's own and watched on a
// session bus of its own; the program's windows stay on the offscreen platform. One bus per
// process: CTest runs the cases without a service, and without a bus, as tests of their own.
#include "displayrig.h"

#include <QTemporaryFile>
#include <unistd.h>

namespace {
bool dunstctl(const QStringList &args)
{
    QProcess ctl;
    ctl.start(QStringLiteral("dunstctl"), args);
    return ctl.waitForFinished() && ctl.exitCode() == 0;
}

// Chooses the notification on screen as a person would, until `window` comes forward: dunst may
// still be drawing it when first asked.
bool chooseNotification(QWidget *window)
{
    for (int attempt = 0; attempt < 10; ++attempt)
        if (dunstctl({"action", "0"}), waitFor([&] { return window->isActiveWindow(); }, 1000))
            return true;
    return false;
}

// One message on the bus, as dbus-monitor prints it.
struct Seen {
    QString kind, member, sender, destination;
    int serial = 0, replySerial = 0;
    QStringList args;
};

struct Desktop {
    QProcess bus, dunst, monitor;
    QString address;
    ~Desktop()
    {
        for (QProcess *p : {&monitor, &dunst, &bus})
            p->kill(), p->waitForFinished();
    }
    bool start(bool service)
    {
        if ((address = startSessionBus(bus)).isEmpty())
            return false;
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toLatin1());
        if (!service)
            return true;
        dunst.start(QStringLiteral("dunst"), {"-config", "/dev/null"});
        monitor.start(QStringLiteral("dbus-monitor"), {"--address", address, "interface='org.freedesktop.Notifications'",
                                                        "type='method_return'"});
        return monitor.waitForReadyRead(10000)
               && waitFor([] { return dunstctl({"is-paused"}); }, 10000);
    }
    QList<Seen> seen()
    {
        // A read may end inside a message, even at the end of one of its lines: everything heard is
        // read again each time, so a message cut short now is whole once the rest has come.
        static QByteArray heard;
        heard += monitor.readAllStandardOutput();
        QList<Seen> all;
        // A message starts on a line of its own, unindented.
        const QStringList blocks = QString::fromUtf8(heard).split(QRegularExpression(QStringLiteral("\n(?! )")), Qt::SkipEmptyParts);
        for (const QString &block : blocks) {
            const QStringList lines = block.split(u'\n');
            Seen m;
            m.kind = lines[0].section(u' ', 0, 1);
            static const QRegularExpression field(QStringLiteral("(member|serial|reply_serial|sender|destination)=([\\w:.]+)"));
            for (auto it = field.globalMatch(lines[0]); it.hasNext();) {
                const auto f = it.next();
                if (f.captured(1) == u"member")
                    m.member = f.captured(2);
                else if (f.captured(1) == u"sender" || f.captured(1) == u"destination")
                    (f.captured(1) == u"sender" ? m.sender : m.destination) = f.captured(2);
                else
                    (f.captured(1) == u"serial" ? m.serial : m.replySerial) = f.captured(2).toInt();
            }
            for (const QString &line : lines.mid(1))
                m.args << line.trimmed().section(u' ', 1).remove(u'"');
            all << m;
        }
        return all;
    }
    QList<Seen> notified() { return filtered(u"Notify"); }
    QList<Seen> filtered(QStringView member)
    {
        QList<Seen> out;
        for (const Seen &m : seen())
            if (m.member == member)
                out << m;
        return out;
    }
    uint idOf(const Seen &call)
    {
        for (const Seen &m : seen())
            // Serials count per connection: the reply is the one that goes back to the caller.
            if (m.kind == u"method return" && m.replySerial == call.serial && m.destination == call.sender)
                return m.args.value(0).toUInt();
        return 0;
    }
};

// Desktop starts once per process, so the service is there for every case or for none.
std::unique_ptr<Desktop> desktop;
}

class TstNotify : public QObject
{
    Q_OBJECT

    // The window the person works in instead of the transfer window.
    QWidget elsewhere;

    bool withService()
    {
        if (!desktop)
            return (desktop = std::make_unique<Desktop>())->start(true);
        return desktop->dunst.state() == QProcess::Running;
    }

public:
    // dunst's X server: the display the programs the test starts inherit.
    static void initMain() { ownXServerWhenOnX(true); }

private slots:
    void initTestCase() { elsewhere.resize(100, 100), elsewhere.show(); }
    // Only this case's notifications are on screen, so the first of them is its own.
    void init()
    {
        if (desktop && desktop->dunst.state() == QProcess::Running)
            QVERIFY(dunstctl({"close-all"}));
    }

    void endingNotifiesWhenAway_data()
    {
        QTest::addColumn<bool>("away");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("finished while away") << true << QByteArray("SD") << finished("9.8");
        QTest::newRow("failed while away") << true << QByteArray("CC") << QStringLiteral("Error ! Connection closed by reciever.");
        QTest::newRow("finished in front") << false << QByteArray("SD") << finished("9.8");
    }
    void endingNotifiesWhenAway()
    {
        QFETCH(bool, away);
        QFETCH(QByteArray, answer);
        QFETCH(QString, sentence);
        QVERIFY(withService());
        const auto before = desktop->notified().size();
        WindowRig rig;
        const QString notes = rig.dir.filePath("notes.txt");
        QVERIFY(writeFile(notes, randomBytes(10000)));
        QVERIFY(rig.open(MainWin::Send, notes));
        // The window's own activation on showing is through before the person looks elsewhere.
        QVERIFY(activate(rig.side->win.window()));
        QVERIFY(!away || activate(&elsewhere));
        rig.peer->write("OK");
        QVERIFY(waitFor([&] { return rig.wire.startsWith("RCFN"); }));
        rig.peer->write(answer);
        QTRY_COMPARE(rig.side->win.StatBox->text(), sentence);
        QTest::qWait(300);
        const auto calls = desktop->notified().mid(before);
        QCOMPARE(calls.size(), away ? 1 : 0);
        if (away)
            QCOMPARE(calls[0].args.mid(0, 5), (QStringList{"Veltrane", "0", "io.github.veltrane.veltrane", "Veltrane", sentence}));
    }

    void offerNotifiesAndComesForward_data()
    {
        QTest::addColumn<bool>("chooseOffer");
        QTest::newRow("the end replaces the offer, and brings the window forward") << false;
        QTest::newRow("the offer brings the save dialog forward") << true;
    }
    void offerNotifiesAndComesForward()
    {
        QFETCH(bool, chooseOffer);
        QVERIFY(withService());
        const auto before = desktop->notified().size();
        WindowRig rig;
        bool cameForward = false;
        QVERIFY(rig.reach(MainWin::Receive, QString(), DesignPeerTiming));
        auto &dg = *rig.side->dg;
        dg.choose(rig.dir.filePath("saved.txt"));
        QVERIFY(activate(rig.side->win.window()));
        QVERIFY(activate(&elsewhere));
        // Like a modal dialog, the scripted one keeps events flowing while it is open.
        dg.whileOpen = [&] {
            // dunst answers once it has drawn the notification, which a loaded machine can delay.
            QVERIFY(waitFor([&] { return desktop->notified().size() == before + 1 && desktop->idOf(desktop->notified().last()); }, 10000));
            if (chooseOffer) {
                cameForward = chooseNotification(rig.side->win.window());
            }
        };
        rig.peer->write("FNnotes.txt\\ 5000");
        // The dialog stays open while the notification comes and is acted on.
        QVERIFY(waitFor([&] { return rig.wire.endsWith("SD"); }, 30000));
        const Seen offer = desktop->notified().value(before);
        QCOMPARE(offer.args.value(4), "127.0.0.1 offers notes.txt (" + finished("4.9").section(u'(', 1));
        rig.peer->write(randomBytes(5000));
        QTRY_COMPARE(rig.side->win.StatBox->text(), finished("4.9"));
        QTest::qWait(300);
        const auto calls = desktop->notified().mid(before);
        if (chooseOffer) {
            QVERIFY(cameForward);
            // In front by the end: nothing more, and the offer is taken away.
            QCOMPARE(calls.size(), 1);
            QTRY_VERIFY(!desktop->filtered(u"CloseNotification").isEmpty());
            return;
        }
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls[1].args.value(1), QString::number(desktop->idOf(offer)));
        QCOMPARE(calls[1].args.value(4), finished("4.9"));
        QVERIFY(chooseNotification(rig.side->win.window()));
    }

    // Run by CTest as tests of their own, each in a process of its own.
    void quietWithoutService_data() { flagRows("bus", {{"no bus", false}, {"bus without service", true}}); }
    void quietWithoutService()
    {
        QFETCH(bool, bus);
        if (desktop)
            QSKIP("the bus of this process is taken");
        if (bus)
            QVERIFY((desktop = std::make_unique<Desktop>())->start(false));
        else
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
        // Whatever reaches the standard error while a transfer runs and ends away.
        QTemporaryFile said;
        QVERIFY(said.open());
        const int kept = dup(2);
        dup2(said.handle(), 2);
        WindowRig rig;
        QVERIFY(activate(&elsewhere));
        QVERIFY(rig.open(MainWin::Receive, rig.dir.filePath("saved.txt")));
        rig.peer->write("FNnotes.txt\\ 5000");
        QVERIFY(waitFor([&] { return rig.wire == "OKSD"; }));
        rig.peer->write(randomBytes(5000));
        QTRY_COMPARE(rig.side->win.StatBox->text(), finished("4.9"));
        QTest::qWait(300);
        dup2(kept, 2);
        close(kept);
        QCOMPARE(said.readAll(), QByteArray());
    }
};

QTEST_MAIN(TstNotify)
#include "tst_notify.moc"
