#include "hostilepeer.h"

#include <sys/socket.h>

class TstHostile : public QObject
{
    Q_OBJECT

private slots:
    void peersThatCloseAtOnceEndEachWaitSoundly()
    {
        const quint16 port = freePort();
        Party rcv(TransferSettings::Receive, port, QStringLiteral("unused"));
        int fds = 0;
        for (int round = 0; round < 30; ++round) {
            if (round)
                rcv.ended = false, rcv.transfer.start();
            QVERIFY(rcv.listening());
            // A burst of peers that leave at once, some politely, some with a reset: one is taken,
            // the port closes on the rest.
            std::vector<std::unique_ptr<QTcpSocket>> peers;
            for (int i = 0; i < 1 + round % 4; ++i) {
                peers.push_back(std::make_unique<QTcpSocket>());
                peers.back()->connectToHost(QHostAddress::LocalHost, port);
                QVERIFY(peers.back()->waitForConnected(3000) || i > 0);
                (round + i) % 2 ? peers.back()->abort() : peers.back()->disconnectFromHost();
            }
            QTRY_COMPARE(rcv.status, QStringLiteral("Error ! Connection closed by sender."));
            QVERIFY(rcv.ended && !rcv.finished);
            rcv.transfer.stop();
            // Counted after the first wait: the first announcement starts Qt's bus thread for good.
            if (round == 0)
                QTest::qWait(50), fds = openFds();
        }
        QTest::qWait(50);
        QCOMPARE(openFds(), fds);
    }

    void megabyteOfTextBeforeTheOfferChangesNothing()
    {
        QByteArray text;
        while (text.size() < 1024 * 1024)
            text += "lorem ipsum dolor sit amet, consectetur adipiscing elit\r\n";
        for (const bool sending : {false, true}) {
            RawRig rig;
            const QString file = rig.dir.filePath(QStringLiteral("file.bin"));
            const QByteArray content = randomBytes(10000);
            QVERIFY(!sending || writeFile(file, content));
            QVERIFY(rig.open(sending ? TransferSettings::Send : TransferSettings::Receive, file));
            Transfer &transfer = rig.side->transfer;
            const QString before = rig.side->status;
            qsizetype largestRead = 0, taken = 0;
            // Runs after the transfer's own handler has taken the read.
            QObject::connect(transfer.NT, &TcpControl::DataArrival, &transfer,
                             [&] { largestRead = qMax(largestRead, transfer.InMsg.size()), taken += transfer.InMsg.size(); });
            rig.peer->write(text);
            QTRY_COMPARE(taken, text.size());
            // Read a bounded piece at a time, never gathered whole, and answered with nothing.
            QVERIFY(largestRead > 0 && largestRead <= TcpControl::ReadBufferSize);
            QVERIFY(rig.side->status == before && rig.side->chooser.shown.isEmpty() && rig.wire == (sending ? "RC" : "OK"));
            // The proper exchange that follows goes through.
            rig.peer->write(sending ? "OK" : "RCFNfile.bin\\ 10000");
            QTRY_VERIFY(rig.wire.endsWith(sending ? "FNfile.bin\\ 10000" : "OKSD"));
            rig.peer->write(sending ? "SD" : content);
            QTRY_COMPARE(rig.side->status, finished("9.8"));
            QTRY_COMPARE(sending ? rig.wire.right(content.size()) : contentOf(file), content);
        }
    }

    void peerThatResetsRightAfterTheGoAheadEndsTheSenderOnceAndUnfinished()
    {
        // The reset is there before the first piece goes, so the pump's own send finds it: a plain
        // file goes by sendfile, a folder by pieces read as they go.
        for (const bool folder : {false, true}) {
            RawRig rig;
            const QString path = rig.dir.filePath(folder ? QStringLiteral("Trip") : QStringLiteral("big.bin"));
            QVERIFY(folder ? QDir().mkpath(path) && writeFile(path + QStringLiteral("/a.bin"), randomBytes(32 * 1024 * 1024))
                           : writeFile(path, randomBytes(32 * 1024 * 1024)));
            QVERIFY(rig.open(TransferSettings::Send, path));
            Transfer &snd = rig.side->transfer;
            int ends = 0;
            qint64 reportedAfterEnd = -1;
            QObject::connect(&snd, &Transfer::ended, &snd, [&] { ++ends; });
            QObject::connect(&snd, &Transfer::progressed, &snd, [&](qint64 done) { reportedAfterEnd = ends ? done : -1; });
            rig.peer->write("OK");
            QTRY_VERIFY(rig.wire.contains("FN"));
            rig.peer->write("SD");
            QVERIFY(rig.peer->waitForBytesWritten(1000));
            const linger reset{1, 0};
            setsockopt(int(rig.peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            rig.peer->abort();
            QTRY_VERIFY(rig.side->ended);
            QTest::qWait(200);
            QVERIFY2(!rig.side->finished && ends == 1, qPrintable(QString::number(ends)));
            QCOMPARE(rig.side->status, QStringLiteral("Error ! Connection closed by reciever."));
            // Nothing claims, after the end, that more went than the kernel took.
            QVERIFY2(reportedAfterEnd < 32 * 1024 * 1024, qPrintable(QString::number(reportedAfterEnd)));
        }
    }

    void peerThatStopsReadingHoldsTheSenderBoundedAndGetsEverythingWhenItReadsAgain()
    {
        RawRig rig;
        // The peer's kernel takes little, so the sender's socket fills soon.
        QVERIFY(rig.server.listen(QHostAddress::LocalHost, 0));
        const int small = 4096;
        setsockopt(int(rig.server.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const QString path = rig.dir.filePath(QStringLiteral("big.bin"));
        const QByteArray content = randomBytes(64 * 1024 * 1024);
        QVERIFY(writeFile(path, content));
        QVERIFY(rig.open(TransferSettings::Send, path));
        Transfer &snd = rig.side->transfer;
        QObject::disconnect(rig.peer.get(), &QTcpSocket::readyRead, nullptr, nullptr);
        rig.peer->setReadBufferSize(small);
        rig.peer->write("OK");
        QTRY_VERIFY(rig.peer->bytesAvailable() > 0);
        rig.peer->write("SD");
        // Stalled: the sender reads no further than its bound ahead of what the kernel took.
        qint64 seen = -1;
        for (QDeadlineTimer deadline(20000); seen != snd.BytesDone && !deadline.hasExpired();) {
            seen = snd.BytesDone;
            QTest::qWait(300);
        }
        QVERIFY(seen > 0 && seen < 16 * 1024 * 1024);
        // A plain file in the clear: the kernel sends it from the page cache, within its own bound.
        QVERIFY2(snd.NT->bytesQueued() <= Transfer::FileQueueBound, qPrintable(QString::number(snd.NT->bytesQueued())));
        QVERIFY(!rig.side->ended);

        // Read again: every byte arrives, each once, and the sender finishes.
        QByteArray got;
        QObject::connect(rig.peer.get(), &QTcpSocket::readyRead, rig.peer.get(), [&] { got += rig.peer->readAll(); });
        rig.peer->setReadBufferSize(0);
        got += rig.peer->readAll();
        QTRY_VERIFY_WITH_TIMEOUT(rig.side->ended, 30000);
        QCOMPARE(rig.side->status, QStringLiteral("Finished. (65536 KB)"));
        const QByteArray offer = "FNbig.bin\\ 67108864"; // "RC" was read before
        QTRY_COMPARE(got.size(), offer.size() + content.size());
        QVERIFY(got == offer + content);
        snd.stop();
        QVERIFY(!isOpenHere(path));
    }

    void secondPeerIsRefusedWhileTheFirstTransferGoesOn()
    {
        RawRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("out.bin"));
        const QByteArray content = randomBytes(40000);
        QVERIFY(rig.open(TransferSettings::Receive, target));
        rig.peer->write("RCFNdata.bin\\ 40000");
        QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
        rig.peer->write(content.left(20000));
        QTRY_COMPARE(rig.side->transfer.BytesDone, 20000);
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, rig.side->transfer.NT->LocalPort);
        QTRY_COMPARE(second.error(), QAbstractSocket::ConnectionRefusedError);
        rig.peer->write(content.sliced(20000));
        QTRY_COMPARE(rig.side->status, finished("39.1"));
        QCOMPARE(contentOf(target), content);
    }

    void scriptsOfRandomBytesEndSoundlyOnEitherSideInEveryState()
    {
        // The fuzzer's corpus first, then scripts of random blocks for each side and state.
        QList<QByteArray> scripts;
        const QDir corpus(QStringLiteral(VELTRANE_CORPUS));
        for (const QString &name : corpus.entryList(QDir::Files))
            scripts << contentOf(corpus.filePath(name));
        QVERIFY(scripts.size() >= 8);
        // A file of 100 bytes in 1-byte blocks, and one overrun by a block that carries more.
        QByteArray single;
        for (char c : randomBytes(100))
            single += '\0' + QByteArray(1, c);
        scripts << HostilePeer::script(false, HostilePeer::DuringFile, 99, single)
                << HostilePeer::script(false, HostilePeer::DuringFile, 99, char(59) + randomBytes(60) + char(199) + randomBytes(200));
        // Blocks open with "OK" or "SD" in turn, the messages that move a sender on.
        QRandomGenerator random(1001);
        for (int i = 0; i < 48; ++i) {
            QByteArray blocks;
            for (int b = random.bounded(1, 8); b > 0; --b) {
                const QByteArray block = randomBytes(random.bounded(2, 257), random.generate());
                blocks += char(block.size() - 1) + block.sliced(2).prepend(b % 2 ? "SD" : "OK");
            }
            scripts << HostilePeer::script(i % 2, HostilePeer::Stage(i / 2 % 4), quint16(random.bounded(65536)), blocks);
        }
        // Where TLS belongs after the probe or "TL": a record header that promises more than comes, then noise.
        for (int i = 0; i < 8; ++i) {
            const QByteArray noise = randomBytes(random.bounded(2, 200), random.generate());
            scripts << HostilePeer::script(i % 2, HostilePeer::Private, 100, i < 4 ? char(4) + QByteArray("\x16\x03\x03\x40\x01") + char(noise.size() - 1) + noise
                                                                             : char(noise.size() - 1) + noise);
        }
        for (const QByteArray &script : std::as_const(scripts)) {
            const QString broken = HostilePeer::play(script);
            QVERIFY2(broken.isEmpty(), qPrintable(broken + " in " + script.toHex()));
        }
    }
};

QTEST_GUILESS_MAIN(TstHostile)
#include "tst_hostile.moc"
