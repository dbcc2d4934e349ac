#pragma once

#include "toolkit/form.h"
#include "toolkit/picturebox.h"
#include "transfer/desktopnotifier.h"
#include "transfer/fileoffer.h"
#include "transfer/filedialogcontrol.h"
#include "transfer/filesink.h"
#include "transfer/filesource.h"
#include "transfer/privatechannel.h"
#include "transfer/serviceannouncer.h"
#include "transfer/statustext.h"
#include "transfer/tcpcontrol.h"
#include "transfer/transfersettings.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <memory>
#include <optional>

// How long the window waits on the network. The program always uses these values; tests pass
// shorter ones.
struct TransferTiming {
    // Quiet time after which a file offer that holds its size is taken as complete.
    int offerSettleMs = 100;
    // A connection attempt with no answer by then is abandoned.
    int connectLimitMs = 21000;
    // A receiver that has not answered the probe by then is served in the clear.
    int clearFallbackMs = 2000;
    // The private channel must stand this long after the probe, or the transfer ends.
    int privateLimitMs = 10000;
};

// The window a transfer runs in, on the sending and the receiving computer alike. The exchange:
//   receiver listens on port 1001, accepts one peer and sends "OK"; sender connects and sends "RC";
//   between two Veltranes the sender first sends its probe, the receiver answers "TL", and after
//   TLS the receiver's "OK" and the sender's "RC" start everything over, inside it; a receiver
//   that does not answer within 2 s gets "RC" in the clear;
//   on "OK" the sender picks a file and offers it: "FN" + name + "\" + " " + size, no framing;
//   on the offer the receiver picks where to save it and answers "SD", or "CC" to refuse;
//   on "SD" the sender's pump sends the raw bytes as fast as the socket takes them;
//   the receiver writes every block until the announced size has arrived; nobody sends more.
// Both sides show their progress at most once per display tick.
//   Either side may send "CC" instead of going on; the connection stays open until Done.
class ProcWin : public Form
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
    // A block this large means the receiver's bytes come faster than it takes them.
    static constexpr qint64 StreamingBlock = 16 * 1024;
    // The display runs at most once per tick while bytes move.
    static constexpr int TickMs = 10;
    // Longer than any name and size; the 16-bit scan of an offer reaches no further.
    static constexpr qsizetype MaxOfferLength = 32767;
    // What a sender keeps of a receiver's words in the clear while it waits for "TL".
    static constexpr qsizetype MaxPreamble = 4096;
    static constexpr int ClientWidth = 360;
    static constexpr int ClientHeight = 180;

    // The direction and the peer come from `settings` each time they are needed; Done returns
    // to `returnTo`.
    ProcWin(TransferSettings &settings, Form &returnTo, quint16 port = Port,
            std::shared_ptr<FileDialogControl> dialog = {}, TransferTiming timing = {});

    // The pieces of the file handed to the socket, each reused once the socket has let go of it,
    // and the block last taken from the socket.
    QList<QByteArray> ChunkBuf;
    QByteArray DataBuf;
    QString InMsg;
    QString FilePath;
    qint64 FileSize = 0;
    qint64 BytesDone = 0;
    qint16 BarDrawn = 0;
    quint8 XferState = ControlMessages;
    bool BackToMain = false;

    // Controls, present while the window is loaded.
    QPointer<TcpControl> NT;
    QPointer<QTimer> STM;
    QPointer<QPushButton> CDBut;
    QPointer<PictureBox> ProcBar;
    QPointer<QLabel> StatBox;
    QPointer<QLabel> StatLab;
    std::shared_ptr<FileDialogControl> DG;

    // Reaching the socket from outside loads the window, as touching any control does.
    TcpControl &socket();

    static FoundName GetFN(const QString &text, quint8 mode) { return FileOffer::GetFN(text, mode); }
    // Shows BytesDone of FileSize in the status line and the bar; the end is shown by its caller.
    void DrawProcess();
    // A byte count as kilobytes with at most one decimal, ties to even, in the user's notation.
    static QString K(qint64 bytes) { return StatusText::kilobytes(bytes); }

    void CDBut_Click();

protected:
    void createControls(QWidget *window) override;
    void onLoad() override;
    void onActivate() override;
    void onResize() override;
    void onUnload() override;

private:
    // How far this window's transfer has come, alongside XferState; it only moves forward.
    enum class Stage : quint8 {
        Loaded,    // nothing started yet
        Opening,   // connecting or listening
        Securing,  // connected: the probe, its answer and TLS decide whether it is private
        Connected, // control messages flow
        Offered,   // sender: our offer awaits "SD" or "CC"; receiver: an offer is being collected
        Choosing,  // receiver: the save dialog is open
        Moving,    // file bytes flow
        Draining,  // sender: every piece is handed over, some still wait in the socket
        Verdict,   // sender, private: the operating system has every byte; the receiver's word decides
        Complete,  // every byte is sent or written; the display tick shows the end
        Ended,     // finished or failed: nothing more is taken
    };
    void advance(Stage stage);

    // Connection
    void NT_Connect();
    void NT_ConnectionRequest(qint32 requestId);
    void connectLimitReached();
    void NT_Lost();

    // Privacy
    void awaitAnswer();
    void awaitProbe(const QString &held, const QString &read);
    void clearFallbackReached();
    void privateLimitReached();
    void listenAgain();
    void goClear();
    void startPrivate(bool asServer);
    void NT_Secured();
    void privacyFailed();

    // Handshake
    void NT_DataArrival(qint32 bytesTotal);
    void dispatch(const QString &text);
    void handleMessage(const QString &message);
    void chooseFile();
    void offerBundle(const QStringList &chosen);
    void offerGrew();
    void chooseTarget();
    bool openFolder(QWidget *self, const QString &name);
    bool stillRunning(const QPointer<QWidget> &window) const;
    void refuse(const QString &sentence);
    bool receiving() const;

    // Pump
    void startSending();
    void pump();
    QByteArray &freePiece();
    bool readNext(QByteArray &buffer);
    void NT_SendComplete();
    void handedOver();
    void verdictOverdue();
    void NT_SourceFailed();

    // Sink
    void receiveBlock(qint32 count);

    // Progress
    void progressed();
    void STM_Timer();

    // The end, finished or failed
    void endWith(const QString &sentence);

    // Attention
    void tellIfAway(const QString &body);
    void comeForward(const QString &token);

    TransferSettings &m_settings;
    Form &m_returnTo;
    quint16 m_port;
    TransferTiming m_timing;
    Stage m_stage = Stage::Loaded;
    QPointer<QTimer> m_connectLimit;
    QPointer<QTimer> m_clearFallback;
    QPointer<QTimer> m_privateLimit;
    QPointer<QTimer> m_verdictWait;
    // The receiver has had every byte since the verdict wait last started.
    bool m_acknowledged = false;
    // What the display showed last of a stream being received, to tell a pause from a flow.
    qint64 m_tickBytes = 0;
    // Made anew for each transfer that may go private.
    std::optional<PrivateChannel> m_private;
    // A piece of a control message that waits for the rest.
    QString m_unfinished;
    // The offer as collected so far, until "SD" answers it.
    QString m_offer;
    QPointer<QTimer> m_offerSettle;
    FileSource m_source;
    FileSink m_target;
    // Tells the local network about us while we listen.
    ServiceAnnouncer m_announcer;
    // Tells a person working elsewhere of the offer and the end; one notification per transfer.
    DesktopNotifier m_notifier;
};
