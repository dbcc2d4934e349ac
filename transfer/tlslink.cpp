#include "transfer/tlslink.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {
// Room for a whole piece of the pump's, sealed, with space to spare.
constexpr qint64 OutboxSize = 512 * 1024;

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}
}

TlsLink::~TlsLink()
{
    reset();
}

bool TlsLink::start(SSL_CTX *context, int fd, bool asServer)
{
    reset();
    BIO_METHOD *method = outboxMethod();
    m_ssl = method ? SSL_new(context) : nullptr;
    BIO *socket = m_ssl ? BIO_new(method) : nullptr;
    if (!socket)
        return false;
    BIO_set_fd(socket, fd, BIO_NOCLOSE);
    BIO_set_data(socket, this);
    m_fd = fd;
    if (!m_out)
        m_out.reset(new char[OutboxSize]);
    SSL_set_bio(m_ssl, socket, socket);
    asServer ? SSL_set_accept_state(m_ssl) : SSL_set_connect_state(m_ssl);
    return true;
}

void TlsLink::reset()
{
    if (m_ssl)
        SSL_free(m_ssl);
    m_ssl = nullptr;
    m_secured = false;
    m_fd = -1;
    m_outBegin = m_outEnd = 0;
}

// Handshake

TlsLink::Outcome TlsLink::handshake()
{
    ERR_clear_error();
    const Outcome outcome = judge(SSL_do_handshake(m_ssl));
    if (outcome == Outcome::Progress)
        m_secured = true;
    return outcome;
}

bool TlsLink::wantsRead() const
{
    return SSL_want_read(m_ssl);
}

bool TlsLink::wantsWrite() const
{
    return SSL_want_write(m_ssl);
}

QByteArray TlsLink::peerCertificate() const
{
    X509 *certificate = secured() ? SSL_get0_peer_certificate(m_ssl) : nullptr;
    const int length = certificate ? i2d_X509(certificate, nullptr) : 0;
    if (length <= 0)
        return {};
    QByteArray der(length, Qt::Uninitialized);
    auto *at = reinterpret_cast<unsigned char *>(der.data());
    i2d_X509(certificate, &at);
    return der;
}

// Records

TlsLink::Outcome TlsLink::read(char *data, qint64 room, qint64 &count)
{
    ERR_clear_error();
    const int result = SSL_read(m_ssl, data, int(qMin<qint64>(room, INT_MAX)));
    count = qMax(result, 0);
    const Outcome outcome = judge(result);
    // What reading made OpenSSL answer leaves with it.
    if (!flushed())
        sendOut();
    return outcome;
}

TlsLink::Outcome TlsLink::write(const char *data, qint64 length, qint64 &count)
{
    // A partial write ends after each record: the outbox takes as many as it can hold.
    count = 0;
    while (count < length) {
        ERR_clear_error();
        const int result = SSL_write(m_ssl, data + count, int(qMin<qint64>(length - count, INT_MAX)));
        if (result <= 0) {
            const Outcome outcome = judge(result);
            return outcome == Outcome::Wait && count > 0 ? Outcome::Progress : outcome;
        }
        count += result;
    }
    return Outcome::Progress;
}

TlsLink::Outcome TlsLink::flush()
{
    if (flushed() || sendOut())
        return flushed() ? Outcome::Progress : Outcome::Wait;
    if (wouldBlock(errno))
        return Outcome::Wait;
    return errno == ECONNRESET || errno == EPIPE || errno == ESHUTDOWN ? Outcome::End : Outcome::Failure;
}

TlsLink::Outcome TlsLink::peek()
{
    ERR_clear_error();
    char byte;
    return judge(SSL_peek(m_ssl, &byte, 1));
}

int TlsLink::pending() const
{
    return SSL_pending(m_ssl);
}

bool TlsLink::hasPending() const
{
    return SSL_has_pending(m_ssl);
}

QString TlsLink::errorText()
{
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (error == 0)
        return QStringLiteral("The TLS connection failed");
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return QString::fromLatin1(text);
}

bool TlsLink::sendOut()
{
    for (;;) {
        const ssize_t sent = ::send(m_fd, m_out.get() + m_outBegin, size_t(m_outEnd - m_outBegin), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        m_outBegin += sent;
        if (m_outBegin == m_outEnd)
            m_outBegin = m_outEnd = 0;
        return true;
    }
}

// OpenSSL's socket BIO for reading and for the descriptor; writes go to the link's outbox.
BIO_METHOD *TlsLink::outboxMethod()
{
    static BIO_METHOD *const method = [] {
        const BIO_METHOD *socket = BIO_s_socket();
        BIO_METHOD *outbox = BIO_meth_new(BIO_TYPE_SOCKET, "socket with an outbox");
        if (outbox
            && !(BIO_meth_set_write(outbox, takeRecords) && BIO_meth_set_ctrl(outbox, control)
                 && BIO_meth_set_read(outbox, BIO_meth_get_read(socket)) && BIO_meth_set_puts(outbox, BIO_meth_get_puts(socket))
                 && BIO_meth_set_create(outbox, BIO_meth_get_create(socket))
                 && BIO_meth_set_destroy(outbox, BIO_meth_get_destroy(socket)))) {
            BIO_meth_free(outbox);
            outbox = nullptr;
        }
        return outbox;
    }();
    return method;
}

int TlsLink::takeRecords(BIO *bio, const char *data, int length)
{
    auto *link = static_cast<TlsLink *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (link->m_outEnd + length > OutboxSize && !link->flushed() && !link->sendOut() && !wouldBlock(errno))
        return -1;
    if (link->m_outBegin > 0 && link->m_outEnd + length > OutboxSize) {
        std::memmove(link->m_out.get(), link->m_out.get() + link->m_outBegin, size_t(link->m_outEnd - link->m_outBegin));
        link->m_outEnd -= link->m_outBegin;
        link->m_outBegin = 0;
    }
    const qint64 taken = qMin<qint64>(length, OutboxSize - link->m_outEnd);
    if (taken == 0) {
        BIO_set_retry_write(bio);
        return -1;
    }
    std::memcpy(link->m_out.get() + link->m_outEnd, data, size_t(taken));
    link->m_outEnd += taken;
    return int(taken);
}

long TlsLink::control(BIO *bio, int command, long number, void *pointer)
{
    // The handshake's flights end with a flush; every other command is the socket's.
    if (command != BIO_CTRL_FLUSH)
        return BIO_meth_get_ctrl(BIO_s_socket())(bio, command, number, pointer);
    BIO_clear_retry_flags(bio);
    const Outcome outcome = static_cast<TlsLink *>(BIO_get_data(bio))->flush();
    if (outcome == Outcome::Wait)
        BIO_set_retry_write(bio);
    return outcome == Outcome::Progress ? 1 : -1;
}

TlsLink::Outcome TlsLink::judge(int result) const
{
    if (result > 0)
        return Outcome::Progress;
    switch (SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return Outcome::Wait;
    case SSL_ERROR_ZERO_RETURN:
        return Outcome::End;
    case SSL_ERROR_SYSCALL:
        // The descriptor ended without a close_notify, or was reset: the peer has gone.
        return errno == 0 || errno == ECONNRESET || errno == EPIPE || errno == ESHUTDOWN ? Outcome::End : Outcome::Failure;
    case SSL_ERROR_SSL:
        // A peer that closes in the middle of a record has closed all the same.
        if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            ERR_clear_error();
            return Outcome::End;
        }
        return Outcome::Failure;
    default:
        return Outcome::Failure;
    }
}
