#include "app/aboutwin.h"

#include "app/mainwin.h"
#include "toolkit/look.h"

AboutWin &AboutWin::instance()
{
    static AboutWin *window = new AboutWin;
    return *window;
}

void AboutWin::createControls(QWidget *window)
{
    window->setWindowTitle(QStringLiteral("About ..."));
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setFixedSize(305, 130);
    Look::paintFace(window);

    AboutIcon = new PictureBox(window);
    AboutIcon->setGeometry(16, 16, 32, 32);
    AboutIcon->setAutoFillBackground(true);
    AboutIcon->setPicture(QImage(QStringLiteral(":/pictures/aboutwin.gif")));
    AboutIcon->setAccessibleName(QStringLiteral("Veltrane"));

    struct Row { const char *text; QRect rect; qreal points; bool bold; };
    // Label1 to Label8; created from the last to the first.
    static const Row rows[8] = {
        {"Version:", {70, 20, 50, 15}, 9.75, true},
        {"Build:", {70, 45, 50, 15}, 9, true},
        {"Author:", {70, 70, 50, 15}, 9.75, true},
        {"Company:", {70, 95, 60, 15}, 9.75, true},
        {"1.0.8", {140, 20, 80, 15}, 9.75, false},
        {"20020207", {140, 45, 80, 15}, 9.75, false},
        {"Ada Veltrane", {140, 70, 80, 15}, 9.75, false},
        {"Veltrane file movers", {140, 96, 165, 15}, 9.75, false},
    };
    for (int i = int(Label.size()) - 1; i >= 0; --i) {
        const Row &row = rows[i];
        Label[size_t(i)] = Look::label(window, QString::fromLatin1(row.text), row.rect, row.points, row.bold, true);
    }
    // Each name labels its value for screen readers.
    for (size_t i = 0; i < 4; ++i)
        Label[i]->setBuddy(Label[i + 4]);
    closeOnEscape();
}

void AboutWin::onUnload()
{
    MainWin::instance().setEnabled(true);
}
