#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

// TLS on a descriptor its socket owns and watches: OpenSSL reads and writes the descriptor itself,
// so records go straight between the kernel and the caller's buffers. Every call answers with what
// it means for the connection, and the socket decides what follows.
class TlsLink
{
public:
    enum class Outcome { Progress, Wait, End, Failure };
    // The most OpenSSL reads ahead of the records it opened: a read of the socket takes many
    // records at once, as a plain read takes many segments.
    static constexpr int ReadAhead = 256 * 1024;

    TlsLink() = default;
    ~TlsLink();
    TlsLink(const TlsLink &) = delete;
    TlsLink &operator=(const TlsLink &) = delete;

    // False when OpenSSL cannot begin; errorText() then says why.
    bool start(SSL_CTX *context, int fd, bool asServer);
    void reset();
    bool started() const { return m_ssl != nullptr; }
    bool secured() const { return m_ssl && m_secured; }

    // Handshake
    Outcome handshake();
    bool wantsRead() const;
    bool wantsWrite() const;
    // The peer's certificate, DER-encoded; empty before the handshake or when it showed none.
    QByteArray peerCertificate() const;

    // Records
    // `count` is what was read or written on Progress.
    Outcome read(char *data, qint64 room, qint64 &count);
    Outcome write(const char *data, qint64 length, qint64 &count);
    // Opens the next record without taking from it.
    Outcome peek();
    // Data decrypted and not yet read, and whether anything (even a piece of a record) waits in OpenSSL.
    int pending() const;
    bool hasPending() const;

    // The reason for the last failure, taken off OpenSSL's queue.
    static QString errorText();

private:
    Outcome judge(int result) const;

    SSL *m_ssl = nullptr;
    bool m_secured = false;
};
