#include "toolkit/accessiblewindow.h"

#include "toolkit/accessiblepicturebox.h"
#include "toolkit/form.h"
#include "toolkit/formhost.h"
#include "toolkit/picturebox.h"

AccessibleWindow::AccessibleWindow(QWidget *window)
    : QAccessibleWidget(window, QAccessible::Window)
{
}

void AccessibleWindow::installFactory()
{
    static const bool installed = [] {
        QAccessible::installFactory([](const QString &className, QObject *object) -> QAccessibleInterface * {
            if (className == QLatin1String(PictureBox::staticMetaObject.className()))
                return new AccessiblePictureBox(static_cast<PictureBox *>(object));
            if (className == QLatin1String(FormWidget::staticMetaObject.className())
                || className == QLatin1String(FormHost::staticMetaObject.className()))
                return new AccessibleWindow(static_cast<QWidget *>(object));
            return nullptr;
        });
        return true;
    }();
    Q_UNUSED(installed);
}

QAccessible::Role AccessibleWindow::role() const
{
    // A form shown in a shared window is only that window's content.
    return widget()->isWindow() ? QAccessible::Window : QAccessible::Client;
}
