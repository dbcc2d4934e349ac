#include "transfer/transfer.h"

#include "transfer/controltext.h"
#include "transfer/fileoffer.h"
#include "transfer/statustext.h"

#include <QFileInfo>

#include <algorithm>

using namespace StatusText;

namespace {
// The size an offer may show, in settling times, before it is taken as it stands.
constexpr int UnsizedOfferWaits = 30;

QTimer *singleShot(Transfer *transfer, int ms, void (Transfer::*step)())
{
    auto *timer = new QTimer(transfer);
    timer->setSingleShot(true);
    timer->setInterval(ms);
    QObject::connect(timer, &QTimer::timeout, transfer, step);
    return timer;
}
}

// Lifecycle

Transfer::Transfer(TransferSettings &settings, Chooser &chooser, quint16 port, TransferTiming timing, QObject *parent)
    : QObject(parent)
    , NT(new TcpControl(this))
    , STM(new QTimer(this))
    , m_settings(settings)
    , m_chooser(chooser)
    , m_port(port)
    , m_timing(timing)
    , m_opening(*NT, timing.clearFallbackMs, timing.privateLimitMs)
    , m_verdict(*NT, timing.privateLimitMs)
{
    connect(NT, &TcpControl::ConnectEvent, this, &Transfer::NT_Connect);
    connect(NT, &TcpControl::ConnectionRequest, this, &Transfer::NT_ConnectionRequest);
    connect(NT, &TcpControl::DataArrival, this, &Transfer::NT_DataArrival);
    connect(NT, &TcpControl::SendComplete, this, &Transfer::NT_SendComplete);
    connect(NT, &TcpControl::SourceFailed, this, &Transfer::NT_SourceFailed);
    connect(NT, &TcpControl::Error, this, &Transfer::NT_Lost);
    connect(NT, &TcpControl::CloseEvent, this, &Transfer::NT_Lost);

    // The operating system would wait about a minute for a peer that never answers.
    m_connectLimit = singleShot(this, m_timing.connectLimitMs, &Transfer::connectLimitReached);
    connect(&m_opening, &PrivacyOpening::wentClear, this, &Transfer::goClear);
    connect(&m_opening, &PrivacyOpening::secured, this, &Transfer::goPrivate);
    connect(&m_opening, &PrivacyOpening::failed, this, &Transfer::privacyFailed);
    connect(&m_opening, &PrivacyOpening::abandoned, this, &Transfer::listenAgain);
    // An earlier Veltrane never gives its word: silent long enough after it had every byte, it is one.
    connect(&m_verdict, &VerdictWait::overdue, this, [this] { advance(Stage::Complete), progress(); });
    m_offerSettle = singleShot(this, 0, &Transfer::chooseTarget);
    m_cancelLimit = singleShot(this, 1000, &Transfer::closeCancelled);

    // Started by bytes that move, so each report is at least a tick after the one before.
    STM->setSingleShot(true);
    STM->setTimerType(Qt::PreciseTimer);
    STM->setInterval(TickMs);
    connect(STM, &QTimer::timeout, this, &Transfer::STM_Timer);
}

Transfer::~Transfer() { stop(); }

void Transfer::start()
{
    stop();
    BytesDone = 0;
    FileSize = 0;
    m_tickBytes = 0;
    XferState = ControlMessages;
    m_stage = Stage::Opening;
    m_offer.clear();
    m_unfinished.clear();
    m_asked = false;
    if (isSending()) {
        emit statusChanged(Connecting + m_settings.PeerIP + ConnectingEnd);
        NT->RemoteHost = m_settings.PeerIP;
        NT->RemotePort = m_port;
        if (!NT->Connect())
            return endWith(CouldNotConnect + m_settings.PeerIP + u'!');
        m_connectLimit->start();
    } else if (isReceiving()) {
        emit statusChanged(Waiting);
        NT->LocalPort = m_port;
        if (!NT->Listen())
            return endWith(cannotListen(NT->listenError(), m_port));
        m_announcer.announce(m_port);
    }
}

void Transfer::stop()
{
    m_cancelling = false;
    m_cancelLimit->stop();
    m_announcer.withdraw();
    // Also once the peer has gone: its dead socket would outlive this transfer into the next.
    NT->Close();
    release();
    advance(Stage::Ended);
}

void Transfer::release()
{
    m_opening.stop();
    m_verdict.stop();
    for (QTimer *timer : {STM, m_connectLimit, m_offerSettle})
        timer->stop();
    m_source.close();
    m_target.close();
    // A piece or block can be a quarter of a megabyte; an idle transfer holds neither.
    ChunkBuf.clear();
    DataBuf.clear();
}

void Transfer::cancel()
{
    // Closing at once would throw away the "CC" still queued in the socket.
    if (!connected() || m_stage < Stage::Connected || m_stage >= Stage::Moving) {
        stop();
        return emit cancelled();
    }
    advance(Stage::Ended);
    release();
    m_cancelling = true;
    NT->SendData(QStringLiteral("CC"));
    m_cancelLimit->start();
}

void Transfer::closeCancelled()
{
    if (!m_cancelling)
        return;
    stop();
    emit cancelled();
}

void Transfer::advance(Stage stage)
{
    m_stage = std::max(m_stage, stage);
}

bool Transfer::connected() const
{
    // The peer may have gone, or the transfer ended, while a choice was being made.
    return m_stage != Stage::Ended && NT->State() == TcpControl::Connected;
}

// Connection

void Transfer::NT_Connect()
{
    m_connectLimit->stop();
    advance(Stage::Securing);
    m_opening.connected(m_settings.PeerPrivate);
}

void Transfer::NT_ConnectionRequest(qint32 requestId)
{
    m_announcer.withdraw();
    if (NT->State() != TcpControl::Closed)
        NT->Close();
    NT->Accept(requestId);
    // Whether this "OK" counts depends on what the sender says first.
    advance(Stage::Securing);
    NT->SendData(QStringLiteral("OK"));
    m_opening.accepted();
}

void Transfer::connectLimitReached()
{
    if (m_stage >= Stage::Securing)
        return;
    NT->Close();
    endWith(CouldNotConnect + m_settings.PeerIP + u'!');
}

void Transfer::NT_Lost()
{
    if (m_cancelling)
        return closeCancelled();
    // Once every byte is through, or after any other end, a closing connection changes nothing.
    if (m_stage >= Stage::Complete)
        return;
    if (m_stage < Stage::Securing)
        return endWith(CouldNotConnect + m_settings.PeerIP + u'!');
    if (m_stage == Stage::Securing && (NT->privateStarted() || m_settings.PeerPrivate))
        return endWith(NotPrivate);
    endWith(isSending() ? ClosedByReciever : ClosedBySender);
}

// Privacy

void Transfer::goClear(const QString &words)
{
    advance(Stage::Connected);
    emit wentClear();
    // The words are what last came, or what the opening held back of it.
    if (!InMsg.endsWith(words))
        InMsg = words;
    if (!words.isEmpty())
        dispatch(words);
}

void Transfer::goPrivate(const QString &code)
{
    emit secured(code);
    // Inside TLS the exchange starts over: what was said in the clear counts for nothing.
    advance(Stage::Connected);
    NT->SendData(isReceiving() ? QStringLiteral("OK") : QStringLiteral("RC"));
}

void Transfer::listenAgain()
{
    NT->Close();
    // The one step back a transfer takes: the connection that held it is gone, nothing was said.
    m_stage = Stage::Opening;
    if (!NT->Listen())
        return endWith(cannotListen(NT->listenError(), m_port));
    m_announcer.announce(m_port);
}

void Transfer::privacyFailed()
{
    if (m_stage > Stage::Securing)
        return;
    m_opening.stop();
    endWith(NotPrivate);
    NT->Close();
}

// Handshake

void Transfer::NT_DataArrival(qint32 bytesTotal)
{
    // A complete, finished or failed transfer takes nothing more.
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
    if (isReceiving() && m_stage >= Stage::Offered) {
        InMsg = m_offer += read;
        return offerGrew();
    }
    if (m_stage == Stage::Securing)
        return void(InMsg = m_opening.text() + read), m_opening.heard(read);
    InMsg = std::exchange(m_unfinished, {}) + read;
    dispatch(InMsg);
}

void Transfer::dispatch(const QString &text)
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
    if (!split->offer.isEmpty() && isReceiving() && m_stage == Stage::Connected) {
        m_offer = split->offer;
        advance(Stage::Offered);
        offerGrew();
    }
}

void Transfer::handleMessage(const QString &message)
{
    // The go-ahead only counts once, and "SD" only answers an offer this side has made:
    // anything else would send a file nobody chose in this transfer.
    if (message == u"OK" && isSending() && m_stage == Stage::Connected && !m_asked)
        chooseFile();
    else if (message == u"OK" && isSending() && m_stage == Stage::Verdict)
        m_verdict.stop(), advance(Stage::Complete), progress();
    else if (message == u"CC" && isSending())
        endWith(ClosedByReciever);
    else if (message == u"SD" && isSending() && m_stage == Stage::Offered)
        m_pump.start();
    else if (message == u"RC" && isReceiving())
        emit statusChanged(WaitingForFile);
    else if (message == u"CC" && isReceiving())
        endWith(ClosedBySender);
}

void Transfer::chooseFile()
{
    emit statusChanged(SelectFile);
    m_asked = true;
    if (!m_settings.Paths.isEmpty())
        return send(m_settings.Paths);
    m_chooser.chooseToSend();
}

void Transfer::send(const QStringList &chosen)
{
    if (!m_asked || m_stage != Stage::Connected || !connected())
        return;
    FilePath = chosen.value(0);
    // A folder, or more than one thing, goes as one bundle.
    if (const QString refusal = m_source.choose(chosen, NT->isPrivate()); !refusal.isEmpty())
        return refuse(refusal);
    FileSize = m_source.size();
    emit statusChanged(SendingRequest);
    NT->SendData(m_source.offer());
    advance(Stage::Offered);
}

void Transfer::offerGrew()
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

void Transfer::chooseTarget()
{
    if (m_stage != Stage::Offered)
        return;
    emit statusChanged(SaveFileTo);
    const auto found = FileOffer::read(m_offer);
    if (!found)
        return refuse(SaveCancelled);
    FileSize = found->second;
    // Only between two Veltranes is a name with a trailing slash a bundle to unpack.
    const bool bundle = NT->isPrivate() && found->first.endsWith(u'/');
    // The offer names a file or a new folder, never a place: it cannot steer the choice elsewhere.
    m_offered = {NT->RemoteHostIP(),
                 FileOffer::safeName(FileOffer::decodeName(bundle ? found->first.chopped(1) : found->first)), FileSize,
                 bundle};
    advance(Stage::Choosing);
    emit offered(m_offered);
    if (m_stage == Stage::Choosing)
        m_chooser.chooseTarget(m_offered);
}

void Transfer::saveTo(const QString &path)
{
    if (m_stage != Stage::Choosing || !connected())
        return;
    if (path.isEmpty())
        return refuse(SaveCancelled);
    // What came while the choice was made is the rest of the offer: the size is the one it now gives.
    const auto whole = FileOffer::read(m_offer);
    if (!whole)
        return refuse(SaveCancelled);
    FileSize = whole->second;
    if (m_offered.bundle ? !m_target.openFolder(path, m_offered.name, FileSize) : !m_target.openFile(path))
        return refuse(SaveCancelled);
    emit statusChanged(RecievingFile);
    NT->SendData(QStringLiteral("SD"));
    XferState = ReceivingData;
    advance(Stage::Moving);
    m_offer.clear();
}

void Transfer::refuse(const QString &sentence)
{
    NT->SendData(QStringLiteral("CC"));
    endWith(sentence);
}

// Pump

void Transfer::NT_SourceFailed()
{
    // The file the kernel was sending from shrank or broke: as for a piece that could not be read.
    if (m_stage != Stage::Moving && m_stage != Stage::Draining)
        return;
    endWith(CannotRead);
    NT->Close();
}

void Transfer::NT_SendComplete()
{
    if (m_cancelling && NT->allSent())
        return closeCancelled();
    if (XferState == ChunkOutstanding)
        XferState = ReadyForChunk;
    if (m_stage == Stage::Moving)
        return m_pump.pump();
    if (m_stage == Stage::Draining && NT->allSent())
        m_pump.handedOver();
}

// Sink

void Transfer::receiveBlock(qint32 count)
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
    progress();
}

// Progress and the end

void Transfer::progress()
{
    // Reporting after every piece would cost more than moving it: the report catches up on its
    // tick, and the last figures always get one.
    if (!STM->isActive())
        STM->start();
}

void Transfer::STM_Timer()
{
    // Bytes of a stream that paused wait no longer than a tick or two to be taken: the threshold
    // drops once a whole tick has brought nothing, and is left alone while the stream flows.
    if (isReceiving() && m_stage == Stage::Moving && NT->State() == TcpControl::Connected) {
        if (BytesDone == m_tickBytes)
            NT->setArrivalThreshold(1);
        else
            // Once this tick is over, so that the next is a whole tick after it; not once the
            // transfer has ended in between, or it would report after its end.
            QMetaObject::invokeMethod(
                STM,
                [this] {
                    if (m_stage == Stage::Moving)
                        progress();
                },
                Qt::QueuedConnection);
        m_tickBytes = BytesDone;
    }
    emit progressed(BytesDone, FileSize);
    if (m_stage == Stage::Complete)
        endWith(Finished + kilobytes(FileSize) + KbEnd);
}

// Every way a transfer ends, finished or failed, comes through here.
void Transfer::endWith(const QString &sentence)
{
    const bool finished = m_stage == Stage::Complete;
    advance(Stage::Ended);
    release();
    emit ended(sentence, finished);
}
