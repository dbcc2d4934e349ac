#include "transfer/filepump.h"

#include "transfer/statustext.h"
#include "transfer/transfer.h"

#include <limits>

using namespace StatusText;

void FilePump::start()
{
    Transfer &t = m_transfer;
    emit t.statusChanged(SendingFile);
    if (!t.m_source.open(t.FilePath)) {
        t.endWith(CannotRead);
        t.NT->Close();
        return;
    }
    t.XferState = Transfer::ReadyForChunk;
    t.advance(Transfer::Stage::Moving);
    pump();
}

void FilePump::pump()
{
    Transfer &t = m_transfer;
    // TCP's flow control holds the pace to what the link and the receiver take: the socket's
    // queue is topped up to its bound, and each piece that leaves brings us back for more.
    if (t.XferState != Transfer::ReadyForChunk || t.m_stage != Transfer::Stage::Moving)
        return;
    // In the clear the kernel sends a plain file straight from the page cache; a bundle is made as
    // it is read, and under TLS each piece is encrypted from where it was read.
    const int file = t.NT->privateStarted() ? -1 : t.m_source.descriptor();
    const qint64 pieceSize = file >= 0 ? Transfer::FilePieceSize : Transfer::PieceSize;
    const qint64 bound = file >= 0 ? Transfer::FileQueueBound : Transfer::QueueBound;
    for (qint64 length = qMin(pieceSize, t.FileSize - t.BytesDone); length > 0 && t.NT->bytesQueued() + length <= bound;
         length = qMin(pieceSize, t.FileSize - t.BytesDone)) {
        if (file >= 0) {
            t.XferState = Transfer::ChunkOutstanding;
            t.NT->SendFile(file, t.BytesDone, length);
        } else {
            QByteArray &piece = freePiece();
            piece.resize(length);
            if (!readNext(piece))
                return;
            t.XferState = Transfer::ChunkOutstanding;
            t.NT->SendData(piece);
        }
        // A reset the send itself ran into has ended the transfer: the piece never went.
        if (t.m_stage != Transfer::Stage::Moving)
            return;
        t.BytesDone += length;
    }
    if (t.BytesDone == t.FileSize) {
        t.m_source.close();
        // "Finished." waits until the operating system holds every byte: stopping at once
        // must not cut off what is still queued in the socket.
        if (t.NT->allSent())
            return handedOver();
        t.advance(Transfer::Stage::Draining);
    }
    t.progress();
}

QByteArray &FilePump::freePiece()
{
    // The socket shares each piece until the kernel has taken the last of it. One it has let go of
    // is still mapped and warm: reading into a fresh one costs a page fault every 4 KiB. The queue's
    // bound keeps the pieces to a handful for the whole transfer.
    QList<QByteArray> &pieces = m_transfer.ChunkBuf;
    for (QByteArray &piece : pieces)
        if (piece.isDetached())
            return piece;
    pieces.append(QByteArray(Transfer::PieceSize, Qt::Uninitialized));
    return pieces.last();
}

bool FilePump::readNext(QByteArray &buffer)
{
    // Bytes that were not read are never sent: a file that shrank or broke ends the transfer,
    // and closing the connection lets the receiver know.
    if (m_transfer.m_source.read(buffer))
        return true;
    m_transfer.endWith(CannotRead);
    m_transfer.NT->Close();
    return false;
}

void FilePump::handedOver()
{
    Transfer &t = m_transfer;
    // A receiver of the design says nothing more: what the operating system holds is as good as sent.
    if (!t.NT->isPrivate())
        return t.advance(Transfer::Stage::Complete), t.progress();
    // Between two Veltranes "OK" says all of it landed; a receiver that refused part of it closes.
    t.advance(Transfer::Stage::Verdict);
    t.XferState = Transfer::ControlMessages;
    t.m_verdict.start();
    t.progress();
    // Whatever came while the pump ran raised its one arrival then, and stayed unread.
    if (const qint64 waiting = t.NT->bytesWaiting(); waiting > 0)
        t.NT_DataArrival(qint32(qMin<qint64>(waiting, std::numeric_limits<qint32>::max())));
}
