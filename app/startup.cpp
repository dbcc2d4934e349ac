#include "app/startup.h"

#include "app/mainwin.h"
#include "transfer/paxwriter.h"
#include "transfer/statustext.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>

#include <cstdio>

#include <xcb/xcb.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// Whether something accepts a connection on a local socket.
bool localAnswers(const QByteArray &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || path.size() >= qsizetype(sizeof address.sun_path))
        return false;
    memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool answered = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return answered;
}
}

QByteArrayList Startup::platformsToTry(const QByteArray &chosen)
{
    if (!chosen.isEmpty())
        return chosen.split(';');
    QByteArrayList order;
    if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland")
        order << "wayland";
    order << "xcb";
    return order;
}

bool Startup::findDisplay(int argc, char **argv)
{
    QByteArray platforms = qgetenv("QT_QPA_PLATFORM"), display;
    for (int i = 1; i + 1 < argc; ++i) {
        const QByteArray option = QByteArray(argv[i]).replace("--", "-");
        if (option == "-platform")
            platforms = argv[i + 1];
        else if (option == "-display")
            display = argv[i + 1];
    }
    for (const QByteArray &platform : platformsToTry(platforms)) {
        const QByteArray name = platform.split(':').first();
        if (name.startsWith("wayland") ? waylandPluginInstalled() && waylandAnswers()
                                       : name == "xcb" ? xAnswers(display) : true)
            return true;
    }
    std::fputs("veltrane: no display to show its windows on: neither a Wayland compositor nor an X server "
               "answers\n", stderr);
    return false;
}

bool Startup::waylandAnswers()
{
    if (qEnvironmentVariableIsSet("WAYLAND_SOCKET"))
        return true;
    const QByteArray display = qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ? qgetenv("WAYLAND_DISPLAY") : "wayland-0";
    if (display.startsWith('/'))
        return localAnswers(display);
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && localAnswers(runtime + '/' + display);
}

bool Startup::xAnswers(const QByteArray &display)
{
    // Connecting as Qt will, so that a server that refuses us counts as none.
    xcb_connection_t *x = xcb_connect(display.isEmpty() ? nullptr : display.constData(), nullptr);
    const bool answered = xcb_connection_has_error(x) == 0;
    xcb_disconnect(x);
    return answered;
}

bool Startup::waylandPluginInstalled()
{
    QStringList folders = {QLibraryInfo::path(QLibraryInfo::PluginsPath)};
    folders += qEnvironmentVariable("QT_PLUGIN_PATH").split(u':', Qt::SkipEmptyParts);
    for (const QString &folder : folders)
        if (!QDir(folder + QStringLiteral("/platforms")).entryList({QStringLiteral("libqwayland-*.so")}).isEmpty())
            return true;
    return false;
}

bool Startup::begin(const QStringList &paths)
{
    // Refused before anything is shown, let alone offered.
    for (const QString &path : paths) {
        const QFileInfo item(path);
        if (!item.exists() || (item.isFile() && !QFile(path).open(QIODevice::ReadOnly))) {
            std::fprintf(stderr, "veltrane: cannot read %s\n", qPrintable(StatusText::visible(path)));
            return false;
        }
    }
    // A folder, or more than one thing, goes as one bundle, held to the receiver's rules whole.
    if (paths.size() > 1 || (paths.size() == 1 && QFileInfo(paths.first()).isDir())) {
        const PaxWriter walk(paths);
        if (!walk.isValid()) {
            const char *why = walk.refusedName().isEmpty() ? "cannot read" : "cannot send";
            std::fprintf(stderr, "veltrane: %s %s\n", why, qPrintable(walk.errorString()));
            return false;
        }
    }
    QApplication::setApplicationName(QStringLiteral("Veltrane"));
    QApplication::setApplicationVersion(QStringLiteral(VELTRANE_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral(VELTRANE_APP_ID));
    // The windows decide when the program ends; a hidden one never keeps it running.
    QApplication::setQuitOnLastWindowClosed(false);
    MainWin::instance().Show();
    if (!paths.isEmpty())
        MainWin::instance().sendPaths(paths);
    return true;
}
