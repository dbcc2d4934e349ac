#include "app/startup.h"
#include "terminal/commandline.h"
#include "terminal/terminalfrontend.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // `send`, `receive`, --help and --version run without a display.
    if (CommandLine::claims(argc, argv))
        return TerminalFrontEnd::run(argc, argv);
    if (!Startup::findDisplay(argc, argv))
        return 1;
    QApplication app(argc, argv);
    // What Qt leaves of the arguments are the files and folders to send.
    if (!Startup::begin(app.arguments().mid(1)))
        return 2;
    return app.exec();
}
