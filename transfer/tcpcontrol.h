#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <QTcpServer>

#include "transfer/peerdialer.h"
#include "transfer/sendqueue.h"
#include "transfer/socketreader.h"
#include "transfer/tlslink.h"

// The transfer window's one TCP socket: a single connection at a time, either made to a peer
// or taken over from a listening port. It starts in the clear and can turn to TLS on the same
// connection. Every call and event runs on the program's one thread.
//
// It owns its descriptor, non-blocking and watched by the event loop, so that each byte crosses
// once: what SendData is given goes to the kernel (or to OpenSSL, which encrypts it into the
// record it writes) as it is, and GetData reads into the caller's own buffer.
class TcpControl : public QObject
{
    Q_OBJECT

public:
    enum SocketState : int { Closed = 0, Listening = 2, Connecting = 6, Connected = 7 };

    // Data left unread beyond this stays in the operating system, so a peer cannot grow our memory.
    static constexpr qint64 ReadBufferSize = SocketReader::ReadBufferSize;

    explicit TcpControl(QObject *parent = nullptr);
    ~TcpControl() override;

    int State() const;

    QString RemoteHost;
    quint16 RemotePort = 0;
    quint16 LocalPort = 0;

    // Connection
    // False when the attempt cannot even start; a later failure comes as Error.
    bool Connect();
    // Listens on every local address, IPv4 and IPv6; false when the port cannot be had, and
    // listenError() then says why.
    bool Listen();
    QAbstractSocket::SocketError listenError() const { return m_listenError; }
    void Close();
    void Accept(qint32 requestId);
    // The peer's address as the socket reports it; an IPv4 peer reached over IPv6 shows as IPv4.
    QString RemoteHostIP() const;

    // Sending
    // A string goes out one byte per character (8-bit), a byte array unchanged and uncopied: it is
    // shared until the operating system has taken the last of it.
    void SendData(const QString &text);
    void SendData(const QByteArray &bytes);
    // `length` bytes of the open file `descriptor` from `offset`, handed to the kernel without
    // passing through this process; only in the clear. SendComplete follows as for SendData, or
    // SourceFailed when the file gives fewer bytes.
    void SendFile(int descriptor, qint64 offset, qint64 length);
    // True once every SendData so far has reached the operating system.
    bool allSent() const { return m_queue.isEmpty(); }
    // Bytes handed over that still wait for the operating system to take them.
    qint64 bytesQueued() const { return m_queue.bytes(); }
    // Bytes the operating system holds that the peer has not acknowledged yet.
    qint64 bytesUnacknowledged() const;
    // Bytes that came and were not taken: they raised their one arrival already.
    qint64 bytesWaiting() { return m_fd >= 0 ? m_in.waiting() : 0; }

    // Receiving
    void GetData(QString &text);
    // Fills `bytes` in place (its capacity is kept) with what waits, up to ReadBufferSize; inside a
    // DataArrival handler, no more than was announced.
    void GetData(QByteArray &bytes);
    // Arrivals are announced once this many bytes wait (or the peer closes), so a fast stream
    // comes in few large blocks rather than many small ones; 1 announces every byte.
    void setArrivalThreshold(qint64 bytes);

    // Privacy
    // TLS from here on, on the connection as it stands, once what was sent in the clear has gone;
    // Secured tells when it holds.
    void StartPrivate(SSL_CTX *context, bool asServer);
    bool isPrivate() const { return m_tls.secured(); }
    // True from StartPrivate on, whether the handshake has finished or not.
    bool privateStarted() const { return m_privateStarted; }
    // The peer's certificate, DER-encoded; empty before the handshake or when it showed none.
    QByteArray peerCertificate() const;

signals:
    void ConnectEvent();
    // The TLS handshake has finished.
    void Secured();
    void ConnectionRequest(qint32 requestId);
    void DataArrival(qint32 bytesTotal);
    void SendComplete();
    // A SendFile's descriptor ended or failed before its length was sent.
    void SourceFailed();
    // The connection failed (also an attempt that failed after Connect returned).
    void Error(const QString &description);
    // The peer closed the connection.
    void CloseEvent();

private:
    // Connection
    void lookedUp(const QList<QHostAddress> &addresses);
    void tryNextAddress();
    void adopt(int descriptor);
    void dropSocket();
    void watch(bool read, bool write);
    void onWritable();
    void onReadable();

    // Sending
    void enqueue(SendQueue::Pending pending);
    void flush();
    void sourceFailed();
    void reportCompletions();

    // Handshake
    void shake();

    // Receiving
    void announce();
    bool arrive(qint64 count);
    void resumeReading();
    void queueAnnounce();
    bool ended() const { return m_in.ended(); }
    void reportEnd();
    void failed(const QString &description);
    void release();

    QPointer<QTcpServer> m_server;
    QHash<qint32, int> m_requests;
    qint32 m_nextRequestId = 1;
    QAbstractSocket::SocketError m_listenError = QAbstractSocket::UnknownSocketError;

    int m_fd = -1;
    int m_state = Closed;
    QString m_peerIp;
    // Each socket dropped counts up, so a handler that closed the connection is noticed after it.
    quint64 m_generation = 0;
    PeerDialer m_dialer;
    int m_lookup = -1;
    QSocketNotifier *m_reader = nullptr;
    QSocketNotifier *m_writer = nullptr;

    // Sends whose last byte the operating system took have their SendComplete still to come: it
    // comes from the event loop, never from inside SendData.
    SendQueue m_queue;
    bool m_reportQueued = false;

    TlsLink m_tls;
    // Outlives the connection, so that its end can still be told from a failed handshake.
    bool m_privateStarted = false;

    SocketReader m_in{m_tls};
    bool m_inArrival = false;
    bool m_readDuringArrival = false;
    bool m_announceQueued = false;
    qint64 m_announced = 0;
    bool m_sourceFailed = false;
    bool m_closeReported = false;
    int m_arrivalThreshold = 1;
};
