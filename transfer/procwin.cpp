#include "transfer/procwin.h"

#include "toolkit/look.h"
#include "toolkit/picturebutton.h"
#include "transfer/controltext.h"
#include "transfer/pbform.h"
#include "transfer/statustext.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

using namespace StatusText;

namespace {
const QString AnyFileFilter = QStringLiteral("All file types (*.*) | *.*");
// The size an offer may show, in settling times, before it is taken as it stands.
constexpr int UnsizedOfferWaits = 30;

QTimer *singleShot(QWidget *window, int ms, ProcWin *win, void (ProcWin::*step)())
{
    auto *timer = new QTimer(window);
    timer->setSingleShot(true);
    timer->setInterval(ms);
    QObject::connect(timer, &QTimer::timeout, win, step);
    return timer;
}
}

// Lifecycle

ProcWin::ProcWin(TransferSettings &settings, Form &returnTo, quint16 port, std::shared_ptr<FileDialogControl> dialog,
                 TransferTiming timing)
    : DG(dialog ? std::move(dialog) : std::make_shared<FileDialogControl>())
    , m_settings(settings)
    , m_returnTo(returnTo)
    , m_port(port)
    , m_timing(timing)
{
    connect(&m_notifier, &DesktopNotifier::invoked, this, &ProcWin::comeForward);
}

TcpControl &ProcWin::socket()
{
    Load();
    return *NT;
}

void ProcWin::createControls(QWidget *window)
{
    window->setWindowTitle(Title);
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    window->setFixedSize(ClientWidth, ClientHeight);

    NT = new TcpControl(window);
    connect(NT, &TcpControl::ConnectEvent, this, &ProcWin::NT_Connect);
    connect(NT, &TcpControl::Secured, this, &ProcWin::NT_Secured);
    connect(NT, &TcpControl::ConnectionRequest, this, &ProcWin::NT_ConnectionRequest);
    connect(NT, &TcpControl::DataArrival, this, &ProcWin::NT_DataArrival);
    connect(NT, &TcpControl::SendComplete, this, &ProcWin::NT_SendComplete);
    connect(NT, &TcpControl::SourceFailed, this, &ProcWin::NT_SourceFailed);
    connect(NT, &TcpControl::Error, this, &ProcWin::NT_Lost);
    connect(NT, &TcpControl::CloseEvent, this, &ProcWin::NT_Lost);

    // The operating system would wait about a minute for a peer that never answers.
    m_connectLimit = singleShot(window, m_timing.connectLimitMs, this, &ProcWin::connectLimitReached);
    m_clearFallback = singleShot(window, m_timing.clearFallbackMs, this, &ProcWin::clearFallbackReached);
    m_privateLimit = singleShot(window, m_timing.privateLimitMs, this, &ProcWin::privateLimitReached);
    m_verdictWait = singleShot(window, 0, this, &ProcWin::verdictOverdue);
    m_offerSettle = singleShot(window, 0, this, &ProcWin::chooseTarget);

    // Started by bytes that move, so each draw is at least a tick after the one before.
    STM = new QTimer(window);
    STM->setSingleShot(true);
    STM->setTimerType(Qt::PreciseTimer);
    STM->setInterval(TickMs);
    connect(STM, &QTimer::timeout, this, &ProcWin::STM_Timer);

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
    BytesDone = 0;
    m_tickBytes = 0;
    XferState = ControlMessages;
    BackToMain = false;
    // Every load is a new transfer.
    m_stage = Stage::Loaded;
    m_offer.clear();
    m_unfinished.clear();
    m_private.reset();
    m_source.close();
    m_target.close();
    m_notifier.forget();

    if (m_settings.XferMode == TransferSettings::Send) {
        CDBut->setText(Cancel);
        StatBox->setText(Connecting + m_settings.PeerIP + ConnectingEnd);
        NT->RemoteHost = m_settings.PeerIP;
        NT->RemotePort = m_port;
    } else if (m_settings.XferMode == TransferSettings::Receive) {
        CDBut->setText(Cancel);
        StatBox->setText(Waiting);
        NT->LocalPort = m_port;
    }
}

void ProcWin::onActivate()
{
    // A window may be activated many times; the connection starts once.
    if (m_stage != Stage::Loaded)
        return;
    advance(Stage::Opening);
    if (m_settings.XferMode == TransferSettings::Send) {
        if (NT->Connect())
            m_connectLimit->start();
        else
            endWith(CouldNotConnect + m_settings.PeerIP + u'!');
    } else if (m_settings.XferMode == TransferSettings::Receive && NT->Listen()) {
        m_announcer.announce(m_port);
    } else if (m_settings.XferMode == TransferSettings::Receive) {
        endWith(cannotListen(NT->listenError(), m_port));
    }
}

void ProcWin::onResize()
{
    holdClientSize(ClientWidth, ClientHeight);
}

void ProcWin::CDBut_Click()
{
    if (NT->State() != TcpControl::Closed)
        NT->Close();
    m_returnTo.setTop(Top());
    m_returnTo.setLeft(Left());
    m_returnTo.Show();
    BackToMain = true;
    Unload();
}

void ProcWin::onUnload()
{
    m_announcer.withdraw();
    if (NT && NT->State() != TcpControl::Closed)
        NT->Close();
    // The timers go with the window; the files are released here.
    m_source.close();
    m_target.close();
    advance(Stage::Ended);
    if (!BackToMain)
        endProgram();
}

void ProcWin::advance(Stage stage)
{
    m_stage = std::max(m_stage, stage);
}

// Connection

void ProcWin::NT_Connect()
{
    m_connectLimit->stop();
    advance(Stage::Securing);
    m_private.emplace();
    if (!m_private->isValid())
        return privacyFailed();
    NT->SendData(m_private->probe());
    m_privateLimit->start();
    // A receiver that announced the private channel is never served in the clear.
    if (!m_settings.PeerPrivate)
        m_clearFallback->start();
}

void ProcWin::NT_ConnectionRequest(qint32 requestId)
{
    m_announcer.withdraw();
    if (NT->State() != TcpControl::Closed)
        NT->Close();
    NT->Accept(requestId);
    // Whether this "OK" counts depends on what the sender says first.
    advance(Stage::Securing);
    NT->SendData(QStringLiteral("OK"));
    // Whoever connected must say something we can take in time, or the port is the next sender's.
    m_privateLimit->start();
}

void ProcWin::connectLimitReached()
{
    if (m_stage >= Stage::Securing)
        return;
    NT->Close();
    endWith(CouldNotConnect + m_settings.PeerIP + u'!');
}

void ProcWin::NT_Lost()
{
    // Once every byte is through, or after any other end, a closing connection changes nothing.
    if (m_stage >= Stage::Complete)
        return;
    if (m_stage < Stage::Securing)
        return endWith(CouldNotConnect + m_settings.PeerIP + u'!');
    if (m_stage == Stage::Securing && (NT->privateStarted() || m_settings.PeerPrivate))
        return endWith(NotPrivate);
    endWith(m_settings.XferMode == TransferSettings::Send ? ClosedByReciever : ClosedBySender);
}

// Privacy

void ProcWin::awaitAnswer()
{
    // Everything the receiver says in the clear is kept: its "OK" counts if it never answers "TL".
    // A receiver of either kind says two words before it hears us; one that says far more is broken.
    if (InMsg.size() > MaxPreamble)
        return privacyFailed();
    m_unfinished = InMsg;
    const qsizetype answer = ControlText::answerAt(InMsg);
    // A receiver that speaks TLS says nothing more until we do.
    if (answer >= 0)
        answer + 2 < InMsg.size() ? privacyFailed() : startPrivate(false);
}

void ProcWin::awaitProbe(const QString &held, const QString &read)
{
    const PrivateChannel::Heard heard = PrivateChannel::hear(InMsg);
    if (heard == PrivateChannel::Probe)
        return startPrivate(true);
    if (heard == PrivateChannel::PartOfProbe)
        return void(m_unfinished = InMsg);
    // The sender stopped waiting for "TL" and goes on in the clear.
    if (heard == PrivateChannel::ProbeThenMore)
        return goClear(), dispatch(InMsg.sliced(PrivateChannel::ProbeLength));
    // Only a message or an offer shows a sender of the design; anything else waits out the limit.
    if (heard == PrivateChannel::Clear) {
        const std::optional<ControlText::Split> split = ControlText::split(InMsg);
        if (split && (!split->messages.isEmpty() || !split->offer.isEmpty()))
            return goClear(), dispatch(InMsg);
        if (split)
            return void(m_unfinished = split->unfinished);
    }
    // What was held was not the start of a message after all: what came now stands alone.
    if (!held.isEmpty())
        return InMsg = read, awaitProbe({}, read);
}

void ProcWin::clearFallbackReached()
{
    if (m_stage != Stage::Securing || NT->privateStarted())
        return;
    goClear();
    NT->SendData(QStringLiteral("RC"));
    if (!m_unfinished.isEmpty()) {
        InMsg = std::exchange(m_unfinished, {});
        dispatch(InMsg);
    }
}

void ProcWin::goClear()
{
    m_clearFallback->stop();
    m_privateLimit->stop();
    advance(Stage::Connected);
    setCaption(TitleNotEncrypted);
}

void ProcWin::startPrivate(bool asServer)
{
    m_clearFallback->stop();
    m_unfinished.clear();
    if (asServer) {
        m_private.emplace();
        if (!m_private->isValid())
            return privacyFailed();
        m_private->commit(InMsg);
        NT->SendData(QStringLiteral("TL"));
    }
    NT->StartPrivate(m_private->context(), asServer);
}

void ProcWin::NT_Secured()
{
    const QByteArray peer = NT->peerCertificate();
    // The receiver holds the sender to the certificate its probe committed to.
    if (peer.isEmpty() || (receiving() && !m_private->keepsCommitment(peer)))
        return privacyFailed();
    m_privateLimit->stop();
    const QByteArray &ours = m_private->certificate();
    setCaption(Title + QStringLiteral(" (") + (receiving() ? PrivateChannel::code(peer, ours) : PrivateChannel::code(ours, peer))
               + u')');
    // Inside TLS the exchange starts over: what was said in the clear counts for nothing.
    advance(Stage::Connected);
    NT->SendData(receiving() ? QStringLiteral("OK") : QStringLiteral("RC"));
}

void ProcWin::privateLimitReached()
{
    // Nothing a sender would say came from whoever connected: the port opens again for the next one.
    if (receiving() && m_stage == Stage::Securing && !NT->privateStarted())
        return listenAgain();
    privacyFailed();
}

void ProcWin::listenAgain()
{
    NT->Close();
    m_unfinished.clear();
    // The one step back a transfer takes: the connection that held it is gone, nothing was said.
    m_stage = Stage::Opening;
    if (!NT->Listen())
        return endWith(cannotListen(NT->listenError(), m_port));
    m_announcer.announce(m_port);
}

void ProcWin::privacyFailed()
{
    if (m_stage > Stage::Securing)
        return;
    endWith(NotPrivate);
    NT->Close();
}

// Handshake

void ProcWin::NT_DataArrival(qint32 bytesTotal)
{
    // A complete, finished or failed transfer takes nothing more in this window.
    if (m_stage >= Stage::Complete)
        return;
    if (XferState == ReceivingData)
        return receiveBlock(bytesTotal);
    // While the pump runs, incoming bytes stay unread.
    if (XferState != ControlMessages)
        return;

    QString read;
    NT->GetData(read);
    // Everything between the start of an offer and our "SD" belongs to the offer.
    if (receiving() && m_stage >= Stage::Offered) {
        InMsg = m_offer += read;
        return offerGrew();
    }
    const QString held = std::exchange(m_unfinished, {});
    InMsg = held + read;
    if (m_stage == Stage::Securing)
        return receiving() ? awaitProbe(held, read) : awaitAnswer();
    dispatch(InMsg);
}

void ProcWin::dispatch(const QString &text)
{
    // Text that does not split into messages matches nothing and is dropped without reply.
    const std::optional<ControlText::Split> split = ControlText::split(text);
    if (!split)
        return;
    m_unfinished = split->unfinished;
    for (const QString &message : split->messages) {
        if (m_stage == Stage::Ended || XferState != ControlMessages)
            return;
        handleMessage(message);
    }
    if (!split->offer.isEmpty() && receiving() && m_stage == Stage::Connected) {
        m_offer = split->offer;
        advance(Stage::Offered);
        offerGrew();
    }
}

void ProcWin::handleMessage(const QString &message)
{
    const bool sending = m_settings.XferMode == TransferSettings::Send;
    // The go-ahead only counts once, and "SD" only answers an offer this window has made:
    // anything else would send a file nobody chose in this transfer.
    if (message == u"OK" && sending && m_stage == Stage::Connected)
        chooseFile();
    else if (message == u"OK" && sending && m_stage == Stage::Verdict)
        advance(Stage::Complete), progressed();
    else if (message == u"CC" && sending)
        endWith(ClosedByReciever);
    else if (message == u"SD" && sending && m_stage == Stage::Offered)
        startSending();
    else if (message == u"RC" && receiving())
        StatBox->setText(WaitingForFile);
    else if (message == u"CC" && receiving())
        endWith(ClosedBySender);
}

void ProcWin::chooseFile()
{
    StatBox->setText(SelectFile);
    QStringList chosen = m_settings.Paths;
    if (chosen.isEmpty()) {
        DG->InitDir = FileDialogControl::homeFolder();
        DG->DialogTitle.clear();
        DG->Flags = FileDialogControl::HideReadOnly;
        DG->Filter = AnyFileFilter;
        DG->CancelError = false;
        DG->FileName.clear();
        DG->FileNames.clear();
        const QPointer<QWidget> self = window();
        DG->ShowOpen(self);
        if (!stillRunning(self))
            return;
        chosen = DG->FileNames.isEmpty() ? QStringList{DG->FileName} : DG->FileNames;
    }
    FilePath = chosen.value(0);
    if (FilePath.isEmpty())
        return refuse(NoFileSelected);
    // A folder, or more than one thing, goes as one bundle.
    if (chosen.size() > 1 || QFileInfo(FilePath).isDir())
        return offerBundle(chosen);

    const QFileInfo info(FilePath);
    if (!info.isFile())
        return refuse(CannotReadChoice);
    FileSize = info.size();
    if (FileSize == 0)
        return refuse(ZeroLength);
    QFile probe(FilePath);
    if (!probe.open(QIODevice::ReadOnly))
        return refuse(CannotReadChoice);
    probe.close();

    StatBox->setText(SendingRequest);
    NT->SendData(FileOffer::build(FilePath, FileSize));
    advance(Stage::Offered);
}

void ProcWin::offerBundle(const QStringList &chosen)
{
    if (!m_source.bundle(chosen))
        return refuse(m_source.refusedName().isEmpty() ? QString(CannotReadChoice) : wouldRefuse(m_source.refusedName()));
    FileSize = m_source.bundleSize();
    const QString name = FileSource::bundleName(chosen);
    StatBox->setText(SendingRequest);
    // Between two Veltranes a trailing slash marks a bundle; a peer of the design saves a tar file.
    NT->SendData(FileOffer::buildFor(name + (NT->isPrivate() ? QStringLiteral("/") : QStringLiteral(".tar")), FileSize));
    advance(Stage::Offered);
}

void ProcWin::offerGrew()
{
    // No name or size needs this much; a peer that keeps talking is refused, not stored.
    if (m_offer.size() > MaxOfferLength)
        return refuse(SaveCancelled);
    if (m_stage == Stage::Choosing)
        return;
    // A sender built to this design says nothing after its offer until it is answered, so a quiet
    // line after the size means the offer is whole. One that never shows a size is given up on.
    const qsizetype sizeAt = m_offer.lastIndexOf(u'\\');
    const bool holdsSize = sizeAt >= 0
        && std::any_of(m_offer.cbegin() + sizeAt, m_offer.cend(), [](QChar c) { return c.isDigit(); });
    m_offerSettle->start(holdsSize ? m_timing.offerSettleMs : m_timing.offerSettleMs * UnsizedOfferWaits);
}

void ProcWin::chooseTarget()
{
    if (m_stage != Stage::Offered)
        return;
    StatBox->setText(SaveFileTo);
    const auto offered = FileOffer::read(m_offer);
    if (!offered)
        return refuse(SaveCancelled);
    FileSize = offered->second;
    // Only between two Veltranes is a name with a trailing slash a bundle to unpack.
    const bool bundle = NT->isPrivate() && offered->first.endsWith(u'/');

    DG->InitDir = FileDialogControl::downloadFolder();
    DG->DialogTitle = SaveFileFrom + NT->RemoteHostIP() + QStringLiteral(" (") + K(FileSize) + KbEnd;
    DG->Flags = FileDialogControl::HideReadOnly | (bundle ? 0 : FileDialogControl::OverwritePrompt);
    DG->Filter = AnyFileFilter;
    // The offer names a file or a new folder, never a place: it cannot steer the dialog elsewhere.
    const QString name = FileOffer::safeName(FileOffer::decodeName(bundle ? offered->first.chopped(1) : offered->first));
    DG->FileName = name;
    DG->CancelError = true;
    DG->roomNeeded = FileSize;
    tellIfAway(NT->RemoteHostIP() + Offers + name + OffersSizeStart + K(FileSize) + KbEnd);
    const QPointer<QWidget> self = window();
    advance(Stage::Choosing);
    const bool chosen = DG->ShowSave(self);
    if (!stillRunning(self))
        return;
    if (!chosen)
        return refuse(SaveCancelled);
    // What came while the dialog was open is the rest of the offer: the size is the one it now gives.
    const auto whole = FileOffer::read(m_offer);
    if (!whole)
        return refuse(SaveCancelled);
    FileSize = whole->second;
    if (bundle ? !openFolder(self, name) : !m_target.openFile(DG->FileName))
        return refuse(SaveCancelled);
    StatBox->setText(RecievingFile);
    NT->SendData(QStringLiteral("SD"));
    XferState = ReceivingData;
    advance(Stage::Moving);
    m_offer.clear();
}

bool ProcWin::openFolder(QWidget *self, const QString &name)
{
    // A folder that is there already is never merged without asking, as a file is never replaced.
    const QFileInfo place(DG->FileName);
    if (place.exists() && (!place.isDir() || !DG->ConfirmMerge(self, DG->FileName) || !stillRunning(self)))
        return false;
    return m_target.openFolder(DG->FileName, name, FileSize);
}

bool ProcWin::stillRunning(const QPointer<QWidget> &window) const
{
    // The peer may have gone, or the window been closed, while a dialog was open.
    return window && m_stage != Stage::Ended && NT && NT->State() == TcpControl::Connected;
}

void ProcWin::refuse(const QString &sentence)
{
    NT->SendData(QStringLiteral("CC"));
    endWith(sentence);
}

bool ProcWin::receiving() const
{
    return m_settings.XferMode == TransferSettings::Receive;
}

// Pump

void ProcWin::startSending()
{
    StatBox->setText(SendingFile);
    if (!m_source.open(FilePath)) {
        endWith(CannotRead);
        NT->Close();
        return;
    }
    XferState = ReadyForChunk;
    advance(Stage::Moving);
    pump();
}

void ProcWin::pump()
{
    // TCP's flow control holds the pace to what the link and the receiver take: the socket's
    // queue is topped up to its bound, and each piece that leaves brings us back for more.
    if (XferState != ReadyForChunk || m_stage != Stage::Moving)
        return;
    // In the clear the kernel sends a plain file straight from the page cache; a bundle is made as
    // it is read, and under TLS each piece is encrypted from where it was read.
    const int file = NT->privateStarted() ? -1 : m_source.descriptor();
    for (qint64 length = qMin(PieceSize, FileSize - BytesDone); length > 0 && NT->bytesQueued() + length <= QueueBound;
         length = qMin(PieceSize, FileSize - BytesDone)) {
        if (file >= 0) {
            XferState = ChunkOutstanding;
            NT->SendFile(file, BytesDone, length);
        } else {
            QByteArray &piece = freePiece();
            piece.resize(length);
            if (!readNext(piece))
                return;
            XferState = ChunkOutstanding;
            NT->SendData(piece);
        }
        BytesDone += length;
    }
    if (BytesDone == FileSize) {
        m_source.close();
        // "Finished." waits until the operating system holds every byte: Done pressed at once
        // must not cut off what is still queued in the socket.
        if (NT->allSent())
            return handedOver();
        advance(Stage::Draining);
    }
    progressed();
}

QByteArray &ProcWin::freePiece()
{
    // The socket shares each piece until the kernel has taken the last of it. One it has let go of
    // is still mapped and warm: reading into a fresh one costs a page fault every 4 KiB. The queue's
    // bound keeps the pieces to a handful for the whole transfer.
    for (QByteArray &piece : ChunkBuf)
        if (piece.isDetached())
            return piece;
    ChunkBuf.append(QByteArray(PieceSize, Qt::Uninitialized));
    return ChunkBuf.last();
}

bool ProcWin::readNext(QByteArray &buffer)
{
    // Bytes that were not read are never sent: a file that shrank or broke ends the transfer,
    // and closing the connection lets the receiver know.
    if (m_source.read(buffer))
        return true;
    endWith(CannotRead);
    NT->Close();
    return false;
}

void ProcWin::NT_SourceFailed()
{
    // The file the kernel was sending from shrank or broke: as for a piece that could not be read.
    if (m_stage != Stage::Moving && m_stage != Stage::Draining)
        return;
    endWith(CannotRead);
    NT->Close();
}

void ProcWin::NT_SendComplete()
{
    if (XferState == ChunkOutstanding)
        XferState = ReadyForChunk;
    if (m_stage == Stage::Moving)
        return pump();
    if (m_stage == Stage::Draining && NT->allSent())
        handedOver();
}

void ProcWin::handedOver()
{
    // A receiver of the design says nothing more: what the operating system holds is as good as sent.
    if (!NT->isPrivate())
        return advance(Stage::Complete), progressed();
    // Between two Veltranes "OK" says all of it landed; a receiver that refused part of it closes.
    advance(Stage::Verdict);
    XferState = ControlMessages;
    m_acknowledged = false;
    m_verdictWait->start(std::max(TickMs, m_timing.privateLimitMs / 10));
    progressed();
    // Whatever came while the pump ran raised its one arrival then, and stayed unread.
    if (const qint64 waiting = NT->bytesWaiting(); waiting > 0)
        NT_DataArrival(qint32(qMin<qint64>(waiting, std::numeric_limits<qint32>::max())));
}

void ProcWin::verdictOverdue()
{
    if (m_stage != Stage::Verdict)
        return;
    // Bytes still on their way are a slow link, not a silent receiver.
    if (NT->bytesUnacknowledged() > 0) {
        m_acknowledged = false;
        return m_verdictWait->start(std::max(TickMs, m_timing.privateLimitMs / 10));
    }
    // An earlier Veltrane never gives a verdict: silent for the limit after it had every byte, it is one.
    if (!std::exchange(m_acknowledged, true))
        return m_verdictWait->start(m_timing.privateLimitMs);
    advance(Stage::Complete);
    progressed();
}

// Sink

void ProcWin::receiveBlock(qint32 count)
{
    if (count < 1)
        return;
    NT->GetData(DataBuf);
    // Only the announced size is ours to write; the block is written before it is counted,
    // so "Finished." never stands for bytes that did not reach the disk.
    const qint64 kept = qMin<qint64>(DataBuf.size(), FileSize - BytesDone);
    if (!m_target.write(DataBuf.constData(), kept, BytesDone + kept >= FileSize)) {
        NT->Close();
        endWith(m_target.unsafe() ? UnsafeName : CannotWrite);
        return;
    }
    BytesDone += kept;
    // A stream that comes faster than it is taken is woken for in large blocks, which saves a
    // wake-up per segment; a trickle is taken as it comes. The socket changes nothing while the
    // threshold stays what it was.
    NT->setArrivalThreshold(kept >= StreamingBlock ? FileSize - BytesDone : 1);
    if (BytesDone >= FileSize) {
        XferState = ControlMessages;
        m_target.close();
        advance(Stage::Complete);
        // The sender's "Finished." waits for this; in the clear a sender of the design would take
        // it for a new go-ahead.
        if (NT->isPrivate())
            NT->SendData(QStringLiteral("OK"));
    }
    progressed();
}

// The end: every way a transfer ends, finished or failed, comes through here.

void ProcWin::endWith(const QString &sentence)
{
    StatBox->setText(sentence);
    CDBut->setText(Done);
    advance(Stage::Ended);
    STM->stop();
    m_connectLimit->stop();
    m_clearFallback->stop();
    m_privateLimit->stop();
    m_verdictWait->stop();
    m_offerSettle->stop();
    m_source.close();
    m_target.close();
    // A piece or block can be a quarter of a megabyte; an idle window holds neither.
    ChunkBuf.clear();
    DataBuf.clear();
    // The user is most likely working in another window by now; Qt leaves an active one alone.
    // Qt cannot ask a Wayland compositor for attention, so the desktop's notification says it too.
    QApplication::alert(window());
    tellIfAway(sentence);
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

// Progress

void ProcWin::progressed()
{
    // Drawing after every piece would cost more than moving it: the display catches up on its
    // tick, and the last figures always get one.
    if (!STM->isActive())
        STM->start();
}

void ProcWin::STM_Timer()
{
    // Bytes of a stream that paused wait no longer than a tick or two to be taken: the threshold
    // drops once a whole tick has brought nothing, and is left alone while the stream flows.
    if (receiving() && m_stage == Stage::Moving && NT->State() == TcpControl::Connected) {
        if (BytesDone == m_tickBytes)
            NT->setArrivalThreshold(1);
        else
            // Once this tick is over, so that the next is a whole tick after it.
            QMetaObject::invokeMethod(STM, [this] { progressed(); }, Qt::QueuedConnection);
        m_tickBytes = BytesDone;
    }
    DrawProcess();
    if (m_stage == Stage::Complete)
        endWith(Finished + K(FileSize) + KbEnd);
}

void ProcWin::DrawProcess()
{
    const QString done = K(BytesDone) + KbOf + K(FileSize) + KbEnd;
    if (m_settings.XferMode == TransferSettings::Send)
        StatBox->setText(RunningSend + done);
    else if (receiving())
        StatBox->setText(RunningRecieve + done);

    const qint16 percent = BytesDone >= FileSize
        ? qint16(100)
        : qint16(std::nearbyint(double(BytesDone) / double(FileSize) * 100.0));
    PBForm::instance().paintBar(*ProcBar, BarDrawn, percent);
    ProcBar->setProgress(percent);
    BarDrawn = percent;
}

