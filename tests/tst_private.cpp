#include "datarows.h"
#include "exchangerig.h"

namespace {
const QString NotPrivate = QStringLiteral("Error ! The connection could not be made private.");
using Broken = std::tuple<quint8, QByteArray, QByteArray, TransferTiming>;
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
