#pragma once

#include <QIcon>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <functional>

class FormHost;
class FormWidget;

// One of the program's windows. The instance and its variables live for the whole run; the
// window and its controls exist only from Load to Unload, and touching the window while it is
// unloaded loads it again, hidden, running the Load step at that moment.
class Form : public QObject
{
    Q_OBJECT

public:
    static constexpr int TwipsPerPixel = 15;

    ~Form() override;

    bool isLoaded() const { return m_window != nullptr; }
    // The form's own widget; the native window it shows in is its window().
    QWidget *window();

    // Shows the form in `host` from its next Load on, instead of in a window of its own; its
    // Left and Top are then the host's.
    void shareWindow(FormHost *host) { m_host = host; }

    void Load();
    void Show();
    void Unload();

    bool Enabled();
    void setEnabled(bool enabled);
    int Left();
    int Top();
    void setLeft(int twips);
    void setTop(int twips);
    QPixmap Picture();
    void setPicture(const QPixmap &picture);
    QString Caption();
    void setCaption(const QString &caption);

    // Ends the program at once; no Unload step runs.
    static void endProgram();
    // Lets a test observe the end instead of leaving the process.
    static void setProgramEnd(std::function<void()> end);

protected:
    Form() = default;

    // Builds the controls as laid out, on a window that has just been created.
    virtual void createControls(QWidget *window) = 0;
    virtual void onLoad() {}
    virtual void onActivate() {}
    virtual void onResize() {}
    virtual void onUnload() {}
    // Closing through the frame unloads the window unless a window says otherwise.
    virtual void onFrameClose() { Unload(); }
    virtual bool centredOnScreen() const { return false; }

    // The Resize steps keep one client size; the frame belongs to the window manager.
    void holdClientSize(int width, int height);
    // Escape closes the window as the close control of its frame would.
    void closeOnEscape() { m_closeOnEscape = true; }

private:
    friend class FormWidget;
    void deliverActivate();
    QWidget *nativeWindow();
    bool &placed();

    FormWidget *m_window = nullptr;
    FormHost *m_host = nullptr;
    bool m_closeOnEscape = false;
    bool m_placed = false;
    bool m_activated = false;
};

// The top-level widget of a loaded form: paints the background picture and forwards the
// window events to the form's steps.
class FormWidget : public QWidget
{
    Q_OBJECT

public:
    explicit FormWidget(Form *form);

    QPixmap picture;
    // What a shared native window takes from this form when it shows it.
    struct Frame {
        QString title;
        Qt::WindowFlags flags;
        QIcon icon;
        QPointer<QWidget> focus;
    } frame;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    Form *m_form;
};
