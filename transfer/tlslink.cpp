#include "transfer/tlslink.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <cerrno>
#include <climits>

namespace {
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
}

TlsLink::~TlsLink()
{
    reset();
}

bool TlsLink::start(SSL_CTX *context, int fd, bool asServer)
{
    reset();
    m_ssl = SSL_new(context);
    BIO *socket = m_ssl ? quietSocket(fd) : nullptr;
    if (!socket)
        return false;
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
    return judge(result);
}

TlsLink::Outcome TlsLink::write(const char *data, qint64 length, qint64 &count)
{
    ERR_clear_error();
    const int result = SSL_write(m_ssl, data, int(length));
    count = qMax(result, 0);
    return judge(result);
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
