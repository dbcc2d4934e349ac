#include "app/mainwin.h"

#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "toolkit/formhost.h"
#include "toolkit/look.h"
#include "toolkit/picturebutton.h"
#include "app/procwin.h"

#include <QDropEvent>
#include <QIcon>
#include <QMimeData>

MainWin &MainWin::instance()
{
    static MainWin *window = [] {
        auto *main = new MainWin;
        main->shareWindow(&nativeWindow());
        return main;
    }();
    return *window;
}

ProcWin &MainWin::transferWindow(quint16 port, std::shared_ptr<FileDialogControl> dialog)
{
    static ProcWin *window = [port, &dialog] {
        auto *transfer = new ProcWin(instance(), instance(), port, std::move(dialog));
        transfer->shareWindow(&nativeWindow());
        return transfer;
    }();
    return *window;
}

FormHost &MainWin::nativeWindow()
{
    // The start and the transfer window take each other's place; only a window that stays can
    // keep its place on a desktop that ignores the positions a program asks for.
    static FormHost *host = new FormHost;
    return *host;
}

const QPixmap &MainWin::background()
{
    // One picture object for the whole run, shared with every transfer window it is handed to.
    static const QPixmap *picture = new QPixmap(QStringLiteral(":/pictures/background.bmp"));
    return *picture;
}

void MainWin::createControls(QWidget *window)
{
    window->setWindowTitle(QStringLiteral("Veltrane"));
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    window->setWindowIcon(QIcon(QStringLiteral(":/pictures/icon.ico")));
    window->setFixedSize(ClientWidth, ClientHeight);
    Look::paintFace(window);
    setPicture(background());

    const auto picture = [](const char *name) { return QPixmap(QStringLiteral(":/pictures/") + QLatin1String(name)); };
    AboutBut = new PictureButton(QString(), window, picture("about.gif"));
    AboutBut->setGeometry(336, 160, 17, 17);
    // A picture alone says nothing to a screen reader, nor to whoever wonders what it does.
    AboutBut->setAccessibleName(QStringLiteral("About"));
    AboutBut->setToolTip(QStringLiteral("About"));
    ExitBut = new PictureButton(QStringLiteral("Exit"), window, picture("exit.gif"));
    ExitBut->setGeometry(240, 90, 80, 60);
    RecBut = new PictureButton(QStringLiteral("Recieve"), window, picture("receive.gif"));
    RecBut->setGeometry(140, 90, 80, 60);
    SendBut = new PictureButton(QStringLiteral("Send"), window, picture("send.gif"));
    SendBut->setGeometry(40, 90, 80, 60);

    QWidget::setTabOrder(SendBut, RecBut);
    QWidget::setTabOrder(RecBut, ExitBut);
    QWidget::setTabOrder(ExitBut, AboutBut);
    SendBut->setFocus();
    window->setAcceptDrops(true);
    window->installEventFilter(this);

    connect(SendBut, &QPushButton::clicked, this, &MainWin::SendBut_Click);
    connect(RecBut, &QPushButton::clicked, this, &MainWin::RecBut_Click);
    connect(AboutBut, &QPushButton::clicked, this, &MainWin::AboutBut_Click);
    connect(ExitBut, &QPushButton::clicked, this, &MainWin::ExitBut_Click);
}

void MainWin::onResize()
{
    holdClientSize(ClientWidth, ClientHeight);
}

void MainWin::SendBut_Click()
{
    sendPaths({});
}

void MainWin::sendPaths(const QStringList &paths)
{
    Paths = paths;
    XferMode = Send;
    setEnabled(false);
    IPWin::instance().Show();
}

bool MainWin::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::DragEnter && event->type() != QEvent::Drop)
        return Form::eventFilter(watched, event);
    auto *drop = static_cast<QDropEvent *>(event);
    QStringList paths;
    for (const QUrl &url : drop->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    if (paths.isEmpty() || !Enabled())
        return Form::eventFilter(watched, event);
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop)
        sendPaths(paths);
    return true;
}

void MainWin::RecBut_Click()
{
    XferMode = Receive;
    ProcWin &transfer = transferWindow();
    transfer.setLeft(Left());
    transfer.setTop(Top());
    transfer.setPicture(Picture());
    transfer.Show();
    Unload();
}

void MainWin::AboutBut_Click()
{
    setEnabled(false);
    AboutWin::instance().Show();
}

void MainWin::ExitBut_Click()
{
    transferWindow().transfer().stop();
    endProgram();
}
