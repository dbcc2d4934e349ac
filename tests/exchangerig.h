#pragma once

#include "freeport.h"
#include "transfer/transfer.h"

#include <QFile>
#include <QQueue>
#include <QSslSocket>
#include <QTcpServer>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QSslKey>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// Waits without qWaitFor's naps, so that thousands of short exchanges stay quick.
template <typename Predicate> bool waitFor(Predicate done, int ms = 3000)
{
    for (QDeadlineTimer deadline(ms);;) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
    }
}

inline QByteArray randomBytes(int size, quint32 seed = 0)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed ? seed : quint32(size)).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

inline QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline int openFds() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size(); }

inline bool isOpenHere(const QString &path)
{
    const QString wanted = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (QFile::symLinkTarget(fds.filePath(fd)) == wanted)
            return true;
    return false;
}

// The closing sentence for kilobytes typed as "9.8", in the user's notation.
inline QString finished(QString kb) { return "Finished. (" + kb.replace(u'.', QLocale().decimalPoint()) + " KB)"; }

// Loopback splits nothing, so an offer settles at once; a short wait keeps thousands of runs quick.
inline constexpr TransferTiming QuickTiming{.offerSettleMs = 20};
// A peer of the design never answers the probe: the sender need not wait long to learn it.
inline constexpr TransferTiming DesignPeerTiming{.offerSettleMs = 20, .clearFallbackMs = 10};

inline bool isProbe(const QByteArray &bytes)
{
    static const QRegularExpression probe(QStringLiteral("^TL[0-9a-f]{64}$"));
    return probe.match(QString::fromLatin1(bytes)).hasMatch();
}

// Stands in for the person who makes a transfer's two choices: answers from a script (a choice
// not scripted refuses) and remembers every offer it was shown; `whileOpen` runs before it answers,
// and with `holding` it answers only when answer() is called.
struct ScriptedChooser : Transfer::Chooser {
    Transfer *transfer = nullptr;
    QList<Transfer::Offer> shown;
    int asked = 0;
    bool holding = false;
    std::function<void()> whileOpen;

    void choose(const QString &path) { answers.enqueue({path}); }
    void chooseAll(const QStringList &paths) { answers.enqueue(paths); }
    void chooseToSend() override { ++asked, opened(); }
    void chooseTarget(const Transfer::Offer &offer) override { shown.append(offer), opened(); }
    void answer()
    {
        const QStringList paths = answers.isEmpty() ? QStringList() : answers.dequeue();
        transfer->isSending() ? transfer->send(paths) : transfer->saveTo(paths.value(0));
    }

private:
    void opened()
    {
        if (whileOpen)
            whileOpen();
        if (!holding)
            answer();
    }
    QQueue<QStringList> answers;
};

// One side of a transfer with no window, and what a front end shows of it: the status line (the
// last sentence), the title, and whether and how it ended.
struct Party {
    TransferSettings settings;
    ScriptedChooser chooser;
    Transfer transfer;
    QString status;
    QString title = QStringLiteral("Veltrane");
    bool ended = false, finished = false;

    Party(quint8 mode, quint16 port, const QString &choice, TransferTiming timing = QuickTiming)
        : transfer(settings, chooser, port, timing)
    {
        settings.XferMode = mode, settings.PeerIP = QStringLiteral("127.0.0.1");
        chooser.transfer = &transfer;
        if (!choice.isEmpty())
            chooser.choose(choice);
        QObject::connect(&transfer, &Transfer::statusChanged, &transfer, [this](const QString &sentence) { status = sentence; });
        QObject::connect(&transfer, &Transfer::secured, &transfer, [this](const QString &code) { title = "Veltrane (" + code + ")"; });
        QObject::connect(&transfer, &Transfer::wentClear, &transfer, [this] { title = QStringLiteral("Veltrane (not encrypted)"); });
        QObject::connect(&transfer, &Transfer::ended, &transfer, [this](const QString &sentence, bool done) {
            status = sentence, ended = true, finished = done;
        });
        transfer.start();
    }
    bool listening() { return waitFor([this] { return transfer.NT->State() == TcpControl::Listening; }); }
};

// The certificate and key a test peer presents, made once by hand with openssl (tests/peer.pem).
struct PeerIdentity {
    QSslCertificate certificate;
    QSslKey key;
    QByteArray probe() const { return "TL" + QCryptographicHash::hash(certificate.toDer(), QCryptographicHash::Sha256).toHex(); }
    static const PeerIdentity &a()
    {
        static const PeerIdentity id = [] {
            QFile pem(QStringLiteral(VELTRANE_TEST_PEM));
            const QByteArray both = pem.open(QIODevice::ReadOnly) ? pem.readAll() : QByteArray();
            return PeerIdentity{QSslCertificate(both), QSslKey(both, QSsl::Ec)};
        }();
        return id;
    }
    QSslConfiguration configuration() const
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setProtocol(QSsl::TlsV1_3OrLater);
        tls.setLocalCertificate(certificate);
        tls.setPrivateKey(key);
        tls.setPeerVerifyMode(QSslSocket::QueryPeer);
        return tls;
    }
};

// The code both ends of a private transfer show, worked out here from the certificates.
inline QString codeOf(const QSslCertificate &sender, const QSslCertificate &receiver)
{
    const QByteArray hash = QCryptographicHash::hash(sender.toDer() + receiver.toDer(), QCryptographicHash::Sha256);
    const quint32 number = (quint32(uchar(hash[0])) << 24 | uchar(hash[1]) << 16 | uchar(hash[2]) << 8 | uchar(hash[3])) % 1000000;
    return QStringLiteral("%1 %2").arg(number / 1000, 3, 10, QLatin1Char('0')).arg(number % 1000, 3, 10, QLatin1Char('0'));
}

// The title a side shows once private.
inline const QRegularExpression CodeTitle(QStringLiteral(R"(^Veltrane \(\d{3} \d{3}\)$)"));

// Hands over its connections on sockets that can turn to TLS.
struct PeerServer : QTcpServer {
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        addPendingConnection(socket);
    }
};

// One side of a transfer and the test's raw peer for it, by default a peer of the design; `wire`
// keeps every byte the side sent after a sender's probe, which such a peer ignores, and, once the
// peer has turned private, every byte inside TLS.
template <typename Side> struct RawRigOf {
    QTemporaryDir dir;
    QByteArray wire, probe;
    PeerServer server;
    std::unique_ptr<QSslSocket> peer;
    std::optional<Side> side;

    // Up to the side's greeting.
    bool open(quint8 mode, const QString &choice, TransferTiming timing = DesignPeerTiming)
    {
        const bool sending = mode == TransferSettings::Send;
        return reach(mode, choice, timing) && waitFor([&] { return wire == (sending ? "RC" : "OK"); })
               && (!sending || isProbe(probe));
    }

    // Up to the connection.
    bool reach(quint8 mode, const QString &choice, TransferTiming timing)
    {
        const bool sending = mode == TransferSettings::Send;
        const quint16 port = sending && (server.isListening() || server.listen(QHostAddress::LocalHost, 0))
                                 ? server.serverPort()
                                 : freePort();
        side.emplace(mode, port, choice, timing);
        if (!(sending ? waitFor([this] { return server.hasPendingConnections(); }) : side->listening()))
            return false;
        peer.reset(sending ? static_cast<QSslSocket *>(server.nextPendingConnection()) : new QSslSocket);
        QObject::connect(peer.get(), &QTcpSocket::readyRead, peer.get(), [this, sending] {
            wire += peer->readAll();
            if (sending && probe.isEmpty() && wire.size() >= 66)
                probe = wire.left(66), wire.remove(0, 66);
        });
        if (!sending)
            peer->connectToHost(QHostAddress::LocalHost, port);
        return waitFor([this] { return peer->state() == QAbstractSocket::ConnectedState; });
    }

    // Answers a sending side's probe, or sends a receiving side `ownProbe` and awaits its answer;
    // then TLS as `id`, up to the side's greeting inside it.
    bool turnPrivate(const PeerIdentity &id, const QByteArray &ownProbe = {})
    {
        const bool answering = ownProbe.isEmpty();
        if (answering ? !waitFor([this] { return isProbe(probe); }) : (peer->write(ownProbe), !waitFor([this] { return wire.endsWith("TL"); })))
            return false;
        if (answering)
            peer->write("TL");
        wire.clear();
        peer->setSslConfiguration(id.configuration());
        answering ? peer->startServerEncryption() : peer->startClientEncryption();
        return waitFor([this] { return peer->isEncrypted(); }) && waitFor([&] { return wire == (answering ? "RC" : "OK"); });
    }
};

using RawRig = RawRigOf<Party>;

// Stands between a sending and a receiving side. Record passes every byte on; Split and Merge
// re-cut the stream as networks do, by marks where each way's messages end: Split sends every byte
// before the first mark as a segment of its own, a tick apart, and Merge lets bytes go only at a
// mark, so messages travel together. Intercept ends TLS on each side with a certificate of its own,
// commits to that one towards the receiver, and passes on what it reads inside. `seen` keeps every
// byte passed on.
struct Relay : QObject {
    enum Mode { Record, Split, Merge, Intercept };
    struct Leg { QSslSocket *in = nullptr, *out = nullptr; QList<qint64> marks; QByteArray held; qint64 passed = 0; };
    PeerServer server;
    std::unique_ptr<QSslSocket> sender;
    QSslSocket receiver;
    Leg legs[2];
    QTimer tick;
    QByteArray seen;
    // Writes made before a leg's last mark.
    int writes = 0;

    Relay(Mode mode, quint16 receiverPort, QList<qint64> toReceiver = {}, QList<qint64> toSender = {})
    {
        server.listen(QHostAddress::LocalHost, 0);
        const bool recut = mode == Split || mode == Merge;
        connect(&server, &QTcpServer::newConnection, this, [=, this] {
            sender.reset(static_cast<QSslSocket *>(server.nextPendingConnection()));
            receiver.connectToHost(QHostAddress::LocalHost, receiverPort);
            legs[0] = {sender.get(), &receiver, toReceiver, {}, 0}, legs[1] = {&receiver, sender.get(), toSender, {}, 0};
            for (Leg &leg : legs) {
                leg.in->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                connect(leg.in, &QTcpSocket::readyRead, this, [=, this, &leg] {
                    const QByteArray bytes = leg.in->readAll();
                    if (mode == Intercept && leg.in->mode() == QSslSocket::UnencryptedMode)
                        return intercept(leg, bytes);
                    seen += bytes;
                    recut ? void(leg.held += bytes) : void(leg.out->write(bytes));
                });
            }
            if (recut)
                tick.start(2);
        });
        connect(&tick, &QTimer::timeout, this, [=, this] {
            for (Leg &leg : legs) {
                const qint64 reach = leg.passed + leg.held.size();
                qint64 count = mode == Split && leg.passed < leg.marks.first() ? 1 : leg.held.size();
                if (mode == Merge && reach <= leg.marks.last()) {
                    count = 0;
                    for (const qint64 mark : std::as_const(leg.marks))
                        count = mark <= reach ? mark - leg.passed : count;
                }
                if (leg.held.isEmpty() || count <= 0 || leg.out->state() != QAbstractSocket::ConnectedState)
                    continue;
                writes += leg.passed < leg.marks.last();
                leg.out->write(leg.held.left(count)), leg.out->flush();
                leg.held.remove(0, count), leg.passed += count;
            }
        });
    }

    // Answers the sender's probe and sends the receiver its own, then TLS on each side.
    void intercept(Leg &leg, const QByteArray &bytes)
    {
        const bool fromSender = &leg == &legs[0];
        leg.held += bytes;
        if (fromSender ? leg.held.size() < 66 : !leg.held.endsWith("TL"))
            return;
        if (fromSender)
            sender->write("TL"), receiver.write(PeerIdentity::a().probe());
        leg.in->setSslConfiguration(PeerIdentity::a().configuration());
        fromSender ? leg.in->startServerEncryption() : leg.in->startClientEncryption();
    }
};
