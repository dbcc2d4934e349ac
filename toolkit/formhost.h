#pragma once

#include <QWidget>

class FormWidget;

// One native window that several forms show themselves in, one at a time. Wayland compositors
// place every new window where they like, so a form that must take another's place on screen
// shares its native window instead of opening one of its own: the content is swapped, the
// window and its place stay.
class FormHost : public QWidget
{
    Q_OBJECT

public:
    FormHost();

    // Set once the window has been placed, by its first showing or by a form's Left or Top.
    bool placed = false;

    // The form widget shown now, if any.
    FormWidget *content() const;

    // Takes a newly built form widget as a hidden child; the title, frame and icon it was given
    // become the window's whenever it is shown.
    void adopt(FormWidget *form);
    // Shows `form` in place of whatever was shown.
    void present(FormWidget *form);
    // Called when `form` is going: the window hides only if nothing has taken its place once the
    // current step has finished, so a swap that unloads first and shows next keeps it open.
    void release(FormWidget *form);

protected:
    void closeEvent(QCloseEvent *event) override;
};
