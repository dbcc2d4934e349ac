#include "toolkit/accessiblepicturebox.h"

#include "toolkit/picturebox.h"

AccessiblePictureBox::AccessiblePictureBox(PictureBox *box)
    : QAccessibleWidget(box, QAccessible::Graphic)
{
}

PictureBox *AccessiblePictureBox::box() const
{
    return static_cast<PictureBox *>(widget());
}

QAccessible::Role AccessiblePictureBox::role() const
{
    return box()->progress() < 0 ? QAccessible::Graphic : QAccessible::ProgressBar;
}

QString AccessiblePictureBox::text(QAccessible::Text t) const
{
    if (t == QAccessible::Value && box()->progress() >= 0)
        return QStringLiteral("%1%").arg(box()->progress());
    return QAccessibleWidget::text(t);
}

void *AccessiblePictureBox::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::ValueInterface && box()->progress() >= 0)
        return static_cast<QAccessibleValueInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QVariant AccessiblePictureBox::currentValue() const
{
    return box()->progress();
}
