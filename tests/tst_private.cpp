#include "datarows.h"
#include "exchangerig.h"
#include "transfer/statustext.h"

#include <QProcess>

namespace {
const QString NotPrivate = QStringLiteral("Error ! The connection could not be made private.");
using Broken = std::tuple<quint8, QByteArray, QByteArray, TransferTiming>;

// Stands between our side and an openssl peer, which knows nothing of the probe: it speaks the
// clear part for the peer's certificate itself, then passes TLS on as it comes, every byte alone,
// or held and merged into lumps. A cut closes both ends once that many TLS bytes have gone one way.
struct Splice : QObject {
    enum Mode { Pass, Split, Merge, Cut };
    struct Leg { QTcpSocket *in = nullptr, *out = nullptr; QByteArray held; qint64 passed = 0, cutAt = -1; };
    Mode mode;
    std::unique_ptr<QTcpSocket> ours, peer;
    Leg toOurs, toPeer;
    QTimer tick;
    bool splicing = false;

    explicit Splice(Mode m) : mode(m)
    {
        connect(&tick, &QTimer::timeout, this, [this] {
            for (Leg *leg : {&toOurs, &toPeer})
                pass(*leg);
        });
        tick.start(mode == Merge ? 30 : 1);
    }
    // Joins our side's connection to the peer's once the clear part is over.
    void join(QTcpSocket *ourSide, QTcpSocket *peerSide)
    {
        ours.reset(ourSide), peer.reset(peerSide);
        toOurs.in = peerSide, toOurs.out = ourSide, toPeer.in = ourSide, toPeer.out = peerSide;
        for (QTcpSocket *socket : {ourSide, peerSide})
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        splicing = true;
        for (Leg *leg : {&toOurs, &toPeer}) {
            connect(leg->in, &QTcpSocket::readyRead, this, [this, leg] {
                leg->held += leg->in->readAll();
                if (mode == Pass || mode == Cut)
                    pass(*leg);
            });
            leg->held += leg->in->readAll();
        }
    }
    void pass(Leg &leg)
    {
        if (!splicing || leg.held.isEmpty() || leg.out->state() != QAbstractSocket::ConnectedState)
            return;
        qint64 count = mode == Split ? 1 : leg.held.size();
        if (leg.cutAt >= 0)
            count = qMin(count, leg.cutAt - leg.passed);
        leg.out->write(leg.held.left(count)), leg.out->flush();
        leg.held.remove(0, count), leg.passed += count;
        if (leg.cutAt >= 0 && leg.passed >= leg.cutAt) {
            leg.out->waitForBytesWritten(1000);
            ours->abort(), peer->abort();
        }
    }
};

// The certificate our side showed, from openssl's log of the handshake messages it received:
// the first entry of the Certificate message (type, length, context, list length, entry length).
QSslCertificate certificateIn(const QString &log)
{
    QByteArray message;
    bool inside = false;
    for (const QByteArray &line : contentOf(log).split('\n')) {
        if (line.startsWith("<<<") || line.startsWith(">>>"))
            inside = line.startsWith("<<<") && line.endsWith("], Certificate");
        else if (inside)
            message += QByteArray::fromHex(line);
    }
    if (message.size() < 11 || message[0] != 0x0b)
        return QSslCertificate();
    const int at = 5 + uchar(message[4]) + 3;
    const int length = uchar(message[at]) << 16 | uchar(message[at + 1]) << 8 | uchar(message[at + 2]);
    return QSslCertificate(message.mid(at + 3, length), QSsl::Der);
}

bool waitForOutput(QProcess &process, QByteArray &out, const QByteArray &wanted, int ms = 20000)
{
    return waitFor([&] { return out += process.readAllStandardOutput(), out.contains(wanted); }, ms);
}

using Foreign = std::tuple<quint8, Splice::Mode>;
}

class TstPrivate : public QObject
{
    Q_OBJECT

private slots:
    void testPeerSeesTheCodeItWorksOutAndSpeaksTheHandshakeInside()
    {
        RawRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("saved"));
        QVERIFY(rig.open(TransferSettings::Receive, target));
        Party &party = *rig.side;
        QVERIFY(rig.turnPrivate(PeerIdentity::a(), PeerIdentity::a().probe()));
        const QString code = codeOf(PeerIdentity::a().certificate, rig.peer->peerCertificate());
        QTRY_COMPARE(party.title, "Veltrane (" + code + ")");
        rig.peer->write("RC");
        QTRY_COMPARE(party.status, QStringLiteral("Connected. Waiting for file ..."));
        rig.peer->write("FNnotes.txt\\ 5000");
        QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
        QCOMPARE(party.chooser.shown.first().name, QStringLiteral("notes.txt"));
        const QByteArray content = randomBytes(5000);
        rig.peer->write(content);
        QTRY_COMPARE(party.status, finished("4.9"));
        QCOMPARE(contentOf(target), content);

        // The sending side works the code out the same way.
        RawRig sending;
        const QString source = sending.dir.filePath(QStringLiteral("notes.txt"));
        QVERIFY(writeFile(source, content));
        QVERIFY(sending.reach(TransferSettings::Send, source, QuickTiming));
        QVERIFY(sending.turnPrivate(PeerIdentity::a()));
        QCOMPARE(sending.side->title, "Veltrane (" + codeOf(sending.peer->peerCertificate(), PeerIdentity::a().certificate) + ")");
        sending.peer->write("OK");
        QTRY_COMPARE(sending.wire, QByteArray("RCFNnotes.txt\\ 5000"));
    }

    void brokenPrivatePeersEndInTheSentenceAndWriteNothing_data()
    {
        const TransferTiming shortLimit{.offerSettleMs = 20, .privateLimitMs = 300};
        QTest::addColumn<Broken>("row");
        // The side under test; what the peer says first; what follows "TL" or the probe (nothing: TLS).
        QTest::newRow("a probe that does not match the certificate")
            << Broken{TransferSettings::Receive, "TL" + QByteArray(64, 'a'), {}, QuickTiming};
        QTest::newRow("a probe, then silence") << Broken{TransferSettings::Receive, PeerIdentity::a().probe(), "-", shortLimit};
        QTest::newRow("a probe, then no TLS")
            << Broken{TransferSettings::Receive, PeerIdentity::a().probe(), "GET / HTTP/1.0\r\n\r\n", QuickTiming};
        QTest::newRow("TL, then silence") << Broken{TransferSettings::Send, "TL", "-", shortLimit};
        QTest::newRow("TL, then no TLS") << Broken{TransferSettings::Send, "TL", "HTTP/1.0 200 OK\r\n\r\nhello", QuickTiming};
        // Kept whole, every arrival would copy all that came before it.
        QTest::newRow("a flood of OK before TL") << Broken{TransferSettings::Send, QByteArray("OK").repeated(100000), "-", QuickTiming};
    }
    void brokenPrivatePeersEndInTheSentenceAndWriteNothing()
    {
        QFETCH(Broken, row);
        const auto &[mode, first, then, timing] = row;
        RawRig rig;
        const QString file = rig.dir.filePath(QStringLiteral("file.bin"));
        QVERIFY(mode == TransferSettings::Receive || writeFile(file, randomBytes(1000)));
        QVERIFY(rig.reach(mode, file, timing));
        QVERIFY(mode == TransferSettings::Receive || waitFor([&] { return isProbe(rig.probe); }));
        rig.peer->write(first);
        QVERIFY(mode == TransferSettings::Send || waitFor([&] { return rig.wire.endsWith("TL"); }));
        if (then.isEmpty()) {
            rig.peer->setSslConfiguration(PeerIdentity::a().configuration());
            rig.peer->startClientEncryption();
        } else if (then != "-") {
            rig.peer->write(then);
        }
        QTRY_COMPARE(rig.side->status, NotPrivate);
        QVERIFY(rig.side->ended && !rig.side->finished);
        QCOMPARE(rig.side->title, QStringLiteral("Veltrane"));
        QTRY_COMPARE(rig.peer->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(rig.side->chooser.shown.isEmpty());
        QCOMPARE(QDir(rig.dir.path()).entryList(QDir::Files), mode == TransferSettings::Send ? QStringList{"file.bin"} : QStringList{});
    }

    void probesThatAreNotOneAreIgnored()
    {
        // Short, long, upper case, or split and then spoilt: the receiver goes on in the clear.
        for (const QByteArrayList &pieces : {QByteArrayList{"TL" + QByteArray(63, 'e')}, {"TL" + QByteArray(64, 'E')},
                                              {"TL" + QByteArray(30, '0'), "RC"}, {"TL" + QByteArray(65, '1')}}) {
            RawRig rig;
            const QString target = rig.dir.filePath(QStringLiteral("saved"));
            QVERIFY(rig.open(TransferSettings::Receive, target));
            for (const QByteArray &piece : pieces) {
                rig.peer->write(piece);
                QTRY_VERIFY(rig.side->transfer.InMsg.endsWith(QString::fromLatin1(piece)));
            }
            rig.peer->write("RC");
            QTRY_COMPARE(rig.side->status, QStringLiteral("Connected. Waiting for file ..."));
            rig.peer->write("FNnotes.txt\\ 3");
            QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
            rig.peer->write("abc");
            QTRY_COMPARE(rig.side->status, finished("0"));
            QCOMPARE(contentOf(target), QByteArray("abc"));
            QCOMPARE(rig.side->title, QStringLiteral("Veltrane (not encrypted)"));
        }
    }

    void whoeverConnectsAndSaysNothingUsableIsLetGoForTheRealSender_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<bool>("letGo");
        QTest::newRow("nothing") << QByteArray() << true;
        QTest::newRow("65 of the probe's 66 bytes") << PeerIdentity::a().probe().chopped(1) << true;
        QTest::newRow("text that matches nothing") << QByteArray("GET / HTTP/1.0\r\n\r\n") << true;
        QTest::newRow("a sender of the design") << QByteArray("RC") << false;
    }
    void whoeverConnectsAndSaysNothingUsableIsLetGoForTheRealSender()
    {
        QFETCH(QByteArray, first);
        QFETCH(bool, letGo);
        QTemporaryDir dir;
        const quint16 port = freePort();
        Party receiver(TransferSettings::Receive, port, dir.filePath(QStringLiteral("copy")), {.offerSettleMs = 20, .privateLimitMs = 300});
        QVERIFY(receiver.listening());
        QTcpSocket holder;
        holder.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(holder.waitForConnected(3000));
        holder.write(first);
        if (!letGo) {
            QTest::qWait(900);
            QCOMPARE(holder.state(), QAbstractSocket::ConnectedState);
            QCOMPARE(receiver.status, QStringLiteral("Connected. Waiting for file ..."));
            return;
        }
        QTRY_COMPARE(holder.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(receiver.status, QStringLiteral("Waiting for connection ..."));
        QVERIFY(!receiver.ended);
        QVERIFY(writeFile(dir.filePath(QStringLiteral("source")), "hello"));
        Party sender(TransferSettings::Send, port, dir.filePath(QStringLiteral("source")));
        QTRY_COMPARE(receiver.status, finished("0"));
        QTRY_COMPARE(sender.status, finished("0"));
        QCOMPARE(contentOf(dir.filePath(QStringLiteral("copy"))), QByteArray("hello"));
        QVERIFY(CodeTitle.match(receiver.title).hasMatch());
        QCOMPARE(sender.title, receiver.title);
    }

    void openSslPeerOnEitherSideMovesTheFileAndShowsTheCode_data()
    {
        QTest::addColumn<Foreign>("row");
        for (const quint8 mode : {TransferSettings::Send, TransferSettings::Receive}) {
            const QString side = mode == TransferSettings::Send ? "ours sends" : "ours receives";
            QTest::newRow(qPrintable(side + ", records as they come")) << Foreign{mode, Splice::Pass};
            QTest::newRow(qPrintable(side + ", every byte alone")) << Foreign{mode, Splice::Split};
            QTest::newRow(qPrintable(side + ", records merged")) << Foreign{mode, Splice::Merge};
            QTest::newRow(qPrintable(side + ", closed inside a record")) << Foreign{mode, Splice::Cut};
        }
    }
    void openSslPeerOnEitherSideMovesTheFileAndShowsTheCode()
    {
        QFETCH(Foreign, row);
        const auto [mode, cut] = row;
        const bool sending = mode == TransferSettings::Send;
        QTemporaryDir dir;
        // Small where every byte goes alone; large enough otherwise that the data runs to many records,
        // and a sender's to more than the sockets on the way hold.
        const QByteArray content = randomBytes(cut == Splice::Split ? 1500 : cut == Splice::Cut && sending ? 32 << 20 : 300000);
        const QString file = dir.filePath(QStringLiteral("notes.txt")), log = dir.filePath(QStringLiteral("messages"));
        QVERIFY(!sending || writeFile(file, content));
        const QByteArray offer = "FNnotes.txt\\ " + QByteArray::number(content.size());
        const QString pem = QStringLiteral(VELTRANE_TEST_PEM);
        Splice splice(cut);
        QProcess openssl;
        QByteArray out;
        const quint16 ourPort = freePort(), peerPort = freePort();
        std::optional<Party> party;

        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, sending ? ourPort : peerPort));
        if (sending) {
            openssl.start("openssl", {"s_server", "-accept", QString::number(peerPort), "-tls1_3", "-cert", pem, "-key", pem,
                                      "-verify", "1", "-naccept", "1", "-quiet", "-msg", "-msgfile", log});
            QVERIFY(openssl.waitForStarted());
            party.emplace(mode, ourPort, file);
            QVERIFY(waitFor([&] { return listener.hasPendingConnections(); }));
            // A receiving Veltrane greets, reads the probe and answers it.
            QTcpSocket *ours = listener.nextPendingConnection();
            ours->setParent(nullptr);
            ours->write("OK");
            QVERIFY(waitFor([&] { return ours->bytesAvailable() >= 66; }));
            QVERIFY(isProbe(ours->read(66)));
            ours->write("TL"), ours->flush();
            auto *peer = new QTcpSocket;
            QVERIFY(waitFor([&] {
                if (peer->state() == QAbstractSocket::UnconnectedState)
                    peer->connectToHost(QHostAddress::LocalHost, peerPort);
                return peer->state() == QAbstractSocket::ConnectedState;
            }, 10000));
            splice.join(ours, peer);
            QVERIFY(waitForOutput(openssl, out, "RC"));
            openssl.write("OK");
            QVERIFY(waitForOutput(openssl, out, offer));
            if (cut == Splice::Cut)
                splice.toPeer.cutAt = splice.toPeer.passed + 8000;
            openssl.write("SD");
            // A private sender finishes on the receiver's "OK" once every byte is in; without it
            // the sender would wait out privateLimitMs, taking the peer for an earlier version.
            if (cut != Splice::Cut) {
                const qsizetype whole = 2 + offer.size() + content.size();
                QVERIFY(waitFor([&] { return out += openssl.readAllStandardOutput(), out.size() >= whole; }, 30000));
                openssl.write("OK");
            }
        } else {
            party.emplace(mode, ourPort, file);
            QVERIFY(party->listening());
            auto *ours = new QTcpSocket;
            ours->connectToHost(QHostAddress::LocalHost, ourPort);
            QVERIFY(waitFor([&] { return ours->bytesAvailable() >= 2; }));
            QCOMPARE(ours->readAll(), QByteArray("OK"));
            ours->write(PeerIdentity::a().probe());
            QVERIFY(waitFor([&] { return ours->bytesAvailable() >= 2; }));
            QCOMPARE(ours->readAll(), QByteArray("TL"));
            openssl.start("openssl", {"s_client", "-connect", "127.0.0.1:" + QString::number(peerPort), "-tls1_3", "-cert", pem,
                                      "-key", pem, "-quiet", "-nocommands", "-msg", "-msgfile", log});
            QVERIFY(waitFor([&] { return listener.hasPendingConnections(); }, 10000));
            splice.join(ours, listener.nextPendingConnection());
            splice.peer->setParent(nullptr);
            QVERIFY(waitForOutput(openssl, out, "OK"));
            openssl.write("RC" + offer);
            QVERIFY(waitForOutput(openssl, out, "OKSD"));
            if (cut == Splice::Cut)
                splice.toOurs.cutAt = splice.toOurs.passed + 8000;
            openssl.write(content);
        }
        QTRY_VERIFY_WITH_TIMEOUT(party->ended, 30000);
        if (cut == Splice::Cut) {
            QCOMPARE(party->status, sending ? QStringLiteral("Error ! Connection closed by reciever.")
                                            : QStringLiteral("Error ! Connection closed by sender."));
            QVERIFY(!party->finished);
            QVERIFY(party->transfer.BytesDone < content.size());
            QVERIFY(!QFile::exists(file) || sending || contentOf(file).size() < content.size());
            return;
        }
        QCOMPARE(party->status, finished(StatusText::kilobytes(content.size())));
        QVERIFY(party->finished);
        if (sending) {
            QVERIFY(out == "RC" + offer + content);
        } else {
            QCOMPARE(contentOf(file), content);
            // The receiver's word after the last byte, and nothing more.
            QVERIFY(waitForOutput(openssl, out, "OKSDOK"));
            QTest::qWait(50);
            out += openssl.readAllStandardOutput();
            QCOMPARE(out, QByteArray("OKSDOK"));
        }
        // openssl writes its log of the handshake as it ends.
        splice.ours->abort(), splice.peer->abort();
        QVERIFY(openssl.waitForFinished(10000));
        const QSslCertificate ourCertificate = certificateIn(log), peers = PeerIdentity::a().certificate;
        QVERIFY(!ourCertificate.isNull());
        QCOMPARE(party->title, "Veltrane (" + (sending ? codeOf(ourCertificate, peers) : codeOf(peers, ourCertificate)) + ")");
    }

    void manInTheMiddleLeavesTheTwoSidesWithDifferentCodes()
    {
        for (int run = 0; run < 3; ++run) {
            QTemporaryDir dir;
            const quint16 port = freePort();
            Party receiver(TransferSettings::Receive, port, dir.filePath(QStringLiteral("copy")));
            QVERIFY(receiver.listening());
            Relay middle(Relay::Intercept, port);
            QVERIFY(writeFile(dir.filePath(QStringLiteral("source")), "hello"));
            Party sender(TransferSettings::Send, middle.server.serverPort(), dir.filePath(QStringLiteral("source")));
            QTRY_VERIFY(CodeTitle.match(sender.title).hasMatch() && CodeTitle.match(receiver.title).hasMatch());
            QVERIFY2(sender.title != receiver.title, qPrintable(sender.title));
        }
    }
};

QTEST_GUILESS_MAIN(TstPrivate)
#include "tst_private.moc"
