#pragma once

#include "privatebus.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <functional>
#include <list>

// A child process of the test that speaks in lines; it dies with the test, however the test ends.
struct Child : QProcess {
    QStringList lines;

    Child()
    {
        setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    ~Child() override
    {
        kill();
        waitForFinished(5000);
    }
    // The newest line that starts with `prefix`, without it; "(none)" when there is none yet.
    QString last(const QString &prefix)
    {
        while (canReadLine())
            lines << QString::fromUtf8(readLine()).chopped(1);
        for (qsizetype i = lines.size() - 1; i >= 0; --i)
            if (lines[i].startsWith(prefix))
                return lines[i].sliced(prefix.size());
        return QStringLiteral("(none)");
    }
    // Waits until the newest such line satisfies `wanted`.
    bool await(const QString &prefix, const std::function<bool(const QString &)> &wanted, int ms)
    {
        for (QDeadlineTimer deadline(ms); !deadline.hasExpired(); waitForReadyRead(20))
            if (const QString seen = last(prefix); seen != u"(none)" && wanted(seen))
                return true;
        return false;
    }
    bool await(const QString &prefix, const QString &wanted, int ms)
    {
        return await(prefix, [&](const QString &seen) { return seen == wanted; }, ms);
    }
    void say(const QByteArray &line)
    {
        write(line + '\n');
        waitForBytesWritten(1000);
    }
    // `command` on the system bus listening at `socket`.
    void startOnBus(const QString &socket, const QStringList &command)
    {
        start(QStringLiteral("env"), QStringList{"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + socket} + command);
    }
};

// Two computers on one link, each a network namespace with its own system bus and its own
// avahi-daemon, joined by a veth pair; the machine's own bus and daemon are never touched.
// Every namespace is held by a child process, so it vanishes with the test even after a crash.
class AvahiNet
{
    // Destroyed last, after every process that uses it.
    QTemporaryDir m_dir;

public:
    QString address(int host) const { return QStringLiteral("192.168.77.%1").arg(host + 1); }
    QString bus(int host) const { return m_dir.filePath(QStringLiteral("bus%1").arg(host)); }
    QString folder() const { return m_dir.path(); }

    // What `run` started, which each case ends; and the daemons, which stay for all cases.
    std::list<Child> programs, daemons;

    // Empty when all is up, or what went wrong.
    QString start()
    {
        // Unique per run, so that parallel runs and builds never meet; at most 15 characters.
        const QString tag = m_tag = QStringLiteral("vt%1").arg(getpid());
        QString script = QStringLiteral("ip link add %1a type veth peer name %1b").arg(tag);
        for (int host = 0; host < 2; ++host) {
            // Says its line only once in its new namespace, whose path is read from then on.
            Child &holder = daemons.emplace_back();
            holder.start(QStringLiteral("unshare"), {"--net", "sh", "-c", "echo; exec sleep infinity"});
            if (!holder.waitForReadyRead(5000))
                return QStringLiteral("no namespace holder");
            m_netns[host] = QStringLiteral("--net=/proc/%1/ns/net").arg(holder.processId());
            script += QStringLiteral(" && ip link set %1 netns %2 && nsenter %3 sh -c 'ip addr add %4/24 dev %1 && "
                                     "ip link set lo up && ip link set %1 up multicast on'")
                          .arg(tag + QChar(u'a' + host), QString::number(holder.processId()), m_netns[host],
                               address(host));
        }
        QProcess link;
        link.start(QStringLiteral("sh"), {"-c", script});
        if (!link.waitForFinished(10000) || link.exitCode() != 0)
            return "no link: " + QString::fromUtf8(link.readAllStandardError());
        for (int host = 0; host < 2; ++host) {
            if (!startSystemBus(daemons.emplace_back(), bus(host)))
                return QStringLiteral("no bus");
            // Only the veth link, IPv4, no wide area, no records beyond the services announced.
            const QString config = QStringLiteral("[server]\nhost-name=veltrane-test-%1\nuse-ipv4=yes\nuse-ipv6=no\n"
                                                  "allow-interfaces=%2%3\nenable-dbus=yes\n[wide-area]\nenable-wide-area=no\n"
                                                  "[publish]\npublish-hinfo=no\npublish-workstation=no\n")
                                       .arg(QString::number(host), tag, QChar(u'a' + host));
            // Its pid file and socket live under /run: a tmpfs in a mount namespace of its own
            // keeps them, and its configuration, apart.
            Child &avahi = daemons.emplace_back();
            avahi.setProcessChannelMode(QProcess::MergedChannels);
            avahi.startOnBus(bus(host), {"nsenter", m_netns[host], "unshare", "--mount", "--propagation", "private", "sh", "-c",
                                         "mount -t tmpfs tmpfs /run && printf %s \"$1\" >/run/avahi.conf && exec avahi-daemon "
                                         "--no-drop-root --no-chroot --no-rlimits -f /run/avahi.conf", "sh", config});
            if (!avahi.await(QStringLiteral("Server startup complete"), [](const QString &) { return true; }, 10000))
                return "avahi-daemon did not start: " + avahi.lines.join(u'\n');
        }
        return {};
    }

    // `command` inside `host`'s network namespace and on its bus (or on the bus at `socket`).
    Child &exec(int host, const QStringList &command, const QString &socket = {})
    {
        Child &child = programs.emplace_back();
        child.startOnBus(socket.isEmpty() ? bus(host) : socket, QStringList{"nsenter", netns(host)} + command);
        return child;
    }
    // The host's end of the link, and nsenter's argument for its namespace.
    QString link(int host) const { return m_tag + QChar(u'a' + host); }
    QString netns(int host) const { return m_netns[host]; }

private:
    QString m_netns[2];
    QString m_tag;
};
