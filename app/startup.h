#pragma once

#include <QByteArrayList>
#include <QStringList>

// What the program does before its first window: find a display it can show windows on, then
// name itself to the desktop and show the start window.
class Startup
{
public:
    // Whether one of the platforms Qt would try answers, given Qt's own options among the
    // arguments (-platform, -display). Qt gives up on no display by aborting; this says why in
    // one line on stderr instead, before the application object exists.
    static bool findDisplay(int argc, char **argv);
    // The platforms Qt tries, in its order: the user's choice, else Wayland first in a Wayland
    // session, then X.
    static QByteArrayList platformsToTry(const QByteArray &chosen);

    // Names the program and shows the start window; the application object exists by now. With
    // paths it goes straight to sending them; false, with the reason on stderr, when one of them
    // cannot be read.
    static bool begin(const QStringList &paths = {});

private:
    static bool waylandAnswers();
    static bool xAnswers(const QByteArray &display);
    static bool waylandPluginInstalled();
};
