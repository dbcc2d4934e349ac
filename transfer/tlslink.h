#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

using BIO = struct bio_st;
using BIO_METHOD = struct bio_method_st;
using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

// TLS on a descriptor its socket owns and watches: OpenSSL reads the descriptor itself, so records
// go straight from the kernel into the caller's buffer, and sealed records leave many to a send().
// Every call answers with what it means for the connection, and the socket decides what follows.
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
    // Seals records into the outbox; flush() hands them to the kernel.
    Outcome write(const char *data, qint64 length, qint64 &count);
    // Progress once the kernel holds every sealed record, Wait while some wait for room.
    Outcome flush();
    bool flushed() const { return m_outBegin == m_outEnd; }
    // Opens the next record without taking from it.
    Outcome peek();
    // Data decrypted and not yet read, and whether anything (even a piece of a record) waits in OpenSSL.
    int pending() const;
    bool hasPending() const;

    // The reason for the last failure, taken off OpenSSL's queue.
    static QString errorText();

private:
    Outcome judge(int result) const;
    // Sends from the front of the outbox what the kernel takes now: false when it took nothing
    // and errno says why.
    bool sendOut();
    static BIO_METHOD *outboxMethod();
    // The outbox as OpenSSL's write side: it takes what fits, and flushing sends.
    static int takeRecords(BIO *bio, const char *data, int length);
    static long control(BIO *bio, int command, long number, void *pointer);

    SSL *m_ssl = nullptr;
    bool m_secured = false;
    int m_fd = -1;
    // A system call per 16 KiB record would cost more than sealing it; the outbox lives as long as
    // the link, so nothing is allocated per record.
    std::unique_ptr<char[]> m_out;
    qint64 m_outBegin = 0;
    qint64 m_outEnd = 0;
};
