#include "toolkit/formhost.h"

#include "toolkit/accessiblewindow.h"
#include "toolkit/form.h"

#include <QCloseEvent>
#include <QTimer>

FormHost::FormHost()
{
    setAttribute(Qt::WA_DeleteOnClose, false);
    AccessibleWindow::installFactory();
}

FormWidget *FormHost::content() const
{
    for (FormWidget *form : findChildren<FormWidget *>(Qt::FindDirectChildrenOnly))
        if (form->isVisibleTo(this))
            return form;
    return nullptr;
}

void FormHost::adopt(FormWidget *form)
{
    form->frame = {form->windowTitle(), form->windowFlags(), form->windowIcon(), form->focusWidget()};
    form->setParent(this, Qt::Widget);
    form->move(0, 0);
    form->hide();
    // Reparenting forgets which control the form gave the focus.
    if (form->frame.focus)
        form->frame.focus->setFocus();
}

void FormHost::present(FormWidget *form)
{
    for (FormWidget *other : findChildren<FormWidget *>(Qt::FindDirectChildrenOnly))
        if (other != form)
            other->hide();
    // Changing the flags of a shown window would remake it; the forms sharing it agree on them.
    if (windowFlags() != form->frame.flags)
        setWindowFlags(form->frame.flags);
    setWindowTitle(form->frame.title);
    setWindowIcon(form->frame.icon);
    setFixedSize(form->size());
    form->show();
    // The focus goes where the form put it, else to its first control, as in a window just opened.
    QWidget *focus = form->frame.focus;
    for (QWidget *w = form->nextInFocusChain(); !focus && w != form && form->isAncestorOf(w); w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(form) && w->isEnabled())
            focus = w;
    if (focus)
        focus->setFocus();
}

void FormHost::release(FormWidget *form)
{
    form->hide();
    QTimer::singleShot(0, this, [this] {
        if (!content())
            hide();
    });
}

void FormHost::closeEvent(QCloseEvent *event)
{
    // Closing the window by its frame is closing the form it shows.
    event->ignore();
    if (FormWidget *form = content())
        form->close();
}
