#include "app/pbform.h"

PBForm &PBForm::instance()
{
    static PBForm *form = new PBForm;
    return *form;
}

PictureBox *PBForm::pp(int index)
{
    Load();
    return m_pp.at(size_t(index));
}

void PBForm::createControls(QWidget *window)
{
    window->setWindowTitle(QStringLiteral("Process Bar Data"));
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setFixedSize(200, 100);
    for (int i = 0; i < SliceCount; ++i) {
        auto *slice = new PictureBox(window);
        slice->setGeometry(i * 2, 0, 1, 10);
        slice->setPicture(QImage(QStringLiteral(":/pictures/slice%1.gif").arg(i)));
        m_pp[size_t(i)] = slice;
    }
}

void PBForm::paintBar(PictureBox &box, qint16 drawn, qint16 p)
{
    const auto paint = [&](int slice, qint16 x) { box.PaintPicture(pp(slice)->Picture(), x, 2); };
    switch (p) {
    case 1:
        paint(0, 2), paint(1, 3);
        return;
    case 2:
        paint(2, 4), paint(3, 5);
        return;
    case 3:
        paint(4, 6), paint(5, 7);
        return;
    case 4:
        paint(6, 8), paint(7, 9);
        return;
    default:
        if (p < 5)
            return;
    }
    // Head: the five closing columns end at 2p + 3; column 203 lies beyond the box.
    for (qint16 slice = 3; slice <= 7; ++slice)
        paint(slice, qint16(2 * p + slice - 4));
    // Body: from just left of the head back over the previous head, never left of column 2.
    for (qint16 c = qint16(2 * p - 2); c >= qint16(2 * drawn - 4) && c >= 2; --c)
        paint(2, c);
}
