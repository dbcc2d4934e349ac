#include "toolkit/picturebox.h"

#include "toolkit/accessiblewindow.h"

#include <QAccessible>

#include <QPainter>

#include <cmath>
#include <cstring>

PictureBox::PictureBox(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    AccessibleWindow::installFactory();
}

void PictureBox::setProgress(int percent)
{
    if (percent == m_progress)
        return;
    m_progress = percent;
    QAccessibleValueChangeEvent event(this, percent);
    QAccessible::updateAccessibility(&event);
}

void PictureBox::setPicture(const QImage &picture)
{
    m_image = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                                : QImage::Format_RGB32);
    update();
}

void PictureBox::PaintPicture(const QImage &picture, float x, float y)
{
    const QRect target = QRect(QPoint(int(std::lround(x)), int(std::lround(y))), picture.size()) & m_image.rect();
    if (target.isEmpty())
        return;
    if (picture.format() == m_image.format() && !picture.hasAlphaChannel()) {
        // Opaque pixels of the same format are copied row by row: this runs on every chunk.
        const int srcX = target.x() - int(std::lround(x));
        const int srcY = target.y() - int(std::lround(y));
        for (int row = 0; row < target.height(); ++row) {
            std::memcpy(m_image.scanLine(target.y() + row) + target.x() * 4,
                        picture.constScanLine(srcY + row) + srcX * 4, size_t(target.width()) * 4);
        }
    } else {
        QPainter painter(&m_image);
        painter.drawImage(QPointF(x, y), picture);
    }
    update(target);
}

void PictureBox::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawImage(0, 0, m_image);
}
