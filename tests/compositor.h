#pragma once

// A headless sway of the test's own, and the program running under it. Sway refuses to run as
// root, so it runs as an ordinary account made for the tests, in a runtime folder of its own;
// everything that talks to it runs as that account too (XWayland refuses other users).
#include "transferrig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

// A window as sway sees it.
struct View {
    qint64 id = 0;
    QString name, shell;
    bool floating = false;
    QRect frame;  // with title bar and border
    QRect client; // the area sway gives the program, in output coordinates
    QSize surface; // what the program draws, centred in that area when it is smaller
};

class Compositor
{
public:
    static constexpr const char *Account = "veltrane-sway";

    // Empty when sway can run here; else why not.
    QString start()
    {
        if (geteuid() != 0)
            return QStringLiteral("Needs root to make the account sway runs as");
        for (const char *tool : {"sway", "swaymsg", "Xwayland", "grim"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                return QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
        if (!makeAccount())
            return QStringLiteral("Could not make the account %1").arg(QLatin1String(Account));
        // XWayland's socket folder, as an X server run by root would make it; sway would make it
        // its account's own.
        if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix")) && (mkdir("/tmp/.X11-unix", 01777) != 0 || chmod("/tmp/.X11-unix", 01777) != 0))
            return QStringLiteral("Could not make /tmp/.X11-unix");
        const QByteArray home = QFile::encodeName(m_home.path());
        if (chown(home.constData(), m_uid, m_gid) != 0 || chmod(home.constData(), 0700) != 0)
            return QStringLiteral("Could not hand the runtime folder over");
        // Sway sets DISPLAY for what it starts, once XWayland listens.
        writeFile(path("config"), "xwayland enable\nexec echo \"$DISPLAY\" > " + home + "/x-display\n");
        QProcessEnvironment env = base();
        env.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
        env.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
        env.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
        prepare(m_sway, env);
        // Its log, and XWayland's, stay out of the test's output.
        m_sway.setStandardOutputFile(QProcess::nullDevice());
        m_sway.setStandardErrorFile(path(QStringLiteral("sway.log")));
        m_sway.start(QStringLiteral("sway"), {QStringLiteral("-c"), path("config")});
        const QDir runtime(m_home.path());
        const bool up = waitFor([&] {
            const QStringList ipc = runtime.entryList({QStringLiteral("sway-ipc.*.sock")}, QDir::System);
            const QStringList wayland = runtime.entryList({QStringLiteral("wayland-?")}, QDir::System);
            QFile display(path(QStringLiteral("x-display")));
            if (ipc.isEmpty() || wayland.isEmpty() || !display.open(QIODevice::ReadOnly))
                return false;
            m_ipc = path(ipc.first()), m_wayland = path(wayland.first());
            m_x = QString::fromLocal8Bit(display.readAll().trimmed());
            return !m_x.isEmpty();
        }, 10000);
        return up ? QString() : QStringLiteral("sway did not come up");
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
        env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/local/bin:/usr/bin:/bin"));
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
        if (!m_ipc.isEmpty()) {
            env.insert(QStringLiteral("SWAYSOCK"), m_ipc);
            env.insert(QStringLiteral("WAYLAND_DISPLAY"), QFileInfo(m_wayland).fileName());
            env.insert(QStringLiteral("DISPLAY"), m_x);
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
        const QByteArray name = QFile::encodeName(copy);
        return chown(name.constData(), m_uid, m_gid) == 0 ? copy : QString();
    }

    QByteArray swaymsg(const QStringList &args) const
    {
        QProcess msg;
        prepare(msg, base());
        msg.start(QStringLiteral("swaymsg"), args);
        msg.waitForFinished(5000);
        return msg.readAllStandardOutput();
    }

    bool command(const QString &command) const
    {
        const QJsonArray replies = QJsonDocument::fromJson(swaymsg({command})).array();
        return !replies.isEmpty() && replies.first().toObject().value(QStringLiteral("success")).toBool();
    }

    // Every window of process `pid`.
    QList<View> views(qint64 pid) const
    {
        QList<View> found;
        collect(QJsonDocument::fromJson(swaymsg({QStringLiteral("-t"), QStringLiteral("get_tree"), QStringLiteral("-r")}))
                    .object(),
                pid, found);
        return found;
    }

    std::optional<View> view(qint64 pid, const QString &name) const
    {
        for (const View &v : views(pid))
            if (v.name == name && v.client.isValid())
                return v;
        return std::nullopt;
    }

    // What the output shows in `area`.
    QImage shoot(const QRect &area) const
    {
        QProcess grim;
        prepare(grim, base());
        const QString file = path(QStringLiteral("shot.png"));
        QFile::remove(file);
        grim.start(QStringLiteral("grim"), {QStringLiteral("-g"),
                                            QStringLiteral("%1,%2 %3x%4").arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height()),
                                            file});
        grim.waitForFinished(5000);
        return QImage(file).convertToFormat(QImage::Format_RGB32);
    }

private:
    bool makeAccount()
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (const passwd *account = getpwnam(Account)) {
                m_uid = account->pw_uid, m_gid = account->pw_gid;
                return true;
            }
            // A test running beside this one may be making it: its lock fails ours for a moment.
            QProcess::execute(QStringLiteral("useradd"), {QStringLiteral("--system"), QStringLiteral("--no-create-home"),
                                                           QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"),
                                                           QString::fromLatin1(Account)});
            if (!getpwnam(Account))
                QTest::qWait(100);
        }
        return false;
    }

    static QRect rect(const QJsonValue &value)
    {
        const QJsonObject r = value.toObject();
        return QRect(r[QStringLiteral("x")].toInt(), r[QStringLiteral("y")].toInt(), r[QStringLiteral("width")].toInt(),
                     r[QStringLiteral("height")].toInt());
    }

    static void collect(const QJsonObject &node, qint64 pid, QList<View> &found)
    {
        if (node[QStringLiteral("pid")].toInteger() == pid) {
            View v;
            v.id = node[QStringLiteral("id")].toInteger();
            v.name = node[QStringLiteral("name")].toString();
            v.shell = node[QStringLiteral("shell")].toString();
            v.floating = node[QStringLiteral("type")].toString() == u"floating_con";
            v.frame = rect(node[QStringLiteral("rect")]);
            v.client = rect(node[QStringLiteral("window_rect")]).translated(v.frame.topLeft());
            v.surface = rect(node[QStringLiteral("geometry")]).size();
            found.append(v);
        }
        for (const char *children : {"nodes", "floating_nodes"})
            for (const QJsonValue child : node[QLatin1String(children)].toArray())
                collect(child.toObject(), pid, found);
    }

    QTemporaryDir m_home{QStringLiteral("/tmp/veltrane-sway-XXXXXX")};
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    QProcess m_sway;
    QString m_ipc, m_wayland, m_x;
};
