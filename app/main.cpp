#include "app/startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (!Startup::findDisplay(argc, argv))
        return 1;
    QApplication app(argc, argv);
    Startup::begin();
    return app.exec();
}
