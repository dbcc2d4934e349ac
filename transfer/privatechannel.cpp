#include "transfer/privatechannel.h"

#include <QCryptographicHash>
#include <QtEndian>

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

namespace {
template <auto Free> struct Freer {
    template <typename T> void operator()(T *p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO_free>>;

QByteArray drain(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, size);
}

bool isLowerHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
}
}

PrivateChannel::PrivateChannel()
{
    // Qt can use a key but not make one.
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
    const Bio keyPem(BIO_new(BIO_s_mem())), certificatePem(BIO_new(BIO_s_mem()));
    if (!made || !keyPem || !certificatePem
        || !PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)
        || !PEM_write_bio_X509(certificatePem.get(), x509.get()))
        return;
    m_key = QSslKey(drain(keyPem.get()), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    m_certificate = QSslCertificate(drain(certificatePem.get()), QSsl::Pem);
}

QByteArray PrivateChannel::probe() const
{
    return "TL" + fingerprint(m_certificate).toHex();
}

QSslConfiguration PrivateChannel::configuration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_3OrLater);
    configuration.setLocalCertificate(m_certificate);
    configuration.setPrivateKey(m_key);
    // Asks for the peer's certificate without holding it to an authority or a host name.
    configuration.setPeerVerifyMode(QSslSocket::QueryPeer);
    configuration.setCaCertificates({});
    // All three of TLS 1.3's suites, the quickest first: AES-128 costs less than AES-256 per byte,
    // and on a fast link the receiver's processor is what sets the pace.
    configuration.setCiphers(QStringLiteral("TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384"));
    return configuration;
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

bool PrivateChannel::keepsCommitment(const QSslCertificate &sender) const
{
    return !sender.isNull() && !m_commitment.isEmpty() && fingerprint(sender).toHex() == m_commitment;
}

QString PrivateChannel::code(const QSslCertificate &sender, const QSslCertificate &receiver)
{
    const QByteArray hash = QCryptographicHash::hash(sender.toDer() + receiver.toDer(), QCryptographicHash::Sha256);
    const quint32 number = qFromBigEndian<quint32>(hash.constData()) % 1000000;
    const QString digits = QStringLiteral("%1").arg(number, 6, 10, QLatin1Char('0'));
    return digits.first(3) + u' ' + digits.sliced(3);
}

QByteArray PrivateChannel::fingerprint(const QSslCertificate &certificate)
{
    return QCryptographicHash::hash(certificate.toDer(), QCryptographicHash::Sha256);
}
