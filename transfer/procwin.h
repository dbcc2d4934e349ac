#pragma once

#include "toolkit/form.h"
#include "toolkit/picturebox.h"
#include "transfer/fileoffer.h"
#include "transfer/filedialogcontrol.h"
#include "transfer/tcpcontrol.h"
#include "transfer/transfersettings.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <memory>

// How long the window waits on the network. The program always uses these values; tests pass
// shorter ones.
struct TransferTiming {
    // Quiet time after which a file offer that holds its size is taken as complete.
    int offerSettleMs = 100;
    // A connection attempt with no answer by then is abandoned.
    int connectLimitMs = 21000;
};

// The window a transfer runs in, on the sending and the receiving computer alike.
class ProcWin : public Form
{
    Q_OBJECT

public:
    // Values of XferState.
    enum : quint8 { ControlMessages = 0, ReceivingData = 1, ReadyForChunk = 2, ChunkOutstanding = 3 };

    static constexpr quint16 Port = 1001;
    static constexpr qint32 ChunkSize = 4096;
    static constexpr int TickMs = 10;
    // Longer than any name and size; the 16-bit scan of an offer reaches no further.
    static constexpr qsizetype MaxOfferLength = 32767;
    static constexpr int ClientWidth = 360;
    static constexpr int ClientHeight = 180;

    // The direction and the peer come from `settings` each time they are needed; Done returns
    // to `returnTo`.
    ProcWin(TransferSettings &settings, Form &returnTo, quint16 port = Port,
            std::shared_ptr<FileDialogControl> dialog = {}, TransferTiming timing = {});

    QByteArray ChunkBuf = QByteArray(ChunkSize, '\0');
    QByteArray DataBuf;
    QString InMsg;
    QString FilePath;
    qint32 FileSize = 0;
    qint32 BytesDone = 0;
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
    void DrawProcess();
    // A byte count as kilobytes with at most one decimal, ties to even, in the user's notation.
    static QString K(qint32 bytes);

    void CDBut_Click();

protected:
    void createControls(QWidget *window) override;
    void onLoad() override;
    void onActivate() override;
    void onResize() override;
    void onUnload() override;

private:
    void NT_Connect();
    void NT_ConnectionRequest(qint32 requestId);
    void NT_DataArrival(qint32 bytesTotal);
    void NT_SendComplete();
    void NT_Lost();
    void STM_Timer();
    void connectLimitReached();

    void dispatch(const QString &text);
    void handleMessage(const QString &message);
    void offerGrew();
    void chooseFile();
    void chooseTarget();
    void startSending();
    void receiveBlock(qint32 count);
    void showChunkSent();
    void paintBar(qint16 percent);
    bool readNext(QByteArray &buffer, qint32 count);
    void refuse(const char *sentence);
    void endWith(const QString &sentence);
    bool stillRunning(const QPointer<QWidget> &window) const;

    TransferSettings &m_settings;
    Form &m_returnTo;
    quint16 m_port;
    TransferTiming m_timing;
    QPointer<QTimer> m_connectLimit;
    QFile m_source;
    QFile m_target;
    QPointer<QTimer> m_offerSettle;
    // A piece of a control message that waits for the rest.
    QString m_unfinished;
    // The offer as collected so far, until "SD" answers it.
    QString m_offer;
    bool m_choosingTarget = false;
    bool m_started = false;
    bool m_connected = false;
    bool m_offerSent = false;
    bool m_ended = false;
    bool m_finishPending = false;
};
