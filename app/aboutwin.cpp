#include "app/aboutwin.h"

#include "app/mainwin.h"

AboutWin &AboutWin::instance()
{
    static AboutWin *window = new AboutWin;
    return *window;
}

void AboutWin::createControls(QWidget *window)
{
    window->setWindowTitle(QStringLiteral("About ..."));
    window->setFixedSize(305, 130);

    AboutIcon = new PictureBox(window);
    AboutIcon->setGeometry(16, 16, 32, 32);
    AboutIcon->setPicture(QImage(QStringLiteral(":/pictures/aboutwin.gif")));

    struct Row { const char *text; QRect rect; };
    const Row rows[8] = {
        {"Version:", {70, 20, 50, 15}},  {"Build:", {70, 45, 50, 15}},
        {"Author:", {70, 70, 50, 15}},   {"Company:", {70, 95, 60, 15}},
        {"1.0.8", {140, 20, 80, 15}},    {"20020207", {140, 45, 80, 15}},
        {"Veltrane team", {140, 70, 80, 15}}, {"Veltrane file movers", {140, 96, 165, 15}},
    };
    for (size_t i = 0; i < Label.size(); ++i) {
        Label[i] = new QLabel(QString::fromLatin1(rows[i].text), window);
        Label[i]->setGeometry(rows[i].rect);
    }
}

void AboutWin::onUnload()
{
    MainWin::instance().setEnabled(true);
}
