#pragma once

#include <QFile>
#include <QProcess>
#include <QTest>

// D-Bus daemons of the test's own, in `process` (with whatever environment it was given), so that
// the machine's own buses are never touched.

// A session bus, listening in `folder` when given; its address, or empty when it did not start.
inline QString startSessionBus(QProcess &process, const QString &folder = {})
{
    QStringList args{QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")};
    if (!folder.isEmpty())
        args << QStringLiteral("--address=unix:dir=") + folder;
    process.start(QStringLiteral("dbus-daemon"), args);
    if (!QTest::qWaitFor([&] { return process.canReadLine(); }, 10000))
        return {};
    return QString::fromUtf8(process.readLine().trimmed());
}

// A system bus listening at `socket`, with no one on it; needs no privilege.
inline bool startSystemBus(QProcess &process, const QString &socket)
{
    const QString config = QStringLiteral(R"(<busconfig><type>system</type><listen>unix:path=%1</listen>
<auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy></busconfig>)").arg(socket);
    // The daemon reads its configuration only from a file; it is kept beside the socket.
    process.start(QStringLiteral("sh"), {"-c", "printf %s \"$1\" >\"$2.conf\" && exec dbus-daemon --nofork --nopidfile "
                                               "--config-file=\"$2.conf\"", "sh", config, socket});
    return QTest::qWaitFor([&] { return QFile::exists(socket); }, 5000);
}
