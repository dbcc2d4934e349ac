#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QString>
#include <QTcpServer>
#include <QVector>

// The transfer window's one TCP socket: a single connection at a time, either made to a peer
// or taken over from a listening port. It starts in the clear and can turn to TLS on the same
// connection. Every call and event runs on the program's one thread.
class TcpControl : public QObject
{
    Q_OBJECT

public:
    enum SocketState : int { Closed = 0, Listening = 2, Connecting = 6, Connected = 7 };

    // Data left unread beyond this stays in the operating system, so a peer cannot grow our memory.
    static constexpr qint64 ReadBufferSize = 256 * 1024;

    explicit TcpControl(QObject *parent = nullptr);
    ~TcpControl() override;

    int State() const;

    QString RemoteHost;
    quint16 RemotePort = 0;
    quint16 LocalPort = 0;

    // False when the attempt cannot even start; a later failure comes as Error.
    bool Connect();
    // Listens on every local address, IPv4 and IPv6; false when the port cannot be had, and
    // listenError() then says why.
    bool Listen();
    QAbstractSocket::SocketError listenError() const { return m_listenError; }
    void Close();
    void Accept(qint32 requestId);

    // A string goes out one byte per character (8-bit), a byte array unchanged.
    void SendData(const QString &text);
    void SendData(const QByteArray &bytes);
    void GetData(QString &text);
    void GetData(QByteArray &bytes);
    // Arrivals are announced once this many bytes wait (or the peer closes), so a fast stream
    // comes in few large blocks rather than many small ones; 1 announces every byte.
    void setArrivalThreshold(qint64 bytes);
    // The peer's address as the socket reports it; an IPv4 peer reached over IPv6 shows as IPv4.
    QString RemoteHostIP() const;
    // True once every SendData so far has reached the operating system.
    bool allSent() const { return m_unsent.isEmpty() && m_sealed.isEmpty(); }
    // Bytes handed over by SendData that still wait for the operating system to take them,
    // encrypted or not yet.
    qint64 bytesQueued() const { return m_socket ? m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() : 0; }
    // Bytes the operating system holds that the peer has not acknowledged yet.
    qint64 bytesUnacknowledged() const;
    // Bytes that came and were not taken: they raised their one arrival already.
    qint64 bytesWaiting() const { return m_socket ? m_socket->bytesAvailable() : 0; }

    // TLS from here on, on the connection as it stands; Secured tells when it holds.
    void StartPrivate(const QSslConfiguration &configuration, bool asServer);
    bool isPrivate() const { return m_socket && m_socket->isEncrypted(); }
    // True from StartPrivate on, whether the handshake has finished or not.
    bool privateStarted() const { return m_socket && m_socket->mode() != QSslSocket::UnencryptedMode; }
    QSslCertificate peerCertificate() const { return m_socket ? m_socket->peerCertificate() : QSslCertificate(); }

signals:
    void ConnectEvent();
    // The TLS handshake has finished.
    void Secured();
    void ConnectionRequest(qint32 requestId);
    void DataArrival(qint32 bytesTotal);
    void SendComplete();
    // The connection failed (also an attempt that failed after Connect returned).
    void Error(const QString &description);
    // The peer closed the connection.
    void CloseEvent();

private:
    void adopt(QSslSocket *socket);
    void dropSocket();
    void onReadyRead();
    void announceArrival();
    void onBytesWritten(qint64 bytes);
    void onEncryptedBytesWritten(qint64 bytes);
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void onNewConnection();

    QPointer<QTcpServer> m_server;
    QPointer<QSslSocket> m_socket;
    QHash<qint32, QSslSocket *> m_requests;
    qint32 m_nextRequestId = 1;
    QAbstractSocket::SocketError m_listenError = QAbstractSocket::UnknownSocketError;
    // Sizes of the SendData calls whose bytes the operating system has not all taken yet.
    QVector<qint64> m_unsent;
    qint64 m_writtenOfFirst = 0;
    // Under TLS a SendData is encrypted first and reaches the operating system later: each one
    // encrypted waits here for the count of encrypted bytes written that covers it (0 until known).
    QVector<qint64> m_sealed;
    qint64 m_encryptedWritten = 0;
    bool m_inArrival = false;
    bool m_readDuringArrival = false;
    bool m_arrivalQueued = false;
    bool m_closeReported = false;
    int m_arrivalThreshold = 1;
};
