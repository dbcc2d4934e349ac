#include "transfer/tcpcontrol.h"

#include "transfer/peerlistener.h"

#include <QHostInfo>
#include <QTimer>

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// A TLS record with its header and tag.
constexpr qint64 TlsRecordRoom = 16 * 1024 + 256;
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
    m_dialer.setAddresses(addresses);
    if (m_dialer.isEmpty())
        return failed(QStringLiteral("Host not found"));
    tryNextAddress();
}

void TcpControl::tryNextAddress()
{
    int error = EHOSTUNREACH;
    const int fd = m_dialer.connectNext(RemotePort, error);
    if (fd < 0)
        return failed(QString::fromLocal8Bit(std::strerror(error)));
    adopt(fd);
    // The attempt is over when the socket turns writable; SO_ERROR then says how it went.
    watch(false, true);
}

bool TcpControl::Listen()
{
    if (State() != Closed)
        return false;
    m_server = new PeerListener(
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
    // The exchange is short messages, each answered: held back for the peer's delayed
    // acknowledgement, the offer behind "RC" would wait 40 ms. Data goes in full segments anyway.
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_peerIp = PeerDialer::peerAddressOf(descriptor);
    m_reader = new QSocketNotifier(qintptr(descriptor), QSocketNotifier::Read, this);
    m_writer = new QSocketNotifier(qintptr(descriptor), QSocketNotifier::Write, this);
    m_reader->setEnabled(false);
    m_writer->setEnabled(false);
    connect(m_reader, &QSocketNotifier::activated, this, &TcpControl::onReadable);
    connect(m_writer, &QSocketNotifier::activated, this, &TcpControl::onWritable);
    m_in.attach(descriptor, m_reader);
}

void TcpControl::dropSocket()
{
    ++m_generation;
    if (m_lookup >= 0)
        QHostInfo::abortHostLookup(m_lookup);
    m_lookup = -1;
    m_dialer.clear();
    // The notifiers may be the very ones whose signal is being handled.
    for (QSocketNotifier *notifier : {m_reader, m_writer})
        if (notifier) {
            notifier->setEnabled(false);
            notifier->disconnect(this);
            notifier->deleteLater();
        }
    m_reader = m_writer = nullptr;
    m_tls.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_state = Closed;
    m_queue.clear();
    m_in.reset();
    m_inArrival = false;
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
            const QList<QHostAddress> rest = m_dialer.takeAddresses();
            dropSocket();
            m_state = Connecting;
            m_dialer.setAddresses(rest);
            if (m_dialer.isEmpty())
                return failed(QString::fromLocal8Bit(std::strerror(error)));
            return tryNextAddress();
        }
        m_state = Connected;
        m_peerIp = PeerDialer::peerAddressOf(m_fd);
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
    if (m_tls.started() && !m_tls.secured())
        return shake();
    // A handler still at work (in a dialog, say) is not told again; what comes meanwhile is held,
    // and a close behind it is reported at once.
    if (m_inArrival) {
        m_in.hold();
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
    if (m_state != Connected || length <= 0 || descriptor < 0 || m_tls.started())
        return;
    // A descriptor of our own: the caller may close its file while the kernel still sends from it,
    // and its number may be reused by then.
    const int file = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (file < 0)
        return sourceFailed();
    enqueue({{}, file, offset, length, 0, false});
}

void TcpControl::enqueue(SendQueue::Pending pending)
{
    m_queue.append(std::move(pending));
    // Straight to the kernel when it has room; what it does not take waits for the write notifier.
    if (m_queue.size() == 1)
        flush();
}

void TcpControl::flush()
{
    if (m_fd < 0 || m_state != Connected)
        return;
    const SendQueue::Result result = m_queue.push(m_fd, m_tls);
    switch (result.stop) {
    case SendQueue::Stop::Sent:
        break;
    case SendQueue::Stop::Closed:
        m_in.setEnded();
        return reportEnd();
    case SendQueue::Stop::Failed:
        return failed(result.error);
    case SendQueue::Stop::SourceFailed:
        if (!m_sourceFailed)
            sourceFailed();
        if (m_writer)
            m_writer->setEnabled(false);
        return;
    }
    const bool shaking = m_tls.started() && !m_tls.secured() && !m_queue.firstIsClear();
    if (m_writer)
        m_writer->setEnabled(!m_queue.isEmpty() && !shaking);
    if (m_queue.completed() > 0 && !m_reportQueued)
        m_reportQueued = QMetaObject::invokeMethod(this, &TcpControl::reportCompletions, Qt::QueuedConnection);
    if (shaking)
        shake();
}

void TcpControl::sourceFailed()
{
    m_sourceFailed = true;
    const quint64 generation = m_generation;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == m_generation)
            emit SourceFailed();
    });
}

void TcpControl::reportCompletions()
{
    m_reportQueued = false;
    // Those counted now are reported now; sends they set off are reported on a later turn, so a
    // peer that takes everything at once still leaves the event loop its turns.
    const quint64 generation = m_generation;
    for (int count = m_queue.takeCompleted(); count > 0; --count) {
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
    if (!m_tls.start(context, m_fd, asServer))
        return failed(TlsLink::errorText());
    // What was said in the clear goes first, in the clear; anything read but not taken was clear too.
    m_queue.markClear();
    m_in.dropHeld();
    // The handshake starts from the event loop, once the clear bytes are out.
    watch(false, true);
}

void TcpControl::shake()
{
    switch (m_tls.handshake()) {
    case TlsLink::Outcome::Progress: {
        watch(!ended(), !m_queue.isEmpty());
        const quint64 generation = m_generation;
        emit Secured();
        if (generation != m_generation)
            return;
        flush();
        // What came with the handshake's last flight is in OpenSSL's buffer, not the socket's.
        if (m_tls.started() && m_tls.hasPending())
            queueAnnounce();
        return;
    }
    case TlsLink::Outcome::Wait:
        watch(m_tls.wantsRead(), m_tls.wantsWrite());
        return;
    case TlsLink::Outcome::End:
        m_in.setEnded();
        return reportEnd();
    case TlsLink::Outcome::Failure:
        return failed(TlsLink::errorText());
    }
}

QByteArray TcpControl::peerCertificate() const
{
    return m_tls.peerCertificate();
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
    const bool open = m_fd >= 0 && m_state == Connected && (!m_tls.started() || m_tls.secured()) && !ended();
    if (m_in.take(bytes, bound, open))
        resumeReading();
    // The end, records OpenSSL read ahead and bytes still held wake no notifier of their own.
    if (!m_inArrival && (ended() || !m_in.held().isEmpty() || (m_tls.started() && m_tls.hasPending())))
        queueAnnounce();
}

void TcpControl::setArrivalThreshold(qint64 bytes)
{
    if (m_fd < 0)
        return;
    // The kernel then wakes us only when the threshold is met. Under TLS a piece of a record may
    // already wait in OpenSSL, so the socket is asked for a record less, or the last one never comes.
    const int threshold = int(qBound<qint64>(1, m_tls.started() ? bytes - TlsRecordRoom : bytes, ReadBufferSize / 2));
    if (threshold != m_arrivalThreshold && setsockopt(m_fd, SOL_SOCKET, SO_RCVLOWAT, &threshold, sizeof threshold) == 0)
        m_arrivalThreshold = threshold;
}

void TcpControl::announce()
{
    m_announceQueued = false;
    if (m_fd < 0 || m_inArrival || m_state != Connected || (m_tls.started() && !m_tls.secured()))
        return;
    const qint64 count = m_in.waiting();
    if (count > 0) {
        if (!arrive(count))
            return;
        // Bytes nobody took are held, which also notices a close behind them.
        if (!m_readDuringArrival)
            m_in.hold();
        else if (!m_in.held().isEmpty() || (m_tls.started() && m_tls.hasPending()))
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

void TcpControl::resumeReading()
{
    if (m_reader && m_state == Connected && !ended() && (!m_tls.started() || m_tls.secured()))
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
    if (!m_in.held().isEmpty() && !m_inArrival && !arrive(m_in.held().size()))
        return;
    if (m_closeReported)
        return;
    const QString error = m_in.error();
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
