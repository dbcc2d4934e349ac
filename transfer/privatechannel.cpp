#include "transfer/privatechannel.h"

#include "transfer/tlslink.h"

#include <QCryptographicHash>
#include <QtEndian>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

namespace {
template <auto Free> struct Freer {
    template <typename T> void operator()(T *p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509_free>>;

// Any certificate is taken here: what the peer shows is judged by the commitment and the code.
int acceptAny(int, X509_STORE_CTX *)
{
    return 1;
}

bool isLowerHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
}
}

void PrivateChannel::ContextFree::operator()(SSL_CTX *context) const
{
    SSL_CTX_free(context);
}

PrivateChannel::PrivateChannel()
{
    const Key key(EVP_EC_gen("P-256"));
    const Certificate x509(X509_new());
    if (!key || !x509)
        return;
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    // A positive number whose first byte is not zero, or its encoding would not be the shortest.
    serial[0] = (serial[0] & 0x7f) | 0x40;
    ASN1_INTEGER *number = X509_get_serialNumber(x509.get());
    ASN1_STRING_set(number, serial, sizeof serial);
    X509_NAME *name = X509_get_subject_name(x509.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("Veltrane"), -1, -1, 0);
    // Nobody checks the dates; a clock that is off by a day must not matter to a peer that does.
    const bool made = X509_set_version(x509.get(), X509_VERSION_3) && X509_set_issuer_name(x509.get(), name)
                      && X509_gmtime_adj(X509_getm_notBefore(x509.get()), -86400)
                      && X509_gmtime_adj(X509_getm_notAfter(x509.get()), 7 * 86400)
                      && X509_set_pubkey(x509.get(), key.get()) && X509_sign(x509.get(), key.get(), EVP_sha256());
    const int length = made ? i2d_X509(x509.get(), nullptr) : 0;
    if (length <= 0)
        return;
    m_certificate.resize(length);
    auto *at = reinterpret_cast<unsigned char *>(m_certificate.data());
    i2d_X509(x509.get(), &at);

    std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_method()));
    if (!context || !SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION)
        // All three of TLS 1.3's suites, the quickest first: AES-128 costs less than AES-256 per
        // byte, and on a fast link the receiver's processor is what sets the pace.
        || !SSL_CTX_set_ciphersuites(context.get(), "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384")
        || !SSL_CTX_use_certificate(context.get(), x509.get()) || !SSL_CTX_use_PrivateKey(context.get(), key.get())) {
        m_certificate.clear();
        return;
    }
    SSL_CTX_set_options(context.get(), SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Asks for the peer's certificate without holding it to an authority or a host name.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, acceptAny);
    // Keys live for one transfer: nothing is ever resumed.
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(context.get(), 0);
    // The caller's pieces are encrypted where they lie, a record at a time, and may move between
    // tries; reads take several records per call.
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(context.get(), 1);
    SSL_CTX_set_default_read_buffer_len(context.get(), TlsLink::ReadAhead);
    m_context = std::move(context);
}

QByteArray PrivateChannel::probe() const
{
    return "TL" + fingerprint(m_certificate).toHex();
}

bool PrivateChannel::isProbe(QStringView text)
{
    return text.size() == ProbeLength && text.startsWith(u"TL") && std::all_of(text.cbegin() + 2, text.cend(), isLowerHex);
}

PrivateChannel::Heard PrivateChannel::hear(QStringView text)
{
    if (isProbe(text))
        return Probe;
    // What more of the stream can still turn into a probe waits for it.
    const QStringView start = text.first(qMin<qsizetype>(2, text.size()));
    if (text.size() < ProbeLength && QStringView(u"TL").startsWith(start)
        && std::all_of(text.cbegin() + start.size(), text.cend(), isLowerHex))
        return PartOfProbe;
    if (isProbe(text.first(qMin(ProbeLength, text.size()))))
        return ProbeThenMore;
    return text.startsWith(u"TL") ? NotAProbe : Clear;
}

bool PrivateChannel::keepsCommitment(const QByteArray &sender) const
{
    return !sender.isEmpty() && !m_commitment.isEmpty() && fingerprint(sender).toHex() == m_commitment;
}

QString PrivateChannel::code(const QByteArray &sender, const QByteArray &receiver)
{
    const QByteArray hash = QCryptographicHash::hash(sender + receiver, QCryptographicHash::Sha256);
    const quint32 number = qFromBigEndian<quint32>(hash.constData()) % 1000000;
    const QString digits = QStringLiteral("%1").arg(number, 6, 10, QLatin1Char('0'));
    return digits.first(3) + u' ' + digits.sliced(3);
}

QByteArray PrivateChannel::fingerprint(const QByteArray &certificate)
{
    return QCryptographicHash::hash(certificate, QCryptographicHash::Sha256);
}
