#include "app/mainwin.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltrane"));
    QApplication::setApplicationVersion(QStringLiteral(VELTRANE_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral(VELTRANE_APP_ID));
    // The windows decide when the program ends; a hidden one never keeps it running.
    QApplication::setQuitOnLastWindowClosed(false);
    MainWin::instance().Show();
    return app.exec();
}
