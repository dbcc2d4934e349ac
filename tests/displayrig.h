#pragma once

// What the tests under a real display server share: an X server of their own, a headless sway of
// their own, a private accessibility bus, the program driven on any of them, and its windows.
#include "datarows.h"
#include "privatebus.h"
#include "windowrig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtDBus>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

// The program's windows as its user opens them from the start window, by a button of it (none for
// the start window itself), and the one size each keeps whatever is asked of it. The start and
// transfer views are one window, in one place.
struct Window { QString tag; QByteArray button; QString title; QSize size; };
inline const QList<Window> Windows = {{u"start"_s, {}, u"Veltrane"_s, {360, 180}},
                                      {u"transfer"_s, "RecBut", u"Veltrane"_s, {360, 180}},
                                      {u"address"_s, "SendBut", u"Connect ..."_s, {286, 120}},
                                      {u"about"_s, "AboutBut", u"About ..."_s, {305, 130}}};

// For a test's initMain: a run on X (QT_QPA_PLATFORM=xcb) gets an X server of its own, on a
// display number no other is using (Xvfb picks it), before the application object looks for one;
// `forChildren`, a run that stays offscreen gets one too, for the programs it starts.
inline void ownXServerWhenOnX(bool forChildren = false)
{
    const QByteArray xvfb = QFile::encodeName(QStandardPaths::findExecutable(u"Xvfb"_s));
    int ready[2];
    pid_t pid = -1;
    if ((!forChildren && qgetenv("QT_QPA_PLATFORM") != "xcb") || xvfb.isEmpty() || pipe(ready) != 0 || (pid = fork()) < 0)
        return;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // it ends with the test, however the test ends
        dup2(ready[1], STDOUT_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
        execl(xvfb.constData(), "Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x1024x24", nullptr);
        _exit(127);
    }
    close(ready[1]);
    char number[16] = {};
    if (read(ready[0], number, sizeof number - 1) <= 0)
        qFatal("Xvfb did not start");
    close(ready[0]);
    setenv("DISPLAY", (':' + QByteArray(number).trimmed()).constData(), 1);
}

// A session bus of the test's own, which starts the accessibility bus (at-spi2-core) when first
// asked for it. `env` reaches both, for the programs the test starts; both end with it.
struct AccessibilityBus {
    QTemporaryDir runtime;
    QProcessEnvironment env;
    QProcess session;
    std::optional<QDBusConnection> bus;

    // Empty once the accessibility bus answers; else what failed.
    QString start()
    {
        env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        env.insert(u"HOME"_s, runtime.path());
        session.setProcessEnvironment(env);
        const QString address = startSessionBus(session, runtime.path());
        if (address.isEmpty())
            return u"The session bus did not start"_s;
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, address);
        const QDBusReply<QString> a11y = QDBusConnection::connectToBus(address, u"session"_s)
            .call(QDBusMessage::createMethodCall(u"org.a11y.Bus"_s, u"/org/a11y/bus"_s, u"org.a11y.Bus"_s, u"GetAddress"_s), QDBus::Block, 10000);
        if (!a11y.isValid())
            return a11y.error().message();
        bus = QDBusConnection::connectToBus(a11y.value(), u"a11y"_s);
        return {};
    }
};

// tests/veltrane_driver, told one step per line on stdin.
struct Driven {
    QProcess process;

    // In the environment `process` already has, with whole stacks, so that what Qt's platform
    // plugins leave is told apart from ours by `suppressions`.
    void start(const QString &driver, const QStringList &args, const QString &suppressions)
    {
        QProcessEnvironment env = process.processEnvironment();
        env.insert(u"ASAN_OPTIONS"_s, qEnvironmentVariable("ASAN_OPTIONS") + u":fast_unwind_on_malloc=0"_s);
        env.insert(u"LSAN_OPTIONS"_s, "suppressions="_L1 + suppressions);
        env.insert(u"UBSAN_OPTIONS"_s, qEnvironmentVariable("UBSAN_OPTIONS"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(driver, args);
    }
    ~Driven()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(5000))
            process.kill();
    }
    // Runs one step, as the user would, and waits until it has run.
    bool send(const QByteArray &line)
    {
        process.write(line + '\n');
        return waitFor([&] { return process.canReadLine() && process.readLine().trimmed() == line; }, 5000);
    }
    // How it ended by itself: "exit 0" when cleanly (a leak the sanitizers find fails it too).
    QString howItEnded()
    {
        // (waitForFinished fails for a process already seen to end.)
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(5000))
            return u"still running"_s;
        return process.exitStatus() == QProcess::CrashExit ? u"crashed"_s : u"exit %1"_s.arg(process.exitCode());
    }
};

// A window as sway sees it.
struct View {
    qint64 id = 0;
    QString name, shell;
    bool floating = false;
    QRect client;  // the area sway gives the program, in output coordinates
    QSize surface; // what the program draws, centred in that area when it is smaller
};

// A headless sway. It refuses to run as root, so it runs as an ordinary account made for the
// tests, in a runtime folder of its own; everything that talks to it runs as that account too
// (XWayland refuses other users).
class Compositor
{
public:
    static constexpr const char *Account = "veltrane-sway";

    // Empty when sway can run here; else why not.
    QString start()
    {
        if (geteuid() != 0)
            return u"Needs root to make the account sway runs as"_s;
        for (const char *tool : {"sway", "swaymsg", "Xwayland", "grim"})
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                return u"%1 is not installed"_s.arg(QLatin1String(tool));
        // A test running beside this one may be making it: its lock fails ours for a moment.
        const QStringList useradd{u"--system"_s, u"--no-create-home"_s, u"--shell"_s, u"/usr/sbin/nologin"_s, QLatin1String(Account)};
        if (!QTest::qWaitFor([&] { return getpwnam(Account) || QProcess::execute(u"useradd"_s, useradd) == 0; }, 2000))
            return u"Could not make the account %1"_s.arg(QLatin1String(Account));
        const passwd *account = getpwnam(Account);
        m_uid = account->pw_uid, m_gid = account->pw_gid;
        // XWayland's socket folder, as an X server run by root would make it; sway would make it
        // its account's own.
        if (!QFileInfo::exists(u"/tmp/.X11-unix"_s) && (mkdir("/tmp/.X11-unix", 01777) != 0 || chmod("/tmp/.X11-unix", 01777) != 0))
            return u"Could not make /tmp/.X11-unix"_s;
        const QByteArray home = QFile::encodeName(m_home.path());
        if (chown(home.constData(), m_uid, m_gid) != 0 || chmod(home.constData(), 0700) != 0)
            return u"Could not hand the runtime folder over"_s;
        // Sway tells what it starts where to find it, and DISPLAY once XWayland listens.
        writeFile(path(u"config"_s), "xwayland enable\nexec echo \"$SWAYSOCK $WAYLAND_DISPLAY $DISPLAY\" > " + home + "/session\n");
        QProcessEnvironment env = base();
        env.insert(u"WLR_BACKENDS"_s, u"headless"_s);
        env.insert(u"WLR_LIBINPUT_NO_DEVICES"_s, u"1"_s);
        env.insert(u"WLR_RENDERER"_s, u"pixman"_s);
        prepare(m_sway, env);
        // Its log, and XWayland's, stay out of the test's output.
        m_sway.setStandardOutputFile(QProcess::nullDevice());
        m_sway.setStandardErrorFile(path(u"sway.log"_s));
        m_sway.start(u"sway"_s, {u"-c"_s, path(u"config"_s)});
        const bool up = waitFor([&] {
            m_session = QString::fromLocal8Bit(contentOf(path(u"session"_s))).simplified().split(u' ');
            return m_session.size() == 3;
        }, 10000);
        return up ? QString() : u"sway did not come up"_s;
    }

    ~Compositor()
    {
        m_sway.terminate();
        m_sway.waitForFinished(3000);
    }

    QString path(const QString &name) const { return m_home.filePath(name); }

    // The account's environment, with the compositor's Wayland socket and its X display.
    QProcessEnvironment base() const
    {
        QProcessEnvironment env;
        env.insert(u"PATH"_s, u"/usr/local/bin:/usr/bin:/bin"_s);
        env.insert(u"HOME"_s, m_home.path());
        env.insert(u"XDG_RUNTIME_DIR"_s, m_home.path());
        if (m_session.size() == 3) {
            env.insert(u"SWAYSOCK"_s, m_session[0]);
            env.insert(u"WAYLAND_DISPLAY"_s, m_session[1]);
            env.insert(u"DISPLAY"_s, m_session[2]);
        }
        return env;
    }

    // Runs `process` as the account, in its runtime folder.
    void prepare(QProcess &process, const QProcessEnvironment &env) const
    {
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_home.path());
        process.setChildProcessModifier([uid = m_uid, gid = m_gid] {
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
                _exit(127);
        });
    }

    // A copy the account may run: the build folder may lie where it cannot look.
    QString copyForAccount(const QString &file) const
    {
        const QString copy = path(QFileInfo(file).fileName());
        QFile::remove(copy);
        QFile::copy(file, copy);
        return chown(QFile::encodeName(copy).constData(), m_uid, m_gid) == 0 ? copy : QString();
    }

    // A command for the window `view`, as the user would give it with the keyboard or the mouse.
    bool command(const View &view, const QString &command) const
    {
        const QJsonArray replies = QJsonDocument::fromJson(run(u"swaymsg"_s, {u"[con_id=%1] "_s.arg(view.id) + command})).array();
        return !replies.isEmpty() && replies.first()["success"_L1].toBool();
    }

    // Every window of process `pid`.
    QList<View> views(qint64 pid) const
    {
        QList<View> found;
        collect(QJsonDocument::fromJson(run(u"swaymsg"_s, {u"-t"_s, u"get_tree"_s, u"-r"_s})).object(), pid, found);
        return found;
    }

    // The window of process `pid` titled `name`, once sway shows it (within `ms`).
    std::optional<View> view(qint64 pid, const QString &name, int ms = 0) const
    {
        std::optional<View> found;
        waitFor([&] {
            for (const View &v : views(pid))
                if (v.name == name && v.client.isValid())
                    found = v;
            return found.has_value();
        }, ms);
        return found;
    }

    // What the output shows in `area`.
    QImage shoot(const QRect &area) const
    {
        const QString geometry = u"%1,%2 %3x%4"_s.arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height());
        return QImage::fromData(run(u"grim"_s, {u"-g"_s, geometry, u"-"_s})).convertToFormat(QImage::Format_RGB32);
    }

private:
    // What `tool` prints, run as the account.
    QByteArray run(const QString &tool, const QStringList &args) const
    {
        QProcess process;
        prepare(process, base());
        process.start(tool, args);
        process.waitForFinished(5000);
        return process.readAllStandardOutput();
    }

    static QRect rect(const QJsonValue &r) { return QRect(r["x"_L1].toInt(), r["y"_L1].toInt(), r["width"_L1].toInt(), r["height"_L1].toInt()); }

    static void collect(const QJsonObject &node, qint64 pid, QList<View> &found)
    {
        if (node["pid"_L1].toInteger() == pid) {
            // The client area is given within the frame, which has the title bar and border.
            found.append({node["id"_L1].toInteger(), node["name"_L1].toString(), node["shell"_L1].toString(),
                          node["type"_L1].toString() == u"floating_con", rect(node["window_rect"_L1]).translated(rect(node["rect"_L1]).topLeft()),
                          rect(node["geometry"_L1]).size()});
        }
        for (const char *children : {"nodes", "floating_nodes"})
            for (const QJsonValue child : node[QLatin1String(children)].toArray())
                collect(child.toObject(), pid, found);
    }

    QTemporaryDir m_home{u"/tmp/veltrane-sway-XXXXXX"_s};
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QProcess m_sway;
    QStringList m_session; // SWAYSOCK, WAYLAND_DISPLAY and DISPLAY, once sway is up
};
