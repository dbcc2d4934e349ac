#include "toolkit/picturebutton.h"

#include "toolkit/look.h"

#include <QPainter>

PictureButton::PictureButton(const QString &caption, QWidget *parent, const QPixmap &picture)
    : QPushButton(caption, parent)
    , m_picture(picture)
{
    setFocusPolicy(Qt::StrongFocus);
}

void PictureButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect r = rect();
    const bool down = isDown() || isChecked();
    painter.fillRect(r, Look::Face);

    // The classic two-line raised edge, sunken while pressed; the default button gets a black rim.
    QRect edge = r;
    if (isDefault() || hasFocus()) {
        painter.setPen(Qt::black);
        painter.drawRect(edge.adjusted(0, 0, -1, -1));
        edge.adjust(1, 1, -1, -1);
    }
    const auto bevel = [&](const QRect &b, QColor topLeft, QColor bottomRight) {
        painter.setPen(topLeft);
        painter.drawLine(b.topLeft(), b.topRight());
        painter.drawLine(b.topLeft(), b.bottomLeft());
        painter.setPen(bottomRight);
        painter.drawLine(b.bottomLeft(), b.bottomRight());
        painter.drawLine(b.topRight(), b.bottomRight());
    };
    if (down) {
        bevel(edge, QColor(0x80, 0x80, 0x80), QColor(0x80, 0x80, 0x80));
    } else {
        bevel(edge, Qt::white, Qt::black);
        bevel(edge.adjusted(1, 1, -1, -1), Look::Face, QColor(0x80, 0x80, 0x80));
    }

    const int shift = down ? 1 : 0;
    const QFontMetrics metrics = fontMetrics();
    const int textHeight = text().isEmpty() ? 0 : metrics.height();
    const int pictureHeight = m_picture.isNull() ? 0 : m_picture.height();
    int top = (r.height() - pictureHeight - textHeight) / 2 + shift;
    if (!m_picture.isNull()) {
        painter.drawPixmap((r.width() - m_picture.width()) / 2 + shift, top, m_picture);
        top += pictureHeight;
    }
    if (!text().isEmpty()) {
        painter.setPen(isEnabled() ? palette().color(QPalette::ButtonText) : QColor(0x80, 0x80, 0x80));
        painter.drawText(QRect(shift, top, r.width(), textHeight), Qt::AlignHCenter | Qt::AlignTop, text());
    }
    if (hasFocus()) {
        painter.setPen(QPen(Qt::black, 1, Qt::DotLine));
        painter.drawRect(r.adjusted(4, 4, -5, -5));
    }
}
