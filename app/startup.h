#pragma once

#include <QByteArrayList>

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

    // Names the program and shows the start window; the application object exists by now.
    static void begin();

private:
    static bool waylandAnswers();
    static bool xAnswers(const QByteArray &display);
    static bool waylandPluginInstalled();
};
