#pragma once

#include <QByteArray>

class Transfer;

// The sender's side once "SD" has come: the file's bytes go to the socket as fast as it takes them,
// and the last of them is handed over. It moves its transfer's own XferState, BytesDone and
// ChunkBuf, which whoever shows the transfer reads, and ends it through the transfer's one end.
class FilePump
{
public:
    explicit FilePump(Transfer &transfer)
        : m_transfer(transfer)
    {
    }

    // Opens what was offered and sends the first pieces.
    void start();
    // Tops the socket's queue up again.
    void pump();
    // The operating system holds every byte.
    void handedOver();

private:
    QByteArray &freePiece();
    bool readNext(QByteArray &buffer);

    Transfer &m_transfer;
};
