#include "datarows.h"
#include "transferrig.h"

#include <QProcess>

namespace {
const QString NotPrivate = QStringLiteral("Error ! The connection could not be made private.");
using Broken = std::tuple<quint8, QByteArray, QByteArray, TransferTiming>;

// Stands between a window and an openssl peer, which knows nothing of the probe: it speaks the
// clear part for the peer's certificate itself, then passes TLS on as it comes, every byte alone,
// or held and merged into lumps. A cut closes both ends once that many TLS bytes have gone one way.
struct Splice : QObject {
    enum Mode { Pass, Split, Merge, Cut };
    struct Leg { QTcpSocket *in = nullptr, *out = nullptr; QByteArray held; qint64 passed = 0, cutAt = -1; };
    Mode mode;
    QTcpServer server;
    std::unique_ptr<QTcpSocket> window, peer;
    Leg toWindow, toPeer;
    QTimer tick;
    QByteArray clear;
    bool splicing = false;

    explicit Splice(Mode m) : mode(m)
    {
        connect(&tick, &QTimer::timeout, this, [this] {
            for (Leg *leg : {&toWindow, &toPeer})
                pass(*leg);
        });
        tick.start(mode == Merge ? 30 : 1);
    }
    // Joins the window's connection to the peer's once the clear part is over.
    void join(QTcpSocket *windowSide, QTcpSocket *peerSide)
    {
        window.reset(windowSide), peer.reset(peerSide);
        toWindow.in = peerSide, toWindow.out = windowSide, toPeer.in = windowSide, toPeer.out = peerSide;
        for (QTcpSocket *socket : {windowSide, peerSide})
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        splicing = true;
        for (Leg *leg : {&toWindow, &toPeer}) {
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
            window->abort(), peer->abort();
        }
    }
};

// The certificate the window showed, from openssl's log of the handshake messages it received:
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

    void openSslPeerOnEitherSideMovesTheFileAndShowsTheCode_data()
    {
        QTest::addColumn<Foreign>("row");
        for (const quint8 mode : {MainWin::Send, MainWin::Receive}) {
            const QString side = mode == MainWin::Send ? "window sends" : "window receives";
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
        const bool sending = mode == MainWin::Send;
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
        const quint16 windowPort = freePort(), peerPort = freePort();
        std::optional<Side> side;

        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, sending ? windowPort : peerPort));
        if (sending) {
            openssl.start("openssl", {"s_server", "-accept", QString::number(peerPort), "-tls1_3", "-cert", pem, "-key", pem,
                                      "-verify", "1", "-naccept", "1", "-quiet", "-msg", "-msgfile", log});
            QVERIFY(openssl.waitForStarted());
            side.emplace(mode, windowPort, file);
            QVERIFY(waitFor([&] { return listener.hasPendingConnections(); }));
            // A receiving Veltrane greets, reads the probe and answers it.
            QTcpSocket *window = listener.nextPendingConnection();
            window->setParent(nullptr);
            window->write("OK");
            QVERIFY(waitFor([&] { return window->bytesAvailable() >= 66; }));
            QVERIFY(isProbe(window->read(66)));
            window->write("TL"), window->flush();
            auto *peer = new QTcpSocket;
            QVERIFY(waitFor([&] {
                if (peer->state() == QAbstractSocket::UnconnectedState)
                    peer->connectToHost(QHostAddress::LocalHost, peerPort);
                return peer->state() == QAbstractSocket::ConnectedState;
            }, 10000));
            splice.join(window, peer);
            QVERIFY(waitForOutput(openssl, out, "RC"));
            openssl.write("OK");
            QVERIFY(waitForOutput(openssl, out, offer));
            if (cut == Splice::Cut)
                splice.toPeer.cutAt = splice.toPeer.passed + 8000;
            openssl.write("SD");
        } else {
            side.emplace(mode, windowPort, file);
            QVERIFY(side->listening());
            auto *window = new QTcpSocket;
            window->connectToHost(QHostAddress::LocalHost, windowPort);
            QVERIFY(waitFor([&] { return window->bytesAvailable() >= 2; }));
            QCOMPARE(window->readAll(), QByteArray("OK"));
            window->write(PeerIdentity::a().probe());
            QVERIFY(waitFor([&] { return window->bytesAvailable() >= 2; }));
            QCOMPARE(window->readAll(), QByteArray("TL"));
            openssl.start("openssl", {"s_client", "-connect", "127.0.0.1:" + QString::number(peerPort), "-tls1_3", "-cert", pem,
                                      "-key", pem, "-quiet", "-nocommands", "-msg", "-msgfile", log});
            QVERIFY(waitFor([&] { return listener.hasPendingConnections(); }, 10000));
            splice.join(window, listener.nextPendingConnection());
            splice.peer->setParent(nullptr);
            QVERIFY(waitForOutput(openssl, out, "OK"));
            openssl.write("RC" + offer);
            QVERIFY(waitForOutput(openssl, out, "OKSD"));
            if (cut == Splice::Cut)
                splice.toWindow.cutAt = splice.toWindow.passed + 8000;
            openssl.write(content);
        }
        ProcWin &win = side->win;
        QTRY_VERIFY_WITH_TIMEOUT(win.CDBut->text() == u"Done", 30000);
        if (cut == Splice::Cut) {
            QCOMPARE(win.StatBox->text(), sending ? QStringLiteral("Error ! Connection closed by reciever.")
                                                  : QStringLiteral("Error ! Connection closed by sender."));
            QVERIFY(win.BytesDone < content.size());
            QVERIFY(!QFile::exists(file) || sending || contentOf(file).size() < content.size());
            return;
        }
        QCOMPARE(win.StatBox->text(), finished(ProcWin::K(content.size())));
        if (sending)
            QVERIFY(waitForOutput(openssl, out, content));
        QCOMPARE(sending ? out : contentOf(file), sending ? "RC" + offer + content : content);
        // openssl writes its log of the handshake as it ends.
        splice.window->abort(), splice.peer->abort();
        QVERIFY(openssl.waitForFinished(10000));
        const QSslCertificate windows = certificateIn(log), peers = PeerIdentity::a().certificate;
        QVERIFY(!windows.isNull());
        QCOMPARE(win.Caption(), "Veltrane (" + (sending ? codeOf(windows, peers) : codeOf(peers, windows)) + ")");
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
