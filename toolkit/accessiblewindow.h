#pragma once

#include <QAccessibleWidget>

// A form's window as assistive technology sees it: a window named by its title. Qt would show a
// plain widget as an unnamed filler even when it is a window of its own.
class AccessibleWindow : public QAccessibleWidget
{
public:
    explicit AccessibleWindow(QWidget *window);

    // Makes Qt's accessibility ask here for the toolkit's windows and picture boxes.
    static void installFactory();

    QAccessible::Role role() const override;
};
