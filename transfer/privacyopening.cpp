#include "transfer/privacyopening.h"

#include "transfer/controltext.h"

PrivacyOpening::PrivacyOpening(TcpControl &socket, int clearFallbackMs, int privateLimitMs, QObject *parent)
    : QObject(parent)
    , NT(socket)
{
    for (QTimer *timer : {&m_clearFallback, &m_privateLimit})
        timer->setSingleShot(true);
    m_clearFallback.setInterval(clearFallbackMs);
    m_privateLimit.setInterval(privateLimitMs);
    connect(&m_clearFallback, &QTimer::timeout, this, &PrivacyOpening::clearFallbackReached);
    connect(&m_privateLimit, &QTimer::timeout, this, &PrivacyOpening::privateLimitReached);
    connect(&NT, &TcpControl::Secured, this, &PrivacyOpening::onSecured);
}

void PrivacyOpening::connected(bool peerPrivate)
{
    m_receiving = false;
    m_deciding = true;
    m_text.clear();
    m_private.emplace();
    if (!m_private->isValid())
        return fail();
    NT.SendData(m_private->probe());
    m_privateLimit.start();
    if (!peerPrivate)
        m_clearFallback.start();
}

void PrivacyOpening::accepted()
{
    m_receiving = true;
    m_deciding = true;
    m_text.clear();
    m_private.reset();
    // Whoever connected must say something we can take in time, or the port is the next sender's.
    m_privateLimit.start();
}

void PrivacyOpening::heard(const QString &read)
{
    if (!m_deciding || NT.privateStarted())
        return;
    const QString held = std::exchange(m_text, {});
    m_text = held + read;
    m_receiving ? awaitProbe(held, read) : awaitAnswer();
}

void PrivacyOpening::stop()
{
    m_deciding = false;
    m_clearFallback.stop();
    m_privateLimit.stop();
}

void PrivacyOpening::awaitAnswer()
{
    // Everything the receiver says in the clear is kept: its "OK" counts if it never answers "TL".
    // A receiver of either kind says two words before it hears us; one that says far more is broken.
    if (m_text.size() > MaxPreamble)
        return fail();
    const qsizetype answer = ControlText::answerAt(m_text);
    // A receiver that speaks TLS says nothing more until we do.
    if (answer >= 0)
        answer + 2 < m_text.size() ? fail() : startPrivate(false);
}

void PrivacyOpening::awaitProbe(const QString &held, const QString &read)
{
    const PrivateChannel::Heard heard = PrivateChannel::hear(m_text);
    if (heard == PrivateChannel::Probe)
        return startPrivate(true);
    if (heard == PrivateChannel::PartOfProbe)
        return;
    // The sender stopped waiting for "TL" and goes on in the clear.
    if (heard == PrivateChannel::ProbeThenMore)
        return goClear(m_text.sliced(PrivateChannel::ProbeLength));
    // Only a message or an offer shows a sender of the design; anything else waits out the limit.
    if (heard == PrivateChannel::Clear) {
        const std::optional<ControlText::Split> split = ControlText::split(m_text);
        if (split && (!split->messages.isEmpty() || !split->offer.isEmpty()))
            return goClear(m_text);
        if (split)
            return void(m_text = split->unfinished);
    }
    // What was held was not the start of a message after all: what came now stands alone.
    m_text.clear();
    if (!held.isEmpty())
        m_text = read, awaitProbe({}, read);
}

void PrivacyOpening::clearFallbackReached()
{
    if (!m_deciding || NT.privateStarted())
        return;
    NT.SendData(QStringLiteral("RC"));
    goClear(m_text);
}

void PrivacyOpening::goClear(QString words)
{
    stop();
    m_text.clear();
    emit wentClear(words);
}

void PrivacyOpening::startPrivate(bool asServer)
{
    m_clearFallback.stop();
    if (asServer) {
        m_private.emplace();
        if (!m_private->isValid())
            return fail();
        m_private->commit(m_text);
        NT.SendData(QStringLiteral("TL"));
    }
    m_text.clear();
    NT.StartPrivate(m_private->context(), asServer);
}

void PrivacyOpening::onSecured()
{
    if (!m_deciding || !m_private)
        return;
    const QByteArray peer = NT.peerCertificate();
    // The receiver holds the sender to the certificate its probe committed to.
    if (peer.isEmpty() || (m_receiving && !m_private->keepsCommitment(peer)))
        return fail();
    stop();
    const QByteArray &ours = m_private->certificate();
    emit secured(m_receiving ? PrivateChannel::code(peer, ours) : PrivateChannel::code(ours, peer));
}

void PrivacyOpening::privateLimitReached()
{
    if (!m_deciding)
        return;
    // Nothing a sender would say came from whoever connected: the port opens again for the next one.
    if (m_receiving && !NT.privateStarted())
        return stop(), emit abandoned();
    fail();
}

void PrivacyOpening::fail()
{
    stop();
    emit failed();
}
