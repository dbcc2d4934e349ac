#include "app/ipwin.h"

#include "app/mainwin.h"
#include "transfer/receiverbrowser.h"
#include "toolkit/look.h"
#include "toolkit/picturebutton.h"
#include "app/procwin.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
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

    // Choosing a receiver puts its address into the box; typing narrows the list by address.
    auto *receivers = new ReceiverBrowser(window);
    m_found = new QCompleter(receivers->model(), IPBox);
    m_found->setCompletionRole(ReceiverBrowser::AddressRole);
    m_found->setCompletionMode(QCompleter::PopupCompletion);
    IPBox->setCompleter(m_found);
    IPBox->installEventFilter(this);
    connect(receivers, &ReceiverBrowser::firstFound, this, [this] {
        // Never over another program the user is working in.
        if (IPBox->isActiveWindow())
            dropDown();
    });
    connect(receivers->model(), &QAbstractItemModel::rowsRemoved, this, [this, model = receivers->model()] {
        if (model->rowCount() == 0)
            m_found->popup()->hide();
    });

    QWidget::setTabOrder(IPBox, ConBut);
    IPBox->setFocus();

    // The default button: Enter anywhere in the dialog presses it.
    m_enterKeys.clear();
    for (const QKeySequence &key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto *shortcut = new QShortcut(key, window);
        connect(shortcut, &QShortcut::activated, ConBut, &QPushButton::click);
        m_enterKeys << shortcut;
    }
    // While the list is down, Enter chooses a row; it connects again once the list is up.
    m_found->popup()->installEventFilter(this);
    connect(ConBut, &QPushButton::clicked, this, &IPWin::ConBut_Click);
    closeOnEscape();
}

void IPWin::ConBut_Click()
{
    MainWin &main = MainWin::instance();
    main.PeerIP = IPBox->text();
    // A receiver that announced the private channel, at exactly this address, is held to it.
    const QAbstractItemModel *found = m_found->model();
    const QModelIndexList rows = found->match(found->index(0, 0), ReceiverBrowser::AddressRole, main.PeerIP, -1,
                                              Qt::MatchExactly);
    main.PeerPrivate = std::any_of(rows.cbegin(), rows.cend(),
                                   [](const QModelIndex &row) { return row.data(ReceiverBrowser::PrivateRole).toBool(); });
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

void IPWin::dropDown()
{
    // The whole list, whatever the box holds. No row is picked yet, so the box keeps its text
    // until the user moves into the list.
    m_found->setCompletionPrefix(QString());
    m_found->complete();
}

bool IPWin::eventFilter(QObject *watched, QEvent *event)
{
    // The list and the keys may be on their way out with the window.
    if (!m_found)
        return Form::eventFilter(watched, event);
    if (watched == m_found->popup() && (event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
        for (const QPointer<QShortcut> &enter : std::as_const(m_enterKeys))
            if (enter)
                enter->setEnabled(event->type() == QEvent::Hide);
    }
    if (watched == IPBox && event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Down
        && m_found->model()->rowCount() > 0 && !m_found->popup()->isVisible()) {
        dropDown();
        return true;
    }
    return Form::eventFilter(watched, event);
}
