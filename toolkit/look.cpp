#include "toolkit/look.h"

#include <QLabel>
#include <QPalette>
#include <QWidget>

QFont Look::labelFont(qreal pointSize, bool bold)
{
    QFont font;
    font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif")});
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

QLabel *Look::label(QWidget *parent, const QString &caption, const QRect &rect, qreal pointSize, bool bold,
                      bool opaque)
{
    auto *label = new QLabel(caption, parent);
    label->setGeometry(rect);
    label->setFont(labelFont(pointSize, bold));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(false);
    label->setContentsMargins(0, 0, 0, 0);
    label->setIndent(0);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Window, Face);
    label->setPalette(palette);
    label->setAutoFillBackground(opaque);
    return label;
}

void Look::paintFace(QWidget *window)
{
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, Face);
    palette.setColor(QPalette::Button, Face);
    window->setPalette(palette);
    window->setAutoFillBackground(true);
}
