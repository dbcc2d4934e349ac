#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <list>
#include <memory>

// A child process of the test that speaks in lines; it dies with the test, however the test ends.
struct Child {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QStringList lines;
    QByteArray pending;

    void collect()
    {
        pending += process->readAllStandardOutput();
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
            lines << QString::fromUtf8(pending.left(end));
    }
    // The newest line that starts with `prefix`, without it; "(none)" when there is none yet.
    QString last(const QString &prefix)
    {
        collect();
        for (qsizetype i = lines.size() - 1; i >= 0; --i)
            if (lines[i].startsWith(prefix))
                return lines[i].sliced(prefix.size());
        return QStringLiteral("(none)");
    }
    // Waits until the newest such line satisfies `wanted`.
    template <typename Wanted> bool awaitLast(const QString &prefix, Wanted wanted, int ms)
    {
        for (QDeadlineTimer deadline(ms); !deadline.hasExpired(); process->waitForReadyRead(20))
            if (const QString seen = last(prefix); seen != u"(none)" && wanted(seen))
                return true;
        return false;
    }
    void say(const QByteArray &line)
    {
        process->write(line + '\n');
        process->waitForBytesWritten(1000);
    }
    QByteArray errors() { return process->readAllStandardError(); }
    ~Child()
    {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
};

// Two computers on one link, each a network namespace with its own system bus and its own
// avahi-daemon, joined by a veth pair; the machine's own bus and daemon are never touched.
// Every namespace is held by a child process, so it vanishes with the test even after a crash.
class AvahiNet
{
public:
    static constexpr int Hosts = 2;

    // Why the rig cannot run here, or empty.
    static QString unavailable()
    {
        if (geteuid() != 0)
            return QStringLiteral("needs root for network namespaces and daemons of its own");
        for (const char *tool : {"ip", "nsenter", "dbus-daemon", "avahi-daemon"})
            if (QStandardPaths::findExecutable(QLatin1String(tool), {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}).isEmpty())
                return QStringLiteral("needs %1 (packages iproute2, dbus-daemon, avahi-daemon)").arg(QLatin1String(tool));
        return {};
    }

    QString address(int host) const { return QStringLiteral("192.168.77.%1").arg(host + 1); }
    QString bus(int host) const { return m_dir.filePath(QStringLiteral("bus%1").arg(host)); }
    QString folder() const { return m_dir.path(); }

    // Empty when all is up, or what went wrong.
    QString start()
    {
        if (!m_dir.isValid())
            return QStringLiteral("no temporary folder");
        // Unique per run, so that parallel runs and builds never meet; at most 15 characters.
        const QString tag = QStringLiteral("vt%1").arg(getpid());
        for (int host = 0; host < Hosts; ++host) {
            Child &holder = m_children.emplace_back();
            m_holders[host] = holder.process.get();
            spawn(holder, -1, QStringLiteral("sleep"), {QStringLiteral("infinity")}, CLONE_NEWNET);
            if (!holder.process->waitForStarted())
                return QStringLiteral("no namespace holder");
            m_links[host] = tag + QChar(u'a' + host);
        }
        if (!ip({"link", "add", m_links[0], "type", "veth", "peer", "name", m_links[1]}))
            return QStringLiteral("no veth pair");
        for (int host = 0; host < Hosts; ++host) {
            const QString pid = QString::number(m_holders[host]->processId());
            if (!ip({"link", "set", m_links[host], "netns", pid})
                || !ip({"addr", "add", address(host) + "/24", "dev", m_links[host]}, pid)
                || !ip({"link", "set", "lo", "up"}, pid)
                || !ip({"link", "set", m_links[host], "up", "multicast", "on"}, pid))
                return QStringLiteral("cannot set up the link of host %1").arg(host);
            if (const QString failed = startDaemons(host); !failed.isEmpty())
                return failed;
        }
        return {};
    }

    // The test executable again, inside `host`'s network namespace, on that host's bus (or on
    // `busAddress` when given).
    Child &run(int host, const QStringList &arguments, const QString &busAddress = {})
    {
        Child &child = m_programs.emplace_back();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           busAddress.isEmpty() ? QStringLiteral("unix:path=") + bus(host) : busAddress);
        child.process->setProcessEnvironment(environment);
        spawn(child, host, QCoreApplication::applicationFilePath(), arguments);
        child.process->waitForStarted();
        return child;
    }

    // A bus with nobody on it, in no namespace: needs no privilege.
    static bool startBareBus(Child &daemon, const QString &socket, const QString &folder)
    {
        const QString config = writeBusConfig(folder + QStringLiteral("/bare.conf"), socket);
        daemon.process->start(QStringLiteral("dbus-daemon"), {"--config-file=" + config, "--nofork", "--nopidfile"});
        return daemon.process->waitForStarted() && waitForFile(socket);
    }

    // Ends every child that `run` started, telling what each said when the case failed; the
    // daemons stay.
    void stopPrograms()
    {
        for (Child &child : m_programs)
            if (QTest::currentTestFailed())
                qWarning("%s said:\n%s\n%s", qPrintable(child.process->arguments().join(u' ')),
                         qPrintable((child.collect(), child.lines).join(u'\n')), child.errors().constData());
        m_programs.clear();
    }

    ~AvahiNet()
    {
        // Programs, daemons, then the holders: the namespaces and the veth pair go with the last.
        m_programs.clear();
        while (!m_children.empty())
            m_children.pop_back();
    }

private:
    static bool waitForFile(const QString &path)
    {
        return QTest::qWaitFor([&] { return QFile::exists(path); }, 5000);
    }

    static QString writeBusConfig(const QString &path, const QString &socket)
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
)")
                           .arg(socket)
                           .toUtf8());
        return path;
    }

    QString startDaemons(int host)
    {
        const QString n = QString::number(host);
        const QString busConfig = writeBusConfig(m_dir.filePath("bus" + n + ".conf"), bus(host));
        Child &dbus = m_children.emplace_back();
        spawn(dbus, host, QStringLiteral("dbus-daemon"), {"--config-file=" + busConfig, "--nofork", "--nopidfile"});
        if (!waitForFile(bus(host)))
            return "no bus on host " + n;

        // Only the veth link, IPv4, no wide area, no records beyond the services announced.
        QFile conf(m_dir.filePath("avahi" + n + ".conf"));
        if (!conf.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot write the daemon's configuration");
        conf.write(QStringLiteral("[server]\nhost-name=veltrane-test-%1\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=%2\n"
                                  "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\n"
                                  "publish-workstation=no\n")
                       .arg(n, m_links[host])
                       .toUtf8());
        conf.close();
        Child &avahi = m_children.emplace_back();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), "unix:path=" + bus(host));
        avahi.process->setProcessEnvironment(environment);
        avahi.process->setProcessChannelMode(QProcess::MergedChannels);
        // Its pid file and socket live under /run: a tmpfs of its own keeps them apart.
        spawn(avahi, host, QStringLiteral("avahi-daemon"),
              {"--no-drop-root", "--no-chroot", "--no-rlimits", "-f", conf.fileName()}, CLONE_NEWNS);
        for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); avahi.process->waitForReadyRead(50)) {
            avahi.pending += avahi.process->readAllStandardOutput();
            if (avahi.pending.contains("Server startup complete"))
                return {};
            if (avahi.process->state() == QProcess::NotRunning)
                break;
        }
        return "avahi-daemon did not start on host " + n + ": " + QString::fromUtf8(avahi.pending);
    }

    // Starts `program` in `host`'s network namespace (none for -1), after unsharing `unshare`.
    void spawn(Child &child, int host, const QString &program, const QStringList &arguments, int unshare = 0)
    {
        // Opened here: the child may only make system calls between fork and exec.
        int netns = -1;
        if (host >= 0)
            netns = ::open(QStringLiteral("/proc/%1/ns/net").arg(m_holders[host]->processId()).toLocal8Bit(), O_RDONLY);
        child.process->setChildProcessModifier([netns, unshare] {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (netns >= 0 && setns(netns, CLONE_NEWNET) != 0)
                _exit(120);
            if (unshare && ::unshare(unshare) != 0)
                _exit(121);
            if (unshare & CLONE_NEWNS
                && (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                    || mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0))
                _exit(122);
        });
        child.process->start(program, arguments);
        if (netns >= 0)
            ::close(netns);
    }

    // `ip` with `arguments`, inside the namespace held by process `pid` when one is given.
    bool ip(const QStringList &arguments, const QString &pid = {})
    {
        QProcess run;
        run.setProcessChannelMode(QProcess::MergedChannels);
        if (pid.isEmpty())
            run.start(QStringLiteral("ip"), arguments);
        else
            run.start(QStringLiteral("nsenter"), QStringList{"--net=/proc/" + pid + "/ns/net", "ip"} + arguments);
        if (run.waitForFinished(10000) && run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0)
            return true;
        qWarning("ip %s: %s", qPrintable(arguments.join(u' ')), run.readAll().constData());
        return false;
    }

    QTemporaryDir m_dir;
    std::list<Child> m_children;
    std::list<Child> m_programs;
    QProcess *m_holders[Hosts] = {};
    QString m_links[Hosts];
};
