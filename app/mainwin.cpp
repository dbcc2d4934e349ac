#include "app/mainwin.h"

#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "transfer/procwin.h"

MainWin &MainWin::instance()
{
    static MainWin *window = new MainWin;
    return *window;
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
    window->resize(ClientWidth, ClientHeight);
    setPicture(background());

    AboutBut = new QPushButton(window);
    AboutBut->setGeometry(336, 160, 17, 17);
    ExitBut = new QPushButton(QStringLiteral("Exit"), window);
    ExitBut->setGeometry(240, 90, 80, 60);
    RecBut = new QPushButton(QStringLiteral("Recieve"), window);
    RecBut->setGeometry(140, 90, 80, 60);
    SendBut = new QPushButton(QStringLiteral("Send"), window);
    SendBut->setGeometry(40, 90, 80, 60);

    QWidget::setTabOrder(SendBut, RecBut);
    QWidget::setTabOrder(RecBut, ExitBut);
    QWidget::setTabOrder(ExitBut, AboutBut);
    SendBut->setFocus();

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
    XferMode = Send;
    setEnabled(false);
    IPWin::instance().Show();
}

void MainWin::RecBut_Click()
{
    XferMode = Receive;
    ProcWin &transfer = ProcWin::instance();
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
    TcpControl &socket = ProcWin::instance().socket();
    if (socket.State() != TcpControl::Closed)
        socket.Close();
    endProgram();
}
