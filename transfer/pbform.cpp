#include "transfer/pbform.h"

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
