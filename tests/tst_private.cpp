#include "datarows.h"
#include "transferrig.h"

namespace {
const QString NotPrivate = QStringLiteral("Error ! The connection could not be made private.");
using Broken = std::tuple<quint8, QByteArray, QByteArray, TransferTiming>;
}

class TstPrivate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { QFAIL("the program ended"); }); }

    void testPeerSeesTheCodeItWorksOutAndSpeaksTheHandshakeInside()
    {
        RawRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("saved"));
        QVERIFY(rig.open(MainWin::Receive, target));
        ProcWin &win = rig.win();
        QVERIFY(rig.turnPrivate(PeerIdentity::a(), PeerIdentity::a().probe()));
        const QString code = codeOf(PeerIdentity::a().certificate, rig.peer->peerCertificate());
        QTRY_COMPARE(win.Caption(), "Veltrane (" + code + ")");
        rig.peer->write("RC");
        QTRY_COMPARE(win.StatBox->text(), QStringLiteral("Connected. Waiting for file ..."));
        rig.peer->write("FNnotes.txt\\ 5000");
        QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
        QCOMPARE(rig.side->dg->shown.first().FileName, QStringLiteral("notes.txt"));
        const QByteArray content = randomBytes(5000);
        rig.peer->write(content);
        QTRY_COMPARE(win.StatBox->text(), finished("4.9"));
        QCOMPARE(contentOf(target), content);

        // The sending side works the code out the same way.
        RawRig sending;
        const QString source = sending.dir.filePath(QStringLiteral("notes.txt"));
        QVERIFY(writeFile(source, content));
        QVERIFY(sending.reach(MainWin::Send, source, QuickTiming));
        QVERIFY(sending.turnPrivate(PeerIdentity::a()));
        QCOMPARE(sending.win().Caption(), "Veltrane (" + codeOf(sending.peer->peerCertificate(), PeerIdentity::a().certificate) + ")");
        sending.peer->write("OK");
        QTRY_COMPARE(sending.wire, QByteArray("RCFNnotes.txt\\ 5000"));
    }

    void brokenPrivatePeersEndInTheSentenceAndWriteNothing_data()
    {
        const TransferTiming shortLimit{.offerSettleMs = 20, .privateLimitMs = 300};
        QTest::addColumn<Broken>("row");
        // The window's side; what the peer says first; what follows "TL" or the probe (nothing: TLS).
        QTest::newRow("a probe that does not match the certificate")
            << Broken{MainWin::Receive, "TL" + QByteArray(64, 'a'), {}, QuickTiming};
        QTest::newRow("a probe, then silence") << Broken{MainWin::Receive, PeerIdentity::a().probe(), "-", shortLimit};
        QTest::newRow("a probe, then no TLS")
            << Broken{MainWin::Receive, PeerIdentity::a().probe(), "GET / HTTP/1.0\r\n\r\n", QuickTiming};
        QTest::newRow("TL, then silence") << Broken{MainWin::Send, "TL", "-", shortLimit};
        QTest::newRow("TL, then no TLS") << Broken{MainWin::Send, "TL", "HTTP/1.0 200 OK\r\n\r\nhello", QuickTiming};
        // Kept whole, every arrival would copy all that came before it.
        QTest::newRow("a flood of OK before TL") << Broken{MainWin::Send, QByteArray("OK").repeated(100000), "-", QuickTiming};
    }
    void brokenPrivatePeersEndInTheSentenceAndWriteNothing()
    {
        QFETCH(Broken, row);
        const auto &[mode, first, then, timing] = row;
        RawRig rig;
        const QString file = rig.dir.filePath(QStringLiteral("file.bin"));
        QVERIFY(mode == MainWin::Receive || writeFile(file, randomBytes(1000)));
        QVERIFY(rig.reach(mode, file, timing));
        QVERIFY(mode == MainWin::Receive || waitFor([&] { return isProbe(rig.probe); }));
        rig.peer->write(first);
        QVERIFY(mode == MainWin::Send || waitFor([&] { return rig.wire.endsWith("TL"); }));
        if (then.isEmpty()) {
            rig.peer->setSslConfiguration(PeerIdentity::a().configuration());
            rig.peer->startClientEncryption();
        } else if (then != "-") {
            rig.peer->write(then);
        }
        ProcWin &win = rig.win();
        QTRY_COMPARE(win.StatBox->text(), NotPrivate);
        QCOMPARE(win.CDBut->text(), QStringLiteral("Done"));
        QCOMPARE(win.Caption(), QStringLiteral("Veltrane"));
        QTRY_COMPARE(rig.peer->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(rig.side->dg->shown.isEmpty());
        QCOMPARE(QDir(rig.dir.path()).entryList(QDir::Files), mode == MainWin::Send ? QStringList{"file.bin"} : QStringList{});
    }

    void probesThatAreNotOneAreIgnored()
    {
        // Short, long, upper case, or split and then spoilt: the receiver goes on in the clear.
        for (const QByteArrayList &pieces : {QByteArrayList{"TL" + QByteArray(63, 'e')}, {"TL" + QByteArray(64, 'E')},
                                              {"TL" + QByteArray(30, '0'), "RC"}, {"TL" + QByteArray(65, '1')}}) {
            RawRig rig;
            const QString target = rig.dir.filePath(QStringLiteral("saved"));
            QVERIFY(rig.open(MainWin::Receive, target));
            for (const QByteArray &piece : pieces) {
                rig.peer->write(piece);
                QTRY_VERIFY(rig.win().InMsg.endsWith(QString::fromLatin1(piece)));
            }
            rig.peer->write("RC");
            QTRY_COMPARE(rig.win().StatBox->text(), QStringLiteral("Connected. Waiting for file ..."));
            rig.peer->write("FNnotes.txt\\ 3");
            QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
            rig.peer->write("abc");
            QTRY_COMPARE(rig.win().StatBox->text(), finished("0"));
            QCOMPARE(contentOf(target), QByteArray("abc"));
            QCOMPARE(rig.win().Caption(), QStringLiteral("Veltrane (not encrypted)"));
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
        Side receiver(MainWin::Receive, port, dir.filePath(QStringLiteral("copy")), {.offerSettleMs = 20, .privateLimitMs = 300});
        QVERIFY(receiver.listening());
        QTcpSocket holder;
        holder.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(holder.waitForConnected(3000));
        holder.write(first);
        if (!letGo) {
            QTest::qWait(900);
            QCOMPARE(holder.state(), QAbstractSocket::ConnectedState);
            QCOMPARE(receiver.win.StatBox->text(), QStringLiteral("Connected. Waiting for file ..."));
            return;
        }
        QTRY_COMPARE(holder.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(receiver.win.StatBox->text(), QStringLiteral("Waiting for connection ..."));
        QCOMPARE(receiver.win.CDBut->text(), QStringLiteral("Cancel"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("source")), "hello"));
        Side sender(MainWin::Send, port, dir.filePath(QStringLiteral("source")));
        QTRY_COMPARE(receiver.win.StatBox->text(), finished("0"));
        QTRY_COMPARE(sender.win.StatBox->text(), finished("0"));
        QCOMPARE(contentOf(dir.filePath(QStringLiteral("copy"))), QByteArray("hello"));
        QVERIFY(CodeTitle.match(receiver.win.Caption()).hasMatch());
        QCOMPARE(sender.win.Caption(), receiver.win.Caption());
    }

    void manInTheMiddleLeavesTheTwoWindowsWithDifferentCodes()
    {
        for (int run = 0; run < 3; ++run) {
            QTemporaryDir dir;
            const quint16 port = freePort();
            Side receiver(MainWin::Receive, port, dir.filePath(QStringLiteral("copy")));
            QVERIFY(receiver.listening());
            Relay middle(Relay::Intercept, port);
            QVERIFY(writeFile(dir.filePath(QStringLiteral("source")), "hello"));
            Side sender(MainWin::Send, middle.server.serverPort(), dir.filePath(QStringLiteral("source")));
            QTRY_VERIFY(CodeTitle.match(sender.win.Caption()).hasMatch() && CodeTitle.match(receiver.win.Caption()).hasMatch());
            QVERIFY2(sender.win.Caption() != receiver.win.Caption(), qPrintable(sender.win.Caption()));
        }
    }
};

QTEST_MAIN(TstPrivate)
#include "tst_private.moc"
