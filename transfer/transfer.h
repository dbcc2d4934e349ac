#pragma once

#include "transfer/filepump.h"
#include "transfer/filesink.h"
#include "transfer/filesource.h"
#include "transfer/privacyopening.h"
#include "transfer/verdictwait.h"
#include "transfer/serviceannouncer.h"
#include "transfer/tcpcontrol.h"
#include "transfer/transfersettings.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <optional>

// How long a transfer waits on the network. The program always uses these values; tests pass
// shorter ones.
struct TransferTiming {
    // Quiet time after which a file offer that holds its size is taken as complete.
    int offerSettleMs = 100;
    // A connection attempt with no answer by then is abandoned.
    int connectLimitMs = 21000;
    // A receiver that has not answered the probe by then is served in the clear.
    int clearFallbackMs = 2000;
    // The private channel must stand this long after the connection, or the transfer ends.
    int privateLimitMs = 10000;
};

// One transfer, on the sending and the receiving computer alike, with no window: whoever shows it
// makes the two choices a person makes and shows what it reports. The exchange:
//   receiver listens on port 1001, accepts one peer and sends "OK"; sender connects and sends "RC";
//   between two Veltranes the sender first sends its probe, the receiver answers "TL", and after
//   TLS the receiver's "OK" and the sender's "RC" start everything over, inside it; a receiver
//   that does not answer within 2 s gets "RC" in the clear;
//   on "OK" the sender picks a file and offers it: "FN" + name + "\" + " " + size, no framing;
//   on the offer the receiver picks where to save it and answers "SD", or "CC" to refuse;
//   on "SD" the sender's pump sends the raw bytes as fast as the socket takes them;
//   the receiver writes every block until the announced size has arrived; nobody sends more.
// Progress is reported at most once per display tick. Either side may send "CC" instead of going
// on; the connection stays open until stop().
class Transfer : public QObject
{
    Q_OBJECT

public:
    // Values of XferState.
    enum : quint8 { ControlMessages = 0, ReceivingData = 1, ReadyForChunk = 2, ChunkOutstanding = 3 };

    static constexpr quint16 Port = 1001;
    // The sender reads its file in pieces this large, and keeps no more than QueueBound waiting in
    // the socket: enough to keep a fast link busy, little enough that memory stays flat.
    static constexpr qint64 PieceSize = 256 * 1024;
    static constexpr qint64 QueueBound = 1024 * 1024;
    // A plain file in the clear is never read into this process: the kernel sends it from the page
    // cache, so more may wait at no cost in memory. On loopback 1 MiB drains in well under a
    // millisecond, sooner than a busy machine comes back round the event loop to top it up.
    static constexpr qint64 FilePieceSize = 1024 * 1024;
    static constexpr qint64 FileQueueBound = 8 * 1024 * 1024;
    // A block this large means the receiver's bytes come faster than it takes them.
    static constexpr qint64 StreamingBlock = 16 * 1024;
    // Progress is reported at most once per tick while bytes move.
    static constexpr int TickMs = 10;
    // Longer than any name and size; the 16-bit scan of an offer reaches no further.
    static constexpr qsizetype MaxOfferLength = 32767;

    // An offer as the receiver's person sees it.
    struct Offer {
        QString from;
        // Decoded, and safe to use as a name in the folder it is saved to.
        QString name;
        qint64 size = 0;
        // A folder or several files, unpacked into a new folder as they arrive.
        bool bundle = false;
    };

    // The two choices a person makes, asked for by the transfer and answered through send() and
    // saveTo(), at once or later.
    class Chooser
    {
    public:
        virtual ~Chooser() = default;
        virtual void chooseToSend() = 0;
        // The overwrite or merge question and the room check are the chooser's.
        virtual void chooseTarget(const Offer &offer) = 0;
    };

    // How far the transfer has come, alongside XferState; it only moves forward.
    enum class Stage : quint8 {
        Idle,      // nothing started yet
        Opening,   // connecting or listening
        Securing,  // connected: the probe, its answer and TLS decide whether it is private
        Connected, // control messages flow
        Offered,   // sender: our offer awaits "SD" or "CC"; receiver: an offer is being collected
        Choosing,  // receiver: the chooser has the offer
        Moving,    // file bytes flow
        Draining,  // sender: every piece is handed over, some still wait in the socket
        Verdict,   // sender, private: the operating system has every byte; the receiver's word decides
        Complete,  // every byte is sent or written; the next tick reports the end
        Ended,     // finished or failed: nothing more is taken
    };

    // The direction and the peer come from `settings` each time they are needed.
    Transfer(TransferSettings &settings, Chooser &chooser, quint16 port = Port, TransferTiming timing = {},
             QObject *parent = nullptr);
    ~Transfer() override;

    // Connects or listens, as the settings say; each start is a new transfer.
    void start();
    // Ends it without a sentence: the connection closes and the files are released.
    void stop();
    // Ends it as a person who gives up: a peer still in the handshake hears "CC" before the
    // connection closes, one in the middle of the data sees it close. cancelled() follows.
    void cancel();
    Stage stage() const { return m_stage; }
    bool isSending() const { return m_settings.XferMode == TransferSettings::Send; }
    bool isReceiving() const { return m_settings.XferMode == TransferSettings::Receive; }
    QString peerAddress() const { return NT->RemoteHostIP(); }

    // The answers to the chooser: what to send (nothing chosen refuses), and where to save (an
    // empty path refuses).
    void send(const QStringList &paths);
    void saveTo(const QString &path);

    // The state as the design names it.
    QString InMsg;
    QString FilePath;
    qint64 FileSize = 0;
    qint64 BytesDone = 0;
    quint8 XferState = ControlMessages;
    // The pieces of the file handed to the socket, each reused once the socket has let go of it,
    // and the block last taken from the socket.
    QList<QByteArray> ChunkBuf;
    QByteArray DataBuf;

    // The connection, the progress tick.
    TcpControl *const NT;
    QTimer *const STM;

signals:
    // A sentence for where the transfer stands ("Connected. Waiting for file ..." and the like).
    void statusChanged(const QString &sentence);
    // BytesDone of FileSize, at most once a tick while bytes move, and once more at the end.
    void progressed(qint64 done, qint64 total);
    // The channel is private, and both ends show `code`; or it goes on in the clear.
    void secured(const QString &code);
    void wentClear();
    void offered(const Offer &offer);
    // Every way a transfer ends comes through here once, finished or failed.
    void ended(const QString &sentence, bool finished);
    // The connection is closed after cancel().
    void cancelled();

private:
    void advance(Stage stage);
    // Lets go of the timers, the files and the buffers; the connection is the caller's.
    void release();
    bool connected() const;

    // Connection
    void NT_Connect();
    void NT_ConnectionRequest(qint32 requestId);
    void connectLimitReached();
    void NT_Lost();

    // Privacy
    void goClear(const QString &words);
    void goPrivate(const QString &code);
    void listenAgain();
    void privacyFailed();

    // Handshake
    void NT_DataArrival(qint32 bytesTotal);
    void dispatch(const QString &text);
    void handleMessage(const QString &message);
    void chooseFile();
    void offerGrew();
    void chooseTarget();
    void refuse(const QString &sentence);

    // Pump: the sending is the pump's, which works on this transfer's state and ends it here.
    friend class FilePump;
    void NT_SendComplete();
    void NT_SourceFailed();

    // Sink
    void receiveBlock(qint32 count);

    // Progress and the end
    void progress();
    void STM_Timer();
    void endWith(const QString &sentence);
    void closeCancelled();

    TransferSettings &m_settings;
    Chooser &m_chooser;
    quint16 m_port;
    TransferTiming m_timing;
    Stage m_stage = Stage::Idle;
    QTimer *m_connectLimit;
    QTimer *m_offerSettle;
    // "CC" is on its way out; the connection closes once it has left, or when this runs out.
    QTimer *m_cancelLimit;
    bool m_cancelling = false;
    // What the last tick reported of a stream being received, to tell a pause from a flow.
    qint64 m_tickBytes = 0;
    PrivacyOpening m_opening;
    VerdictWait m_verdict;
    // A piece of a control message that waits for the rest.
    QString m_unfinished;
    // The offer as collected so far, until "SD" answers it, and what it offers.
    QString m_offer;
    Offer m_offered;
    // The sender waits for its chooser.
    bool m_asked = false;
    FileSource m_source;
    FilePump m_pump{*this};
    FileSink m_target;
    // Tells the local network about us while we listen.
    ServiceAnnouncer m_announcer;
};
