#include "transfer/tcpcontrol.h"

#include <QTimer>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Hands over each peer on a socket that can turn to TLS later; it starts in the clear.
class PeerServer : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            return addPendingConnection(socket);
        delete socket;
        ::close(int(descriptor));
    }
};
}

TcpControl::TcpControl(QObject *parent)
    : QObject(parent)
{
}

TcpControl::~TcpControl()
{
    Close();
}

int TcpControl::State() const
{
    if (m_socket) {
        switch (m_socket->state()) {
        case QAbstractSocket::ConnectedState:
            return Connected;
        case QAbstractSocket::UnconnectedState:
            return Closed;
        default:
            return Connecting;
        }
    }
    if (m_server && m_server->isListening())
        return Listening;
    return Closed;
}

bool TcpControl::Connect()
{
    if (State() != Closed)
        return false;
    auto *socket = new QSslSocket(this);
    adopt(socket);
    // Refused, unreachable or unknown hosts are all reported later, through Error.
    socket->connectToHost(RemoteHost, RemotePort);
    return true;
}

bool TcpControl::Listen()
{
    if (State() != Closed)
        return false;
    m_server = new PeerServer(this);
    connect(m_server, &QTcpServer::newConnection, this, &TcpControl::onNewConnection);
    if (!m_server->listen(QHostAddress::Any, LocalPort)) {
        m_listenError = m_server->serverError();
        delete m_server;
        return false;
    }
    return true;
}

void TcpControl::Close()
{
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    dropSocket();
}

void TcpControl::Accept(qint32 requestId)
{
    QSslSocket *socket = m_requests.take(requestId);
    if (!socket)
        return;
    dropSocket();
    // One peer only: the port closes, and every other waiting request is turned away.
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    for (QSslSocket *other : std::as_const(m_requests)) {
        other->abort();
        other->deleteLater();
    }
    m_requests.clear();
    adopt(socket);
    if (socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &TcpControl::onReadyRead);
}

void TcpControl::SendData(const QString &text)
{
    SendData(text.toLatin1());
}

void TcpControl::SendData(const QByteArray &bytes)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState || bytes.isEmpty())
        return;
    m_unsent.append(bytes.size());
    // Shared, not copied: the socket holds on to the caller's bytes until they have gone out.
    m_socket->write(bytes);
}

void TcpControl::StartPrivate(const QSslConfiguration &configuration, bool asServer)
{
    if (!m_socket || privateStarted())
        return;
    // What was written in the clear is reported by the operating system's count from now on.
    for (qsizetype i = 0; i < m_unsent.size(); ++i)
        m_sealed.append(0);
    m_unsent.clear();
    m_writtenOfFirst = 0;
    m_socket->setSslConfiguration(configuration);
    asServer ? m_socket->startServerEncryption() : m_socket->startClientEncryption();
}

void TcpControl::GetData(QString &text)
{
    QByteArray bytes;
    GetData(bytes);
    text = QString::fromLatin1(bytes);
}

void TcpControl::GetData(QByteArray &bytes)
{
    if (m_inArrival)
        m_readDuringArrival = true;
    if (!m_socket) {
        bytes.clear();
        return;
    }
    // Taken whole, the socket hands over its own buffer instead of a copy.
    bytes = m_socket->read(m_socket->bytesAvailable());
}

qint64 TcpControl::bytesUnacknowledged() const
{
    int unacknowledged = 0;
    if (!m_socket || ioctl(int(m_socket->socketDescriptor()), SIOCOUTQ, &unacknowledged) < 0)
        return 0;
    return unacknowledged;
}

void TcpControl::setArrivalThreshold(qint64 bytes)
{
    if (!m_socket)
        return;
    // Qt offers no option for it; the kernel then wakes us only when the threshold is met.
    const int threshold = int(qBound<qint64>(1, bytes, ReadBufferSize / 2));
    if (threshold != m_arrivalThreshold
        && setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_RCVLOWAT, &threshold, sizeof threshold) == 0)
        m_arrivalThreshold = threshold;
}

QString TcpControl::RemoteHostIP() const
{
    if (!m_socket)
        return {};
    const QHostAddress peer = m_socket->peerAddress();
    bool mapped = false;
    const quint32 ipv4 = peer.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4).toString() : peer.toString();
}

void TcpControl::adopt(QSslSocket *socket)
{
    m_socket = socket;
    socket->setParent(this);
    socket->setReadBufferSize(ReadBufferSize);
    m_unsent.clear();
    m_writtenOfFirst = 0;
    m_sealed.clear();
    m_encryptedWritten = 0;
    m_arrivalQueued = false;
    m_closeReported = false;
    m_arrivalThreshold = 1;
    connect(socket, &QTcpSocket::connected, this, &TcpControl::ConnectEvent);
    connect(socket, &QTcpSocket::readyRead, this, &TcpControl::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &TcpControl::onBytesWritten);
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &TcpControl::onEncryptedBytesWritten);
    connect(socket, &QSslSocket::encrypted, this, &TcpControl::Secured);
    connect(socket, &QTcpSocket::disconnected, this, &TcpControl::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &TcpControl::onError);
}

void TcpControl::dropSocket()
{
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    m_unsent.clear();
    m_sealed.clear();
}

void TcpControl::onReadyRead()
{
    // Under TLS every 4 KiB decrypted is announced on its own while the socket works through what
    // came: they make one arrival once it is done.
    if (isPrivate()) {
        if (!m_arrivalQueued)
            m_arrivalQueued = QMetaObject::invokeMethod(this, &TcpControl::announceArrival, Qt::QueuedConnection);
        return;
    }
    announceArrival();
}

void TcpControl::announceArrival()
{
    m_arrivalQueued = false;
    if (!m_socket || m_inArrival)
        return;
    const qint64 waiting = m_socket->bytesAvailable();
    if (waiting <= 0)
        return;
    m_inArrival = true;
    m_readDuringArrival = false;
    emit DataArrival(qint32(qMin<qint64>(waiting, std::numeric_limits<qint32>::max())));
    m_inArrival = false;
    // Data that came while the handler ran (a modal dialog, say) raised no event of its own.
    if (m_readDuringArrival && m_socket && m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &TcpControl::onReadyRead);
}

void TcpControl::onBytesWritten(qint64 bytes)
{
    m_writtenOfFirst += bytes;
    while (!m_unsent.isEmpty() && m_writtenOfFirst >= m_unsent.first()) {
        m_writtenOfFirst -= m_unsent.takeFirst();
        // Encrypted, not yet sent: its bytes reach the operating system with the next writes.
        if (privateStarted()) {
            m_sealed.append(0);
            continue;
        }
        emit SendComplete();
        if (!m_socket)
            return;
    }
}

void TcpControl::onEncryptedBytesWritten(qint64 bytes)
{
    m_encryptedWritten += bytes;
    // Whatever was encrypted by now is covered once every encrypted byte made so far is written.
    const qint64 made = m_encryptedWritten + m_socket->encryptedBytesToWrite();
    for (qint64 &mark : m_sealed)
        if (mark == 0)
            mark = made;
    while (m_socket && !m_sealed.isEmpty() && m_sealed.first() <= m_encryptedWritten) {
        m_sealed.removeFirst();
        emit SendComplete();
    }
}

void TcpControl::onDisconnected()
{
    // Bytes that came with the close are still delivered before it is reported.
    if (m_socket && m_socket->bytesAvailable() > 0 && !m_inArrival)
        announceArrival();
    if (!m_socket || m_closeReported)
        return;
    m_closeReported = true;
    emit CloseEvent();
}

void TcpControl::onError(QAbstractSocket::SocketError error)
{
    if (!m_socket)
        return;
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    if (m_closeReported)
        return;
    m_closeReported = true;
    emit Error(m_socket->errorString());
}

void TcpControl::onNewConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        auto *socket = static_cast<QSslSocket *>(m_server->nextPendingConnection());
        socket->setParent(this);
        const qint32 id = m_nextRequestId++;
        m_requests.insert(id, socket);
        emit ConnectionRequest(id);
    }
}
