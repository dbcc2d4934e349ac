#pragma once

#include "app/desktopnotifier.h"
#include "app/filedialogcontrol.h"
#include "toolkit/form.h"
#include "toolkit/picturebox.h"
#include "transfer/fileoffer.h"
#include "transfer/statustext.h"
#include "transfer/transfer.h"

#include <QLabel>
#include <QPushButton>

#include <memory>

// The window a transfer is shown in, on the sending and the receiving computer alike: its status
// line, its bar and its button, the two file dialogs and the title, and word of the offer and the
// end when the person works elsewhere. The exchange itself is the window's Transfer.
class ProcWin : public Form, private Transfer::Chooser
{
    Q_OBJECT

public:
    // Values of XferState.
    enum : quint8 {
        ControlMessages = Transfer::ControlMessages,
        ReceivingData = Transfer::ReceivingData,
        ReadyForChunk = Transfer::ReadyForChunk,
        ChunkOutstanding = Transfer::ChunkOutstanding
    };
    static constexpr quint16 Port = Transfer::Port;
    static constexpr qint64 PieceSize = Transfer::PieceSize;
    static constexpr qint64 QueueBound = Transfer::QueueBound;
    static constexpr int ClientWidth = 360;
    static constexpr int ClientHeight = 180;

    // The direction and the peer come from `settings` each time they are needed; Done returns
    // to `returnTo`.
    ProcWin(TransferSettings &settings, Form &returnTo, quint16 port = Port,
            std::shared_ptr<FileDialogControl> dialog = {}, TransferTiming timing = {});

    // The exchange this window shows.
    Transfer &transfer() { return m_transfer; }

    qint16 BarDrawn = 0;
    bool BackToMain = false;

    // Controls, present while the window is loaded.
    QPointer<QPushButton> CDBut;
    QPointer<PictureBox> ProcBar;
    QPointer<QLabel> StatBox;
    QPointer<QLabel> StatLab;
    std::shared_ptr<FileDialogControl> DG;

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
    // The two choices, made in the dialogs
    void chooseToSend() override;
    void chooseTarget(const Transfer::Offer &offer) override;
    bool mayMerge(QWidget *self, const QString &folder);

    // What the transfer reports
    void onEnded(const QString &sentence);

    // Attention
    void tellIfAway(const QString &body);
    void comeForward(const QString &token);

    TransferSettings &m_settings;
    Form &m_returnTo;
    Transfer m_transfer;
    // Each load is a new transfer, started once the window is first activated.
    bool m_started = false;
    // Tells a person working elsewhere of the offer and the end; one notification per transfer.
    DesktopNotifier m_notifier;
};
