// How the transfer window behaves as a desktop program: why it cannot listen, where its dialogs
// start, what the save dialog says, refuses (a place without room too) and asks, how a disk that
// fills ends a transfer, how long it waits for a silent peer, and how files given on the command
// line or dropped are taken.
#include "app/ipwin.h"
#include "app/startup.h"
#include "displayrig.h"
#include "savedialogperson.h"
#include "tarblocks.h"
#include "transfer/saveplace.h"

#include <QMimeData>
#include <QTemporaryFile>

#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <xcb/xcb.h>

namespace {
using Dialogs = std::tuple<QString, QByteArray, QStringList, QString, QHostAddress, QLocale, QByteArray, QString>;
QString shown(ProcWin &win) { return win.StatBox->text() + " | " + win.CDBut->text(); }

// Takes capabilities out of the calling thread's effective set while it lives, so that a test
// run as root meets the refusals an ordinary user meets. They stay permitted and come back after.
class WithoutCapabilities
{
public:
    explicit WithoutCapabilities(std::initializer_list<int> capabilities)
    {
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        for (int capability : capabilities)
            reduced[CAP_TO_INDEX(capability)].effective &= ~CAP_TO_MASK(capability);
        m_dropped = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutCapabilities()
    {
        if (m_dropped)
            syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutCapabilities(const WithoutCapabilities &) = delete;
    WithoutCapabilities &operator=(const WithoutCapabilities &) = delete;

    // Also true for a user who never had them.
    bool dropped() const { return m_dropped || geteuid() != 0; }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_dropped = false;
};

// A 1 MiB tmpfs, mounted in a mount namespace of the test's own, so nothing outside sees it.
struct SmallFileSystem {
    QString path;
    QString why;
    explicit SmallFileSystem(const QString &at)
        : path(at)
    {
        if (geteuid() != 0)
            why = QStringLiteral("mounting a small file system needs root");
        else if (!QDir().mkpath(at) || unshare(CLONE_NEWNS) != 0
                 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                 || mount("veltrane-test", QFile::encodeName(at).constData(), "tmpfs", 0, "size=1m") != 0)
            why = QStringLiteral("cannot mount a tmpfs: ") + QString::fromLocal8Bit(strerror(errno));
    }
    ~SmallFileSystem()
    {
        if (why.isEmpty())
            umount2(QFile::encodeName(path).constData(), MNT_DETACH);
    }
};

// Hears what X clients ask of the window manager: a request to change a window's state is a
// client message to the root window, which any client may listen to.
struct StateRequests {
    xcb_connection_t *x = xcb_connect(nullptr, nullptr);
    xcb_atom_t state = atom("_NET_WM_STATE"), attention = atom("_NET_WM_STATE_DEMANDS_ATTENTION");
    StateRequests()
    {
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(x, xcb_setup_roots_iterator(xcb_get_setup(x)).data->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(x);
    }
    ~StateRequests() { xcb_disconnect(x); }
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        return free(reply), atom;
    }
    // Whether `window` asked for attention since the last call.
    bool demandedAttention(WId window)
    {
        bool demanded = false;
        while (xcb_generic_event_t *event = xcb_poll_for_event(x)) {
            const auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
            demanded |= (event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->window == window
                        && message->type == state && message->data.data32[0] == 1 && message->data.data32[1] == attention;
            free(event);
        }
        return demanded;
    }
};
}

class tst_Desktop : public QObject
{
    Q_OBJECT

    QTemporaryDir base;
    QString home = base.filePath("home");
    int ends = 0;

    void setHome(const QString &path)
    {
        qputenv("HOME", path.toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", QDir(path).filePath(".config").toLocal8Bit());
    }

public:
    static void initMain() { ownXServerWhenOnX(); }

private slots:
    void initTestCase()
    {
        Form::setProgramEnd([this] { ++ends; });
        QVERIFY(QDir().mkpath(home));
        setHome(home);
    }
    // Each case counts the program's ends of its own.
    void init() { ends = 0; }

    void listenFailuresSayWhy()
    {
        // A port held by another program: tst_navigation, which also sees a port that listens.
        // Below 1024 a port needs a privilege an ordinary user lacks; root gives it up here.
        QFile start(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
        const int unprivileged = start.open(QIODevice::ReadOnly) ? start.readAll().trimmed().toInt() : 1024;
        quint16 low = 1000;
        if (geteuid() == 0)
            while (low > 900 && !QTcpServer().listen(QHostAddress::Any, low))
                --low;
        if (low >= unprivileged)
            QSKIP("Every port may be listened on here; the refusal cannot be met.");
        WithoutCapabilities ordinary({CAP_NET_BIND_SERVICE});
        QVERIFY(ordinary.dropped());
        Side refused(MainWin::Receive, low, {});
        QTRY_COMPARE(shown(refused.win), QStringLiteral("No permission to listen on port %1! | Done").arg(low));
    }

    void dialogsStartInTheUsersFoldersAndTheSaveDialogNamesTheOffer_data()
    {
        const QLocale english(QLocale::English, QLocale::UnitedStates), german(QLocale::German, QLocale::Germany);
        // user-dirs.dirs, the folders in the home, where the save dialog opens ("" for the home);
        // where the offer comes from, in which locale, and the title that names it.
        addRows(QList<Dialogs>{
            {"nothing set, no Downloads; IPv6, German", {}, {}, {}, QHostAddress::LocalHostIPv6, german, "FNa.txt\\ 5000",
             "Save file from ::1 (4,9 KB)"},
            {"nothing set, Downloads; 1.5 KB", {}, {"Downloads"}, "Downloads", QHostAddress::LocalHost, english, "FNa.txt\\ 1536",
             "Save file from 127.0.0.1 (1.5 KB)"},
            // Sizes past 32 bits are offered like any other.
            {"localised; 2^31", "XDG_DOWNLOAD_DIR=\"$HOME/T\xc3\xa9l\xc3\xa9\x63hargements\"\n", {"Downloads", "T\u00e9l\u00e9chargements"},
             "T\u00e9l\u00e9chargements", QHostAddress::LocalHost, english, "FNa.txt\\ 2147483648", "Save file from 127.0.0.1 (2097152 KB)"},
            {"named but missing; 2^63 - 1", "XDG_DOWNLOAD_DIR=\"$HOME/Gone\"\n", {"Downloads"}, {}, QHostAddress::LocalHost, english,
             "FNa.txt\\ 9223372036854775807", "Save file from 127.0.0.1 (9007199254740992 KB)"},
        }, [](const Dialogs &row) { return std::get<0>(row); });
    }
    void dialogsStartInTheUsersFoldersAndTheSaveDialogNamesTheOffer()
    {
        QFETCH(Dialogs, row);
        const auto &[tag, userDirs, folders, saveIn, from, locale, offer, title] = row;
        QTemporaryDir place;
        const QString user = place.filePath("user"), elsewhere = place.filePath("elsewhere");
        QVERIFY(QDir().mkpath(user + "/.config") && QDir().mkpath(elsewhere));
        for (const QString &folder : folders)
            QVERIFY(QDir(user).mkdir(folder));
        if (!userDirs.isEmpty())
            QVERIFY(writeFile(user + "/.config/user-dirs.dirs", "# written by xdg-user-dirs-update\n" + userDirs));
        const auto restore = qScopeGuard([this, started = QDir::currentPath()] {
            QDir::setCurrent(started), setHome(home), QLocale::setDefault(QLocale::c());
        });
        setHome(user);
        QDir::setCurrent(elsewhere);
        QLocale::setDefault(locale);

        // The open dialog once the receiver has answered, the save dialog once the peer has offered.
        WindowRig sender;
        QVERIFY(sender.open(MainWin::Send, {}));
        sender.peer->write("OK");
        const quint16 port = freePort();
        Side receiver(MainWin::Receive, port, {});
        QVERIFY(receiver.listening());
        QTcpSocket peer;
        peer.connectToHost(from, port);
        QVERIFY(peer.waitForConnected(3000));
        peer.write(offer);
        QVERIFY(waitFor([&] { return !sender.side->dg->shown.isEmpty() && !receiver.dg->shown.isEmpty(); }));
        QCOMPARE(sender.side->dg->shown.first().InitDir, user);
        const ScriptedDialog::Shown save = receiver.dg->shown.first();
        QCOMPARE(save.InitDir, saveIn.isEmpty() ? user : user + u'/' + saveIn);
        QCOMPARE(save.DialogTitle, title);
        QCOMPARE(save.FileName, QStringLiteral("a.txt"));
    }

    void saveDialogRefusesPlacesThatCannotTakeTheFileAndStaysOpen()
    {
        // A download folder, and a file in it, that its owner may not write to.
        QTemporaryDir place;
        const QString user = place.filePath("user"), downloads = user + "/Downloads";
        const QString locked = downloads + "/notes.txt", chosen = place.filePath("notes.txt");
        QVERIFY(QDir().mkpath(downloads) && writeFile(locked, "mine"));
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner));
        QVERIFY(QFile::setPermissions(downloads, QFile::ReadOwner | QFile::ExeOwner));
        setHome(user);

        QStringList saw;
        {
            WithoutCapabilities ordinary({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
            QVERIFY(ordinary.dropped());
            // Save as offered (a file it cannot replace), then a new name in the same folder, then
            // a place it can write to; each refusal's default button leads back to the dialog.
            SaveDialogPerson person;
            QVERIFY(person.save("FNnotes.txt\\ 4", {QString(), "new.txt", chosen}));
            QCOMPARE(person.win().StatBox->text(), QStringLiteral("Recieving file ..."));
            person.rig.peer->write("news");
            QTRY_COMPARE(shown(person.win()), QStringLiteral("Finished. (0 KB) | Done"));
            saw = person.saw;
        }
        QFile::setPermissions(downloads, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        setHome(home);
        QCOMPARE(saw, QStringList({"Downloads OK", "You cannot replace this file.", "Downloads OK",
                                   "You cannot create files in this folder.", "Downloads OK"}));
        QCOMPARE(contentOf(locked), QByteArray("mine"));
        QVERIFY(!QFile::exists(downloads + "/new.txt"));
        QCOMPARE(contentOf(chosen), QByteArray("news"));
    }

    void placeWithoutRoomIsRefusedAndTheDialogStaysOpen()
    {
        // The download folder is the small file system; the temporary folder has room.
        SmallFileSystem small(base.filePath("user/Downloads"));
        if (!small.why.isEmpty())
            QSKIP(qPrintable(small.why));
        setHome(base.filePath("user"));
        const auto restore = qScopeGuard([this] { setHome(home); });
        const QString roomy = base.filePath("roomy.bin");
        SaveDialogPerson person;
        QVERIFY(person.save("FNroomy.bin\\ 2000000", {QString(), "other.bin", roomy}));
        QCOMPARE(person.saw, QStringList({"Downloads OK", "There is not enough free space in this folder.",
                                          "Downloads OK", "There is not enough free space in this folder.", "Downloads OK"}));
        QVERIFY(!QFile::exists(small.path + "/roomy.bin") && !QFile::exists(small.path + "/other.bin"));
        QCOMPARE(QFileInfo(roomy).size(), 0);

        // A file it would replace counts: its bytes are freed when it is emptied.
        const QString old = small.path + "/old.bin";
        QVERIFY(writeFile(old, QByteArray(700 * 1024, 'x')));
        QVERIFY(SavePlace::hasRoom(old, 900 * 1024));
        QVERIFY(!SavePlace::hasRoom(small.path + "/new.bin", 900 * 1024));
    }

    void diskThatFillsDuringTheTransferEndsItWithTheWriteFailure()
    {
        SmallFileSystem small(base.filePath("full"));
        if (!small.why.isEmpty())
            QSKIP(qPrintable(small.why));
        // The stand-in at the dialog checks nothing, as if another program had taken the room since.
        const QString target = small.path + "/in.bin";
        RawRig rig;
        QVERIFY(rig.open(TransferSettings::Receive, target));
        const QByteArray content = randomBytes(2000000);
        rig.peer->write("RCFNin.bin\\ 2000000");
        QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
        rig.peer->write(content);
        QTRY_COMPARE(rig.side->status, QStringLiteral("Error ! Could not write file."));
        QVERIFY(rig.side->ended && !rig.side->finished);
        const QByteArray partial = contentOf(target);
        QVERIFY(partial.size() < content.size() && content.startsWith(partial));
    }

    void saveDialogProposesTheBundlesFolderAndAsksBeforeMergingIntoOne_data()
    {
        QTest::addColumn<bool>("there");
        QTest::addColumn<bool>("merge");
        QTest::newRow("a new folder, not asked") << false << false;
        QTest::newRow("a folder that is there, merged") << true << true;
        QTest::newRow("a folder that is there, refused") << true << false;
    }
    void saveDialogProposesTheBundlesFolderAndAsksBeforeMergingIntoOne()
    {
        QFETCH(bool, there);
        QFETCH(bool, merge);
        WindowRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("box"));
        QVERIFY(!there || (QDir().mkpath(target) && writeFile(target + "/keep.txt", "mine")));
        QVERIFY(rig.open(MainWin::Receive, target));
        rig.side->dg->mergeAnswer = merge;
        rig.side->win.BackToMain = true;
        QVERIFY(rig.turnPrivate(PeerIdentity::a(), PeerIdentity::a().probe()));
        const QByteArray bundle = header("box/", '5') + file("box/x.txt", "x") + QByteArray(1024, '\0');
        rig.peer->write("RCFNbox/\\ " + QByteArray::number(bundle.size()));
        QTRY_VERIFY(rig.wire.size() >= 4);
        const ScriptedDialog::Shown save = rig.side->dg->shown.value(0);
        QCOMPARE(save.FileName, QStringLiteral("box"));
        // A folder is never replaced, so the dialog's own overwrite question stays out of it.
        QCOMPARE(save.Flags & FileDialogControl::OverwritePrompt, 0);
        QCOMPARE(rig.side->dg->merges, there ? QStringList{target} : QStringList{});
        if (there && !merge) {
            QCOMPARE(rig.wire, QByteArray("OKCC"));
            QCOMPARE(shown(rig.side->win), QStringLiteral("Saving file cancelled. Connection closed. | Done"));
            QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"keep.txt"});
            return;
        }
        QCOMPARE(rig.wire, QByteArray("OKSD"));
        rig.peer->write(bundle);
        QTRY_COMPARE(shown(rig.side->win), QStringLiteral("Finished. (2.5 KB) | Done"));
        QCOMPARE(contentOf(target + "/x.txt"), QByteArray("x"));
        QCOMPARE(contentOf(target + "/keep.txt"), there ? QByteArray("mine") : QByteArray("<unreadable>"));
    }

    void startedWithPathsItGoesStraightToTheAddressDialogOrRefuses()
    {
        QTemporaryDir dir;
        const QString trip = dir.filePath(QStringLiteral("Trip"));
        QVERIFY(QDir().mkpath(trip + "/sub") && writeFile(trip + "/run.sh", "run") && writeFile(trip + "/Icon\r", "icon"));
        QVERIFY(!Startup::begin({dir.filePath(QStringLiteral("missing"))}));
        QVERIFY(!MainWin::instance().isLoaded());

        // A name a receiver would refuse is refused before anything shows, with a line that names it.
        QTemporaryFile said;
        QVERIFY(said.open());
        const int stderrWas = dup(2);
        dup2(said.handle(), 2);
        const bool begun = Startup::begin({trip});
        dup2(stderrWas, 2), close(stderrWas);
        QVERIFY(!begun && !MainWin::instance().isLoaded());
        said.seek(0);
        QCOMPARE(said.readAll(), "veltrane: cannot send " + QFile::encodeName(trip) + "/Icon\\r: a receiver would refuse its name\n");
        QVERIFY(QFile::remove(trip + "/Icon\r"));

        QVERIFY(Startup::begin({trip}));
        QVERIFY(IPWin::instance().isLoaded() && IPWin::instance().window()->isVisible());
        QCOMPARE(MainWin::instance().XferMode, MainWin::Send);
        QCOMPARE(MainWin::instance().Paths, QStringList{trip});
        // Send itself asks again with the open dialog.
        IPWin::instance().Unload();
        MainWin::instance().SendBut->click();
        QVERIFY(MainWin::instance().Paths.isEmpty());
        IPWin::instance().Unload();

        // Dropped on the start window, files and folders are sent the same way.
        QMimeData dropped;
        dropped.setUrls({QUrl::fromLocalFile(trip), QUrl::fromLocalFile(trip + "/run.sh")});
        QWidget *start = MainWin::instance().window();
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(start, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(start, &drop);
        QVERIFY(IPWin::instance().isLoaded() && IPWin::instance().window()->isVisible());
        QCOMPARE(MainWin::instance().Paths, QStringList({trip, trip + "/run.sh"}));
        IPWin::instance().Unload();
        MainWin::instance().Unload();
    }

    void transferEndAsksForAttentionOnlyWhenInactive()
    {
        // The offscreen platform keeps no attention state; the X run (tst_desktop_x11) shows it.
        if (QGuiApplication::platformName() != u"xcb")
            QSKIP("Only an X display shows the request");
        StateRequests requests;
        QWidget elsewhere;
        elsewhere.show();
        // How the transfer ends, whether the user is in another window, and the ending it shows.
        for (const bool finishes : {true, false}) {
            for (const bool away : {true, false}) {
                WindowRig rig;
                QVERIFY(rig.open(MainWin::Receive, finishes ? rig.dir.filePath("copy.txt") : QString()));
                ProcWin &win = rig.side->win;
                QWidget *active = away ? &elsewhere : win.window();
                QVERIFY(activate(active));
                requests.demandedAttention(win.window()->winId());
                rig.peer->write(finishes ? "FNcopy.txt\\ 5" : "CC");
                if (finishes) {
                    QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
                    rig.peer->write("hello");
                }
                QTRY_COMPARE(win.CDBut->text(), QStringLiteral("Done"));
                QCOMPARE(win.StatBox->text(), finishes ? "Finished. (0 KB)" : "Error ! Connection closed by sender.");
                // Asked for at once, or not at all.
                bool demanded = false;
                waitFor([&] { return (demanded |= requests.demandedAttention(win.window()->winId())); }, 500);
                QCOMPARE(demanded, away);
                rig.side->win.BackToMain = true;
            }
        }
    }

    void silentPeerIsGivenUpAtTheLimitAndCancelStopsTheWait()
    {
        // A port on loopback that takes one connection into its queue and then ignores every
        // attempt: the queue is never emptied, so later SYNs are dropped and the attempt neither
        // succeeds nor fails.
        QTcpServer silent;
        silent.setListenBacklogSize(0);
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        silent.pauseAccepting();
        QTcpSocket fillers[2];
        for (QTcpSocket &filler : fillers)
            filler.connectToHost(QHostAddress::LocalHost, silent.serverPort());
        QVERIFY(waitFor([&] { return fillers[0].state() == QAbstractSocket::ConnectedState; }));
        const int limit = 1500;
        for (const bool cancel : {false, true}) {
            Side side(MainWin::Send, silent.serverPort(), {}, TransferTiming{100, limit});
            ProcWin &win = side.win;
            QTest::qWait(limit / 2);
            QCOMPARE(shown(win), QStringLiteral("Connecting to 127.0.0.1 ... | Cancel"));
            if (cancel) {
                win.CDBut->click();
                QVERIFY(!win.isLoaded() && side.main.window()->isVisible());
                QTest::qWait(limit);
                // Reported nowhere: the window stays unloaded and the program runs on.
                QVERIFY(!win.isLoaded() && ends == 0);
            } else {
                QTRY_COMPARE_WITH_TIMEOUT(shown(win), QStringLiteral("Could not connect to 127.0.0.1! | Done"), 10000);
                QCOMPARE(win.transfer().NT->State(), int(TcpControl::Closed));
                win.BackToMain = true;
            }
        }
    }
};

QTEST_MAIN(tst_Desktop)
#include "tst_desktop.moc"
