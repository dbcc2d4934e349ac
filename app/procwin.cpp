#include "app/procwin.h"

#include "app/pbform.h"
#include "toolkit/look.h"
#include "toolkit/picturebutton.h"
#include "transfer/saveplace.h"

#include <QApplication>
#include <QFileInfo>

#include <cmath>

using namespace StatusText;

namespace {
const QString AnyFileFilter = QStringLiteral("All file types (*.*) | *.*");
}

// Lifecycle

ProcWin::ProcWin(TransferSettings &settings, Form &returnTo, quint16 port, std::shared_ptr<FileDialogControl> dialog,
                 TransferTiming timing)
    : DG(dialog ? std::move(dialog) : std::make_shared<FileDialogControl>())
    , m_settings(settings)
    , m_returnTo(returnTo)
    , m_transfer(settings, *this, port, timing)
{
    connect(&m_notifier, &DesktopNotifier::invoked, this, &ProcWin::comeForward);
    connect(&m_transfer, &Transfer::statusChanged, this, [this](const QString &sentence) { StatBox->setText(sentence); });
    connect(&m_transfer, &Transfer::progressed, this, &ProcWin::DrawProcess);
    connect(&m_transfer, &Transfer::secured, this,
            [this](const QString &code) { setCaption(Title + QStringLiteral(" (") + code + u')'); });
    connect(&m_transfer, &Transfer::wentClear, this, [this] { setCaption(TitleNotEncrypted); });
    connect(&m_transfer, &Transfer::offered, this, [this](const Transfer::Offer &offer) {
        tellIfAway(offer.from + Offers + offer.name + OffersSizeStart + K(offer.size) + KbEnd);
    });
    connect(&m_transfer, &Transfer::ended, this, &ProcWin::onEnded);
}

void ProcWin::createControls(QWidget *window)
{
    window->setWindowTitle(Title);
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    window->setFixedSize(ClientWidth, ClientHeight);

    CDBut = new PictureButton(QString(), window);
    CDBut->setGeometry(130, 140, 100, 25);
    connect(CDBut, &QPushButton::clicked, this, &ProcWin::CDBut_Click);

    ProcBar = new PictureBox(window);
    ProcBar->setGeometry(88, 104, 203, 13);
    ProcBar->setPicture(QImage(QStringLiteral(":/pictures/bar.gif")));
    ProcBar->setAccessibleName(QStringLiteral("Progress"));
    ProcBar->setProgress(0);

    StatBox = Look::label(window, QString(), {88, 75, 240, 20}, 9.75, true, false);
    StatLab = Look::label(window, QStringLiteral("Status:"), {25, 72, 50, 20}, 12, true, false);
    StatLab->setBuddy(StatBox);
}

void ProcWin::onLoad()
{
    BarDrawn = 0;
    BackToMain = false;
    m_started = false;
    m_notifier.forget();
    CDBut->setText(Cancel);
    if (m_transfer.isSending())
        StatBox->setText(Connecting + m_settings.PeerIP + ConnectingEnd);
    else if (m_transfer.isReceiving())
        StatBox->setText(Waiting);
}

void ProcWin::onActivate()
{
    // A window may be activated many times; the transfer starts once.
    if (!std::exchange(m_started, true))
        m_transfer.start();
}

void ProcWin::onResize()
{
    holdClientSize(ClientWidth, ClientHeight);
}

void ProcWin::CDBut_Click()
{
    m_transfer.stop();
    m_returnTo.setTop(Top());
    m_returnTo.setLeft(Left());
    m_returnTo.Show();
    BackToMain = true;
    Unload();
}

void ProcWin::onUnload()
{
    m_transfer.stop();
    if (!BackToMain)
        endProgram();
}

// The two choices

void ProcWin::chooseToSend()
{
    DG->InitDir = SavePlace::homeFolder();
    DG->DialogTitle.clear();
    DG->Flags = FileDialogControl::HideReadOnly;
    DG->Filter = AnyFileFilter;
    DG->CancelError = false;
    DG->FileName.clear();
    DG->FileNames.clear();
    const QPointer<QWidget> self = window();
    DG->ShowOpen(self);
    // The transfer takes no answer once the peer has gone or the window was closed meanwhile.
    m_transfer.send(DG->FileNames.isEmpty() ? QStringList{DG->FileName} : DG->FileNames);
}

void ProcWin::chooseTarget(const Transfer::Offer &offer)
{
    DG->InitDir = SavePlace::downloadFolder();
    DG->DialogTitle = SaveFileFrom + offer.from + QStringLiteral(" (") + K(offer.size) + KbEnd;
    DG->Flags = FileDialogControl::HideReadOnly | (offer.bundle ? 0 : FileDialogControl::OverwritePrompt);
    DG->Filter = AnyFileFilter;
    DG->FileName = offer.name;
    DG->CancelError = true;
    DG->roomNeeded = offer.size;
    const QPointer<QWidget> self = window();
    const bool chosen = DG->ShowSave(self);
    if (!self)
        return;
    m_transfer.saveTo(chosen && (!offer.bundle || mayMerge(self, DG->FileName)) ? DG->FileName : QString());
}

bool ProcWin::mayMerge(QWidget *self, const QString &folder)
{
    // A folder that is there already is never merged without asking, as a file is never replaced.
    const QFileInfo place(folder);
    return !place.exists() || (place.isDir() && DG->ConfirmMerge(self, folder));
}

// What the transfer reports

void ProcWin::onEnded(const QString &sentence)
{
    StatBox->setText(sentence);
    CDBut->setText(Done);
    // The user is most likely working in another window by now; Qt leaves an active one alone.
    // Qt cannot ask a Wayland compositor for attention, so the desktop's notification says it too.
    QApplication::alert(window());
    tellIfAway(sentence);
}

void ProcWin::DrawProcess()
{
    const Transfer &t = m_transfer;
    const QString done = K(t.BytesDone) + KbOf + K(t.FileSize) + KbEnd;
    if (t.isSending())
        StatBox->setText(RunningSend + done);
    else if (t.isReceiving())
        StatBox->setText(RunningRecieve + done);

    const qint16 percent = t.BytesDone >= t.FileSize
        ? qint16(100)
        : qint16(std::nearbyint(double(t.BytesDone) / double(t.FileSize) * 100.0));
    PBForm::instance().paintBar(*ProcBar, BarDrawn, percent);
    ProcBar->setProgress(percent);
    BarDrawn = percent;
}

// Attention

void ProcWin::tellIfAway(const QString &body)
{
    // A person looking at the window needs no notification, nor one left over from the offer.
    if (window()->isActiveWindow())
        m_notifier.withdraw();
    else
        m_notifier.show(body);
}

void ProcWin::comeForward(const QString &token)
{
    // Qt's Wayland plugin hands the compositor the token it finds here when a window asks to be
    // activated; without one, as on X11, the request goes as it always does.
    if (!token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    // While the save dialog is open it is the one to bring forward.
    QWidget *target = QApplication::activeModalWidget();
    if (!target)
        target = window()->window();
    target->showNormal();
    target->raise();
    target->activateWindow();
}
