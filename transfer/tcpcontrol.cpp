#include "transfer/tcpcontrol.h"

#include <QHostInfo>
#include <QTimer>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>

namespace {
// Hands over each peer's descriptor as the kernel gave it; the connection is ours to run.
class PeerServer : public QTcpServer
{
public:
    explicit PeerServer(std::function<void(int)> taken, QObject *parent) : QTcpServer(parent), m_taken(std::move(taken)) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_taken(int(descriptor)); }

private:
    std::function<void(int)> m_taken;
};

bool toSocketAddress(const QHostAddress &address, quint16 port, sockaddr_storage &storage, socklen_t &length)
{
    storage = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in;
        return true;
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        // A link-local address names its interface, by name or by number.
        const QString scope = address.scopeId();
        bool numeric = false;
        const uint index = scope.toUInt(&numeric);
        in6->sin6_scope_id = numeric ? index : scope.isEmpty() ? 0 : if_nametoindex(scope.toLocal8Bit().constData());
        length = sizeof *in6;
        return true;
    }
    return false;
}

QString peerAddressOf(int fd)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return {};
    const QHostAddress peer(reinterpret_cast<const sockaddr *>(&storage));
    bool mapped = false;
    const quint32 ipv4 = peer.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4).toString() : peer.toString();
}

// A TLS record with its header and tag, and the most OpenSSL reads ahead of the records it opened.
constexpr qint64 TlsRecordRoom = 16 * 1024 + 256;
constexpr qint64 TlsReadAhead = 64 * 1024;

bool isCloseError(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ESHUTDOWN;
}

// Writing to a connection the peer has reset raises SIGPIPE, which would end the program: send()
// is told not to, and sendfile(), which cannot be, runs with the signal held back and taken after.
class QuietPipe
{
public:
    QuietPipe()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~QuietPipe()
    {
        const int saved = errno;
        sigset_t pending;
        sigpending(&pending);
        const timespec now{};
        if (!m_wasPending && sigismember(&pending, SIGPIPE))
            sigtimedwait(&m_pipe, nullptr, &now);
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
        errno = saved;
    }

private:
    sigset_t m_pipe, m_old;
    bool m_wasPending = false;
};

// OpenSSL's socket BIO writes with write(); this one sends with MSG_NOSIGNAL, and is otherwise the
// socket BIO itself.
int sendQuietly(BIO *bio, const char *data, int length)
{
    int fd = -1;
    BIO_get_fd(bio, &fd);
    const ssize_t sent = ::send(fd, data, size_t(length), MSG_NOSIGNAL);
    BIO_clear_retry_flags(bio);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return int(sent);
}

BIO *quietSocket(int fd)
{
    static BIO_METHOD *const method = [] {
        const BIO_METHOD *socket = BIO_s_socket();
        BIO_METHOD *quiet = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
        if (quiet
            && !(BIO_meth_set_write(quiet, sendQuietly) && BIO_meth_set_read(quiet, BIO_meth_get_read(socket))
                 && BIO_meth_set_puts(quiet, BIO_meth_get_puts(socket)) && BIO_meth_set_ctrl(quiet, BIO_meth_get_ctrl(socket))
                 && BIO_meth_set_create(quiet, BIO_meth_get_create(socket))
                 && BIO_meth_set_destroy(quiet, BIO_meth_get_destroy(socket)))) {
            BIO_meth_free(quiet);
            quiet = nullptr;
        }
        return quiet;
    }();
    BIO *bio = method ? BIO_new(method) : nullptr;
    if (bio)
        BIO_set_fd(bio, fd, BIO_NOCLOSE);
    return bio;
}

QString tlsErrorText()
{
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (error == 0)
        return QStringLiteral("The TLS connection failed");
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return QString::fromLatin1(text);
}

// What OpenSSL's answer to a call means for the connection.
enum class Tls { Progress, Wait, End, Failure };
Tls judge(SSL *ssl, int result)
{
    if (result > 0)
        return Tls::Progress;
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return Tls::Wait;
    case SSL_ERROR_ZERO_RETURN:
        return Tls::End;
    case SSL_ERROR_SYSCALL:
        // The descriptor ended without a close_notify, or was reset: the peer has gone.
        return errno == 0 || isCloseError(errno) ? Tls::End : Tls::Failure;
    case SSL_ERROR_SSL:
        // A peer that closes in the middle of a record has closed all the same.
        if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            ERR_clear_error();
            return Tls::End;
        }
        return Tls::Failure;
    default:
        return Tls::Failure;
    }
}
}

TcpControl::TcpControl(QObject *parent)
    : QObject(parent)
{
}

TcpControl::~TcpControl()
{
    Close();
    for (const int fd : std::as_const(m_requests))
        ::close(fd);
}

int TcpControl::State() const
{
    if (m_state != Closed)
        return m_state;
    if (m_server && m_server->isListening())
        return Listening;
    return Closed;
}

// Connection

bool TcpControl::Connect()
{
    if (State() != Closed)
        return false;
    dropSocket();
    m_state = Connecting;
    // A typed address needs no lookup; either way the attempt begins from the event loop, so that
    // a failure comes as Error after Connect has returned, as a later one would.
    QHostAddress typed;
    if (typed.setAddress(RemoteHost)) {
        const quint64 generation = m_generation;
        QTimer::singleShot(0, this, [this, typed, generation] {
            if (generation == m_generation)
                lookedUp({typed});
        });
        return true;
    }
    m_lookup = QHostInfo::lookupHost(RemoteHost, this, [this](const QHostInfo &info) {
        m_lookup = -1;
        if (info.error() != QHostInfo::NoError)
            return failed(info.errorString());
        lookedUp(info.addresses());
    });
    return true;
}

void TcpControl::lookedUp(const QList<QHostAddress> &addresses)
{
    if (m_state != Connecting || m_fd >= 0)
        return;
    m_addresses = addresses;
    if (m_addresses.isEmpty())
        return failed(QStringLiteral("Host not found"));
    tryNextAddress();
}

void TcpControl::tryNextAddress()
{
    int error = EHOSTUNREACH;
    while (!m_addresses.isEmpty()) {
        sockaddr_storage storage;
        socklen_t length = 0;
        if (!toSocketAddress(m_addresses.takeFirst(), RemotePort, storage, length))
            continue;
        const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&storage), length) == 0 || errno == EINPROGRESS) {
            adopt(fd);
            // The attempt is over when the socket turns writable; SO_ERROR then says how it went.
            watch(false, true);
            return;
        }
        error = errno;
        ::close(fd);
    }
    failed(QString::fromLocal8Bit(std::strerror(error)));
}

bool TcpControl::Listen()
{
    if (State() != Closed)
        return false;
    m_server = new PeerServer(
        [this](int fd) {
            const qint32 id = m_nextRequestId++;
            m_requests.insert(id, fd);
            emit ConnectionRequest(id);
        },
        this);
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
    if (!m_requests.contains(requestId))
        return;
    const int fd = m_requests.take(requestId);
    dropSocket();
    // One peer only: the port closes, and every other waiting request is turned away.
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    for (const int other : std::as_const(m_requests))
        ::close(other);
    m_requests.clear();
    adopt(fd);
    m_state = Connected;
    watch(true, false);
}

QString TcpControl::RemoteHostIP() const
{
    return m_peerIp;
}

void TcpControl::adopt(int descriptor)
{
    m_fd = descriptor;
    m_privateStarted = false;
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    m_peerIp = peerAddressOf(descriptor);
    m_reader = new QSocketNotifier(qintptr(descriptor), QSocketNotifier::Read, this);
    m_writer = new QSocketNotifier(qintptr(descriptor), QSocketNotifier::Write, this);
    m_reader->setEnabled(false);
    m_writer->setEnabled(false);
    connect(m_reader, &QSocketNotifier::activated, this, &TcpControl::onReadable);
    connect(m_writer, &QSocketNotifier::activated, this, &TcpControl::onWritable);
}

void TcpControl::dropSocket()
{
    ++m_generation;
    if (m_lookup >= 0)
        QHostInfo::abortHostLookup(m_lookup);
    m_lookup = -1;
    m_addresses.clear();
    // The notifiers may be the very ones whose signal is being handled.
    for (QSocketNotifier *notifier : {m_reader, m_writer})
        if (notifier) {
            notifier->setEnabled(false);
            notifier->disconnect(this);
            notifier->deleteLater();
        }
    m_reader = m_writer = nullptr;
    if (m_ssl)
        SSL_free(m_ssl);
    m_ssl = nullptr;
    m_secured = false;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_state = Closed;
    for (const Pending &pending : std::as_const(m_queue))
        if (pending.file >= 0)
            ::close(pending.file);
    m_queue.clear();
    m_queuedBytes = 0;
    m_completed = 0;
    m_held.clear();
    m_inArrival = false;
    m_endOfStream = false;
    m_readError.clear();
    m_sourceFailed = false;
    m_closeReported = false;
    m_arrivalThreshold = 1;
}

void TcpControl::watch(bool read, bool write)
{
    if (m_reader)
        m_reader->setEnabled(read);
    if (m_writer)
        m_writer->setEnabled(write);
}

void TcpControl::onWritable()
{
    if (m_state == Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0) {
            // The next address may answer where this one did not.
            const QList<QHostAddress> rest = std::exchange(m_addresses, {});
            dropSocket();
            m_state = Connecting;
            m_addresses = rest;
            if (m_addresses.isEmpty())
                return failed(QString::fromLocal8Bit(std::strerror(error)));
            return tryNextAddress();
        }
        m_state = Connected;
        m_peerIp = peerAddressOf(m_fd);
        watch(true, false);
        emit ConnectEvent();
        return;
    }
    flush();
}

void TcpControl::onReadable()
{
    if (m_state != Connected)
        return;
    if (m_ssl && !m_secured)
        return shake();
    // A handler still at work (in a dialog, say) is not told again; what comes meanwhile is held,
    // and a close behind it is reported at once.
    if (m_inArrival) {
        hold();
        if (ended())
            reportEnd();
        return;
    }
    announce();
}

// Sending

void TcpControl::SendData(const QString &text)
{
    SendData(text.toLatin1());
}

void TcpControl::SendData(const QByteArray &bytes)
{
    if (m_state != Connected || bytes.isEmpty())
        return;
    enqueue({bytes, -1, 0, bytes.size(), 0, false});
}

void TcpControl::SendFile(int descriptor, qint64 offset, qint64 length)
{
    if (m_state != Connected || length <= 0 || descriptor < 0 || m_ssl)
        return;
    // A descriptor of our own: the caller may close its file while the kernel still sends from it,
    // and its number may be reused by then.
    const int file = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (file < 0) {
        m_sourceFailed = true;
        const quint64 generation = m_generation;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation)
                emit SourceFailed();
        });
        return;
    }
    enqueue({{}, file, offset, length, 0, false});
}

void TcpControl::enqueue(Pending pending)
{
    m_queuedBytes += pending.length;
    m_queue.append(std::move(pending));
    // Straight to the kernel when it has room; what it does not take waits for the write notifier.
    if (m_queue.size() == 1)
        flush();
}

void TcpControl::flush()
{
    if (m_fd < 0 || m_state != Connected)
        return;
    while (!m_queue.isEmpty()) {
        Pending &pending = m_queue.first();
        // Under TLS nothing but what was said in the clear goes before the handshake is through.
        if (m_ssl && !m_secured && !pending.clear)
            break;
        const qint64 written = writeSome(pending);
        if (written < 0)
            return;
        if (written == 0)
            break;
        pending.done += written;
        m_queuedBytes -= written;
        if (pending.done == pending.length) {
            if (pending.file >= 0)
                ::close(pending.file);
            m_queue.removeFirst();
            ++m_completed;
        }
    }
    const bool shaking = m_ssl && !m_secured && (m_queue.isEmpty() || !m_queue.first().clear);
    if (m_writer)
        m_writer->setEnabled(!m_queue.isEmpty() && !shaking);
    if (m_completed > 0 && !m_reportQueued)
        m_reportQueued = QMetaObject::invokeMethod(this, &TcpControl::reportCompletions, Qt::QueuedConnection);
    if (shaking)
        shake();
}

// The bytes the kernel took now: 0 when it has no room, -1 when the connection or the file failed
// (reported or about to be).
qint64 TcpControl::writeSome(Pending &pending)
{
    const qint64 left = pending.length - pending.done;
    for (;;) {
        ERR_clear_error();
        ssize_t written;
        if (pending.file >= 0) {
            off_t offset = off_t(pending.offset + pending.done);
            const QuietPipe quiet;
            written = ::sendfile(m_fd, pending.file, &offset, size_t(qMin<qint64>(left, 1 << 30)));
        } else if (m_ssl && !pending.clear) {
            // The piece as it is: a partial write takes whole records and the rest goes next time,
            // from wherever the caller's bytes now are.
            const int result = SSL_write(m_ssl, pending.bytes.constData() + pending.done, int(left));
            switch (judge(m_ssl, result)) {
            case Tls::Progress:
                return result;
            case Tls::Wait:
                if (m_writer)
                    m_writer->setEnabled(true);
                return 0;
            case Tls::End:
                m_endOfStream = true;
                reportEnd();
                return -1;
            case Tls::Failure:
                failed(tlsErrorText());
                return -1;
            }
            return -1;
        } else {
            written = ::send(m_fd, pending.bytes.constData() + pending.done, size_t(left), MSG_NOSIGNAL);
        }
        if (written > 0)
            return written;
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (m_writer)
                m_writer->setEnabled(true);
            return 0;
        }
        if (written < 0 && isCloseError(errno)) {
            m_endOfStream = true;
            reportEnd();
            return -1;
        }
        if (written < 0 && pending.file < 0) {
            failed(QString::fromLocal8Bit(std::strerror(errno)));
            return -1;
        }
        // The file ended early or could not be read: nothing more of it goes, and nothing after it.
        if (!m_sourceFailed) {
            m_sourceFailed = true;
            const quint64 generation = m_generation;
            QTimer::singleShot(0, this, [this, generation] {
                if (generation == m_generation)
                    emit SourceFailed();
            });
        }
        if (m_writer)
            m_writer->setEnabled(false);
        return -1;
    }
}

void TcpControl::reportCompletions()
{
    m_reportQueued = false;
    // Those counted now are reported now; sends they set off are reported on a later turn, so a
    // peer that takes everything at once still leaves the event loop its turns.
    const quint64 generation = m_generation;
    for (int count = std::exchange(m_completed, 0); count > 0; --count) {
        emit SendComplete();
        if (generation != m_generation)
            return;
    }
}

qint64 TcpControl::bytesUnacknowledged() const
{
    int unacknowledged = 0;
    if (m_fd < 0 || ::ioctl(m_fd, SIOCOUTQ, &unacknowledged) != 0)
        return 0;
    return unacknowledged;
}

// Handshake

void TcpControl::StartPrivate(SSL_CTX *context, bool asServer)
{
    if (m_state != Connected || privateStarted() || !context)
        return;
    m_privateStarted = true;
    m_ssl = SSL_new(context);
    BIO *socket = m_ssl ? quietSocket(m_fd) : nullptr;
    if (!socket)
        return failed(tlsErrorText());
    SSL_set_bio(m_ssl, socket, socket);
    m_asServer = asServer;
    asServer ? SSL_set_accept_state(m_ssl) : SSL_set_connect_state(m_ssl);
    // What was said in the clear goes first, in the clear; anything read but not taken was clear too.
    for (Pending &pending : m_queue)
        pending.clear = true;
    m_held.clear();
    // The handshake starts from the event loop, once the clear bytes are out.
    watch(false, true);
}

void TcpControl::shake()
{
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    switch (judge(m_ssl, result)) {
    case Tls::Progress: {
        m_secured = true;
        watch(!ended(), !m_queue.isEmpty());
        const quint64 generation = m_generation;
        emit Secured();
        if (generation != m_generation)
            return;
        flush();
        // What came with the handshake's last flight is in OpenSSL's buffer, not the socket's.
        if (m_ssl && SSL_has_pending(m_ssl))
            queueAnnounce();
        return;
    }
    case Tls::Wait:
        watch(SSL_want_read(m_ssl), SSL_want_write(m_ssl));
        return;
    case Tls::End:
        m_endOfStream = true;
        return reportEnd();
    case Tls::Failure:
        return failed(tlsErrorText());
    }
}

QByteArray TcpControl::peerCertificate() const
{
    X509 *certificate = m_ssl && m_secured ? SSL_get0_peer_certificate(m_ssl) : nullptr;
    const int length = certificate ? i2d_X509(certificate, nullptr) : 0;
    if (length <= 0)
        return {};
    QByteArray der(length, Qt::Uninitialized);
    auto *at = reinterpret_cast<unsigned char *>(der.data());
    i2d_X509(certificate, &at);
    return der;
}

// Receiving

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
    // The handler is given what it was told of, so the count it saw is the count it gets.
    const qint64 bound = m_inArrival ? qMax<qint64>(m_announced, 1) : ReadBufferSize;
    const bool open = m_fd >= 0 && m_state == Connected && (!m_ssl || m_secured) && !ended();
    const qint64 fromHeld = qMin<qint64>(bound, m_held.size());
    int inSocket = 0;
    if (open)
        ::ioctl(m_fd, FIONREAD, &inSocket);
    const qint64 inTls = m_ssl && open ? SSL_pending(m_ssl) : 0;
    const qint64 room = open ? qMin<qint64>(bound, fromHeld + qMax<qint64>(fromHeld > 0 ? 0 : 1, inSocket + inTls)) : fromHeld;
    // A block reserves the largest size at once, and keeps it from then on.
    if (room > 16 * 1024 && bytes.capacity() < ReadBufferSize)
        bytes.reserve(ReadBufferSize);
    bytes.resize(room);
    qint64 got = fromHeld;
    if (fromHeld > 0) {
        std::memcpy(bytes.data(), m_held.constData(), size_t(fromHeld));
        m_held.remove(0, fromHeld);
        resumeReading();
    }
    while (open && got < room) {
        const qint64 read = readInto(bytes.data() + got, room - got);
        if (read <= 0)
            break;
        got += read;
        // One read takes all the kernel has; under TLS each read takes a record.
        if (!m_ssl)
            break;
    }
    bytes.resize(got);
    // The end, records OpenSSL read ahead and bytes still held wake no notifier of their own.
    if (!m_inArrival && (ended() || !m_held.isEmpty() || (m_ssl && SSL_has_pending(m_ssl))))
        queueAnnounce();
}

void TcpControl::setArrivalThreshold(qint64 bytes)
{
    if (m_fd < 0)
        return;
    // The kernel then wakes us only when the threshold is met. Under TLS a piece of a record may
    // already wait in OpenSSL, so the socket is asked for a record less, or the last one never comes.
    const int threshold = int(qBound<qint64>(1, m_ssl ? bytes - TlsRecordRoom : bytes, ReadBufferSize / 2));
    if (threshold != m_arrivalThreshold && setsockopt(m_fd, SOL_SOCKET, SO_RCVLOWAT, &threshold, sizeof threshold) == 0)
        m_arrivalThreshold = threshold;
}

// What waits to be read: at least 1 when a read will give something, 0 when nothing (also when the
// end was found, which ended() then tells).
qint64 TcpControl::waiting()
{
    const qint64 held = m_held.size();
    int inSocket = 0;
    ::ioctl(m_fd, FIONREAD, &inSocket);
    if (held > 0)
        return held + inSocket + (m_ssl ? SSL_pending(m_ssl) : 0);
    if (!m_ssl) {
        if (inSocket > 0)
            return inSocket;
        // Readable with nothing to read: the peer closed, or the connection failed.
        char byte;
        const ssize_t peeked = ::recv(m_fd, &byte, 1, MSG_PEEK);
        if (peeked > 0)
            return peeked;
        if (peeked == 0)
            m_endOfStream = true;
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            isCloseError(errno) ? void(m_endOfStream = true) : void(m_readError = QString::fromLocal8Bit(std::strerror(errno)));
        return 0;
    }
    // Bytes in the socket may be a piece of a record, or a record that holds no data: only what
    // decrypts to data counts. Peeking opens the next record without taking from it.
    int pending = SSL_pending(m_ssl);
    if (pending == 0) {
        ERR_clear_error();
        char byte;
        const int peeked = SSL_peek(m_ssl, &byte, 1);
        switch (judge(m_ssl, peeked)) {
        case Tls::Progress:
            break;
        case Tls::Wait:
            return 0;
        case Tls::End:
            m_endOfStream = true;
            return 0;
        case Tls::Failure:
            m_readError = tlsErrorText();
            return 0;
        }
        pending = qMax(1, SSL_pending(m_ssl));
        ::ioctl(m_fd, FIONREAD, &inSocket);
    }
    // Records OpenSSL read ahead are not in the socket's count; the read stops where data does.
    return qint64(pending) + inSocket + (SSL_has_pending(m_ssl) ? TlsReadAhead : 0);
}

void TcpControl::announce()
{
    m_announceQueued = false;
    if (m_fd < 0 || m_inArrival || m_state != Connected || (m_ssl && !m_secured))
        return;
    const qint64 count = waiting();
    if (count > 0) {
        if (!arrive(count))
            return;
        // Bytes nobody took are held, which also notices a close behind them.
        if (!m_readDuringArrival)
            hold();
        else if (!m_held.isEmpty() || (m_ssl && SSL_has_pending(m_ssl)))
            queueAnnounce();
    }
    if (ended())
        reportEnd();
}

bool TcpControl::arrive(qint64 count)
{
    m_announced = qMin(count, ReadBufferSize);
    m_inArrival = true;
    m_readDuringArrival = false;
    const quint64 generation = m_generation;
    emit DataArrival(qint32(m_announced));
    if (generation != m_generation)
        return false;
    m_inArrival = false;
    return !m_closeReported;
}

// What the socket gives now into `data`: 0 when nothing is there, -1 at the end or on a failure,
// which ended() then tells. Never reports: its callers do, where that is safe.
qint64 TcpControl::readInto(char *data, qint64 room)
{
    if (ended())
        return -1;
    for (;;) {
        if (m_ssl) {
            ERR_clear_error();
            const int result = SSL_read(m_ssl, data, int(qMin<qint64>(room, INT_MAX)));
            switch (judge(m_ssl, result)) {
            case Tls::Progress:
                return result;
            case Tls::Wait:
                return 0;
            case Tls::End:
                m_endOfStream = true;
                break;
            case Tls::Failure:
                m_readError = tlsErrorText();
                break;
            }
        } else {
            const ssize_t result = ::recv(m_fd, data, size_t(room), 0);
            if (result > 0)
                return result;
            if (result < 0 && errno == EINTR)
                continue;
            if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return 0;
            if (result == 0 || isCloseError(errno))
                m_endOfStream = true;
            else
                m_readError = QString::fromLocal8Bit(std::strerror(errno));
        }
        // The end is always readable: the notifier would fire without pause.
        if (m_reader)
            m_reader->setEnabled(false);
        return -1;
    }
}

void TcpControl::hold()
{
    if (m_ssl && !m_secured)
        return;
    while (m_held.size() < ReadBufferSize && !ended()) {
        int inSocket = 0;
        ::ioctl(m_fd, FIONREAD, &inSocket);
        const qsizetype at = m_held.size();
        const qint64 room = qMin<qint64>(ReadBufferSize - at, qMax(inSocket, 4096));
        m_held.resize(at + room);
        const qint64 got = readInto(m_held.data() + at, room);
        m_held.resize(at + qMax<qint64>(got, 0));
        if (got <= 0)
            break;
    }
    // Full: the rest stays in the kernel until the holder takes some.
    if (m_held.size() >= ReadBufferSize && m_reader)
        m_reader->setEnabled(false);
}

void TcpControl::resumeReading()
{
    if (m_reader && m_state == Connected && !ended() && (!m_ssl || m_secured))
        m_reader->setEnabled(true);
}

void TcpControl::queueAnnounce()
{
    if (!m_announceQueued)
        m_announceQueued = QMetaObject::invokeMethod(this, &TcpControl::announce, Qt::QueuedConnection);
}

void TcpControl::reportEnd()
{
    if (m_closeReported || m_state != Connected)
        return;
    // Bytes that came with the close are still delivered before it is reported.
    if (!m_held.isEmpty() && !m_inArrival && !arrive(m_held.size()))
        return;
    if (m_closeReported)
        return;
    const QString error = m_readError;
    error.isEmpty() ? release() : failed(error);
    if (error.isEmpty())
        emit CloseEvent();
}

void TcpControl::failed(const QString &description)
{
    if (m_closeReported)
        return;
    release();
    emit Error(description);
}

void TcpControl::release()
{
    // The connection is over either way: the peer sees it closed at once, as it would after an abort.
    dropSocket();
    m_closeReported = true;
}
