#include "app/startup.h"

#include <QApplication>

// The windows, run by `veltrane` in its place with the arguments it was given.
int main(int argc, char *argv[])
{
    if (!Startup::findDisplay(argc, argv))
        return 1;
    QApplication app(argc, argv);
    // What Qt leaves of the arguments are the files and folders to send.
    if (!Startup::begin(app.arguments().mid(1)))
        return 2;
    return app.exec();
}
