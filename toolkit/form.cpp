#include "toolkit/form.h"

#include "toolkit/accessiblewindow.h"
#include "toolkit/formhost.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QPainter>
#include <QScreen>
#include <QKeyEvent>
#include <QTimer>

namespace {
std::function<void()> &programEnd()
{
    static std::function<void()> end = [] { QCoreApplication::exit(0); };
    return end;
}
}

Form::~Form()
{
    delete m_window;
}

QWidget *Form::window()
{
    Load();
    return m_window;
}

void Form::Load()
{
    if (m_window)
        return;
    m_window = new FormWidget(this);
    if (!m_host)
        m_placed = false;
    m_activated = false;
    createControls(m_window);
    if (m_host)
        m_host->adopt(m_window);
    onLoad();
}

void Form::Show()
{
    Load();
    if (m_host)
        m_host->present(m_window);
    QWidget *shown = nativeWindow();
    if (!placed() && centredOnScreen()) {
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        shown->move(screen.center() - shown->rect().center());
        placed() = true;
    }
    shown->show();
    shown->raise();
    shown->activateWindow();
    // A window manager may never activate a new window; Activate still runs once it is shown.
    QTimer::singleShot(0, m_window, [this, shown = m_window] {
        if (m_window == shown && !m_activated)
            deliverActivate();
    });
}

void Form::deliverActivate()
{
    m_activated = true;
    onActivate();
}

void Form::Unload()
{
    if (!m_window)
        return;
    onUnload();
    FormWidget *dying = m_window;
    m_window = nullptr;
    if (m_host)
        m_host->release(dying);
    dying->hide();
    // The unload may come from one of the window's own controls, so the widgets go only once
    // that handler has returned; until then they must not raise any more events.
    dying->blockSignals(true);
    for (QObject *child : dying->findChildren<QObject *>())
        child->blockSignals(true);
    dying->deleteLater();

    bool anyShown = false;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        const auto *host = qobject_cast<FormHost *>(w);
        anyShown = anyShown || (w->isVisible() && (!host || host->content()));
    }
    if (!anyShown)
        endProgram();
}

bool Form::Enabled()
{
    return window()->isEnabled();
}

void Form::setEnabled(bool enabled)
{
    window()->setEnabled(enabled);
}

QString Form::Caption()
{
    return window()->windowTitle();
}

void Form::setCaption(const QString &caption)
{
    window()->setWindowTitle(caption);
    m_window->frame.title = caption;
    // A shared window bears the caption of the form it shows.
    if (m_host && m_host->content() == m_window)
        m_host->setWindowTitle(caption);
}

QWidget *Form::nativeWindow()
{
    return window()->window();
}

bool &Form::placed()
{
    return m_host ? m_host->placed : m_placed;
}

int Form::Left()
{
    return nativeWindow()->pos().x() * TwipsPerPixel;
}

int Form::Top()
{
    return nativeWindow()->pos().y() * TwipsPerPixel;
}

void Form::setLeft(int twips)
{
    QWidget *w = nativeWindow();
    w->move(twips / TwipsPerPixel, w->pos().y());
    placed() = true;
}

void Form::setTop(int twips)
{
    QWidget *w = nativeWindow();
    w->move(w->pos().x(), twips / TwipsPerPixel);
    placed() = true;
}

QPixmap Form::Picture()
{
    Load();
    return m_window->picture;
}

void Form::setPicture(const QPixmap &picture)
{
    Load();
    m_window->picture = picture;
    m_window->update();
}

void Form::endProgram()
{
    programEnd()();
}

void Form::setProgramEnd(std::function<void()> end)
{
    programEnd() = std::move(end);
}

void Form::holdClientSize(int width, int height)
{
    if (m_window && m_window->size() != QSize(width, height))
        m_window->resize(width, height);
}

FormWidget::FormWidget(Form *form)
    : m_form(form)
{
    setAttribute(Qt::WA_DeleteOnClose, false);
    AccessibleWindow::installFactory();
}

void FormWidget::keyPressEvent(QKeyEvent *event)
{
    // Only an Escape no control took for itself: an open list closes first, as in any dialog.
    if (event->key() == Qt::Key_Escape && m_form->m_closeOnEscape)
        close();
    else
        QWidget::keyPressEvent(event);
}

bool FormWidget::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate && !signalsBlocked())
        m_form->deliverActivate();
    return QWidget::event(event);
}

void FormWidget::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!picture.isNull()) {
        QPainter painter(this);
        painter.drawPixmap(0, 0, picture);
    }
}

void FormWidget::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (!signalsBlocked())
        m_form->onResize();
}

void FormWidget::closeEvent(QCloseEvent *event)
{
    // The form decides what closing means; the widget itself is only removed by Unload.
    event->ignore();
    if (!signalsBlocked())
        m_form->onFrameClose();
}
