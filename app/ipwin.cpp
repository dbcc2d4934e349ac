#include "app/ipwin.h"

#include "app/mainwin.h"
#include "toolkit/look.h"
#include "toolkit/picturebutton.h"
#include "transfer/procwin.h"

#include <QShortcut>

IPWin &IPWin::instance()
{
    static IPWin *window = new IPWin;
    return *window;
}

void IPWin::createControls(QWidget *window)
{
    window->setWindowTitle(QStringLiteral("Connect ..."));
    // A tool window stays out of the taskbar; its frame is fixed, with no minimise or maximise.
    window->setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setFixedSize(286, 120);
    Look::paintFace(window);

    ConBut = new PictureButton(QStringLiteral("Connect"), window);
    ConBut->setGeometry(94, 78, 100, 25);
    ConBut->setDefault(true);
    IPBox = new QLineEdit(QStringLiteral("127.0.0.1"), window);
    IPBox->setGeometry(60, 44, 200, 20);
    IPBox->setMaxLength(MaxAddressLength);
    IPIcon = new PictureBox(window);
    IPIcon->setGeometry(16, 16, 32, 32);
    IPIcon->setAutoFillBackground(true);
    IPIcon->setPicture(QImage(QStringLiteral(":/pictures/address.gif")));
    IPIcon->setAccessibleName(QStringLiteral("Address"));
    IPLab = Look::label(window, QStringLiteral("Enter the IP address of the reciever:"), {60, 20, 208, 16}, 9.75,
                          true, true);
    // The prompt names the box for screen readers.
    IPLab->setBuddy(IPBox);

    QWidget::setTabOrder(IPBox, ConBut);
    IPBox->setFocus();

    // The default button: Enter anywhere in the dialog presses it.
    for (const QKeySequence &key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto *shortcut = new QShortcut(key, window);
        connect(shortcut, &QShortcut::activated, ConBut, &QPushButton::click);
    }
    connect(ConBut, &QPushButton::clicked, this, &IPWin::ConBut_Click);
    closeOnEscape(window);
}

void IPWin::ConBut_Click()
{
    MainWin &main = MainWin::instance();
    main.PeerIP = IPBox->text();
    ProcWin &transfer = MainWin::transferWindow();
    transfer.setLeft(main.Left());
    transfer.setTop(main.Top());
    transfer.setPicture(main.Picture());
    main.Unload();
    transfer.Show();
    Unload();
}

void IPWin::onUnload()
{
    MainWin::instance().setEnabled(true);
}
