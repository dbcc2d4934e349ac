#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

using SSL_CTX = struct ssl_ctx_st;

// What makes a transfer between two Veltranes private, before the handshake begins:
//   sender -> "TL" + the SHA-256 of its certificate in 64 lowercase hex digits (the probe; a peer
//             that does not know it takes it for text that matches nothing);
//   receiver -> "TL", then TLS 1.3 with a certificate on each side, the receiver as the server;
//   the receiver holds the sender to the certificate the probe committed to.
// Both windows show a six-digit code made from both certificates. A man in the middle has to
// commit to his certificate before he sees the receiver's, so he cannot search for certificates
// that give both ends the same code.
class PrivateChannel
{
public:
    static constexpr qsizetype ProbeLength = 66;

    // With a fresh key and certificate, made for this transfer alone and kept in memory only.
    PrivateChannel();

    bool isValid() const { return m_context && !m_certificate.isEmpty(); }
    QByteArray probe() const;
    // TLS 1.3 only, with our certificate, and the peer's asked for; it is judged by the commitment
    // and the code, not by an authority. A socket that uses it keeps it alive as long as it needs.
    SSL_CTX *context() const { return m_context.get(); }
    // DER-encoded, as both the probe and the code hash it.
    const QByteArray &certificate() const { return m_certificate; }

    // Exactly "TL" and 64 lowercase hex digits.
    static bool isProbe(QStringView text);
    // What a receiver makes of the first things a sender says. A probe that is not one (too
    // short, too long, upper case) is text that matches nothing, as any unknown message is.
    enum Heard { Probe, PartOfProbe, ProbeThenMore, NotAProbe, Clear };
    static Heard hear(QStringView text);
    // The receiver keeps what the sender's probe committed to.
    void commit(QStringView probe) { m_commitment = probe.sliced(2).toLatin1(); }
    bool keepsCommitment(const QByteArray &sender) const;

    // "482 917": the first four bytes of SHA-256(sender's certificate, receiver's certificate),
    // big-endian, modulo a million.
    static QString code(const QByteArray &sender, const QByteArray &receiver);

private:
    static QByteArray fingerprint(const QByteArray &certificate);

    struct ContextFree {
        void operator()(SSL_CTX *context) const;
    };
    std::unique_ptr<SSL_CTX, ContextFree> m_context;
    QByteArray m_certificate;
    QByteArray m_commitment;
};
