// Folders and several files over the wire, between two transfers and against raw peers.
#include "datarows.h"
#include "tarblocks.h"
#include "treefixture.h"

#include <QProcess>

#include <sys/socket.h>

namespace {
const QString UnsafeName = QStringLiteral("Error ! The folder holds an unsafe name.");
const QString CannotWrite = QStringLiteral("Error ! Could not write file.");
}

class TstBundle : public QObject
{
    Q_OBJECT

private slots:
    void twoTransfersMoveAFolderOrSeveralFilesAndTheyArriveIdentical_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("one folder, given before") << 0;
        QTest::newRow("several files, chosen") << 1;
        QTest::newRow("into a folder that is there, replacing") << 2;
    }
    void twoTransfersMoveAFolderOrSeveralFilesAndTheyArriveIdentical()
    {
        QFETCH(int, way);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("src"))));
        const QString trip = makeTrip(dir.filePath(QStringLiteral("src"))), target = dir.filePath(QStringLiteral("Trip"));
        if (way == 2)
            QVERIFY(QDir().mkpath(target) && writeFile(target + "/keep.txt", "mine") && writeFile(target + "/run.sh", "old"));
        const quint16 port = freePort();
        Party receiver(TransferSettings::Receive, port, target);
        QVERIFY(receiver.listening());
        Party sender(TransferSettings::Send, port, {});
        if (way == 1)
            sender.chooser.chooseAll({trip + "/run.sh", trip + "/a b"});
        else
            sender.settings.Paths = {trip};
        QTRY_VERIFY_WITH_TIMEOUT(sender.ended && receiver.ended, 20000);
        QCOMPARE(receiver.chooser.shown.value(0).name, QStringLiteral("Trip"));
        QVERIFY(receiver.chooser.shown.value(0).bundle);
        // What was chosen before the transfer is not asked for again.
        QCOMPARE(sender.chooser.asked, way == 1 ? 1 : 0);
        QVERIFY2(receiver.finished && receiver.status.startsWith(u"Finished. ("), qPrintable(receiver.status));
        QCOMPARE(sender.status, receiver.status);
        QStringList expected = manifest(trip);
        if (way == 1)
            expected = expected.filter(QRegularExpression(QStringLiteral("^(run\\.sh|a b)[\t/]")));
        QStringList got = manifest(target);
        // Nothing else in a folder that was there is touched.
        if (way == 2) {
            QCOMPARE(contentOf(target + "/keep.txt"), QByteArray("mine"));
            got = got.filter(QRegularExpression(QStringLiteral("^(?!keep\\.txt\t)")));
        }
        QCOMPARE(got, expected);
    }

    void designReceiverGetsATarFileThatGnuTarUnpacks()
    {
        RawRig rig;
        const QString trip = makeTrip(rig.dir.path());
        QVERIFY(rig.open(TransferSettings::Send, {}));
        rig.side->settings.Paths = {trip};
        rig.peer->write("OK");
        QTRY_VERIFY(rig.wire.startsWith("RCFNTrip.tar\\ "));
        const qint64 size = rig.wire.sliced(14).toLongLong();
        QVERIFY(size > 3 * 1024 * 1024);
        const qint64 offerLength = 14 + QByteArray::number(size).size();
        rig.peer->write("SD");
        QTRY_VERIFY_WITH_TIMEOUT(rig.wire.size() == offerLength + size, 10000);
        QVERIFY(writeFile(rig.dir.filePath("Trip.tar"), rig.wire.sliced(offerLength)));
        QDir().mkpath(rig.dir.filePath("out"));
        QCOMPARE(QProcess::execute("tar", {"-xf", rig.dir.filePath("Trip.tar"), "-C", rig.dir.filePath("out")}), 0);
        QCOMPARE(manifest(rig.dir.filePath("out/Trip")), manifest(trip));
        QCOMPARE(rig.side->title, QStringLiteral("Veltrane (not encrypted)"));
    }

    // Which entries are unsafe is the reader's own table (tst_pax); here, what the transfer makes
    // of its verdict: the sentence, the budget from the announced size, nothing outside the folder.
    void hostileBundleStopsAtItsFirstUnsafeEntryAndKeepsWhatCameBefore_data()
    {
        QTest::addColumn<QByteArray>("hostile");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("../escape") << file("box/../escape.txt", "x") << UnsafeName;
        QTest::newRow("a link out, then a file through it") << header("box/out", '2', 0, "../..") + file("box/out/x.txt", "x") << UnsafeName;
        QTest::newRow("folders beyond the announced size") << header("box/PaxHeaders/x", 'x', 1212) + padded("1212 path=box/" + QByteArray("d/").repeated(598) + "x\n")
                                                          + file("box/x", "x") << UnsafeName;
        QTest::newRow("a pax record of length 0") << padded(header("box/PaxHeaders/x", 'x', 9) + "0 path=x\n") + file("box/x", "x") << CannotWrite;
        QTest::newRow("a truncated stream") << file("box/big.bin", QByteArray(2000, 'b')).left(1000) << CannotWrite;
    }
    void hostileBundleStopsAtItsFirstUnsafeEntryAndKeepsWhatCameBefore()
    {
        QFETCH(QByteArray, hostile);
        QFETCH(QString, sentence);
        RawRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("in/box"));
        QVERIFY(QDir().mkpath(rig.dir.filePath(QStringLiteral("in"))));
        QVERIFY(rig.open(TransferSettings::Receive, target));
        QVERIFY(rig.turnPrivate(PeerIdentity::a(), PeerIdentity::a().probe()));
        const QByteArray bundle = header("box/", '5') + file("box/kept.txt", "kept") + hostile
                                  + (sentence == UnsafeName ? QByteArray(1024, '\0') : QByteArray());
        rig.peer->write("RCFNbox/\\ " + QByteArray::number(bundle.size()));
        QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
        rig.peer->write(bundle);
        QTRY_COMPARE(rig.side->status, sentence);
        QVERIFY(rig.side->ended && !rig.side->finished);
        QTRY_COMPARE(rig.peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(contentOf(target + "/kept.txt"), QByteArray("kept"));
        QCOMPARE(outsideOf(rig.dir.path(), target), QStringList());
    }

    // Which names a receiver would refuse is the writer's own table (tst_pax).
    void bundleAReceiverWouldRefuseIsRefusedBeforeItsOffer_data()
    {
        QTest::addColumn<QString>("sentence");
        QTest::newRow("a file named Icon\\r") << QStringLiteral("Could not send Trip/Icon\\r: the reciever would refuse its name. Connection cancelled.");
        QTest::newRow("../../x two folders down goes") << QString();
    }
    void bundleAReceiverWouldRefuseIsRefusedBeforeItsOffer()
    {
        QFETCH(QString, sentence);
        RawRig rig;
        const QDir dir(rig.dir.path());
        QVERIFY(dir.mkpath(QStringLiteral("Trip/sub/deeper")) && writeFile(dir.filePath("Trip/sub/deeper/file"), "f"));
        if (sentence.isEmpty())
            QCOMPARE(symlink("../../sub/deeper/file", local(dir.filePath("Trip/sub/deeper/up"))), 0);
        else
            QVERIFY(writeFile(dir.filePath("Trip/Icon\r"), "icon"));
        QVERIFY(rig.open(TransferSettings::Send, {}));
        rig.side->settings.Paths = {dir.filePath("Trip")};
        rig.peer->write("OK");
        if (sentence.isEmpty()) {
            QTRY_VERIFY(rig.wire.startsWith("RCFNTrip.tar\\ "));
            return;
        }
        QTRY_COMPARE(rig.side->status, sentence);
        QTRY_COMPARE(rig.wire, QByteArray("RCCC"));
        QVERIFY(rig.side->ended && !rig.side->finished);
    }

    void privateSenderSaysFinishedOnlyOnTheReceiversWord_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("OK") << QByteArray("OK") << finished("97.7");
        QTest::newRow("CC") << QByteArray("CC") << QStringLiteral("Error ! Connection closed by reciever.");
        QTest::newRow("reads everything, then closes") << QByteArray("close") << QStringLiteral("Error ! Connection closed by reciever.");
        QTest::newRow("an earlier Veltrane, silent") << QByteArray() << finished("97.7");
    }
    void privateSenderSaysFinishedOnlyOnTheReceiversWord()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, sentence);
        RawRig rig;
        const QString path = rig.dir.filePath(QStringLiteral("data.bin"));
        const QByteArray content = randomBytes(100000);
        QVERIFY(writeFile(path, content));
        QVERIFY(rig.reach(TransferSettings::Send, path, {.offerSettleMs = 20, .privateLimitMs = 1000}));
        QVERIFY(rig.turnPrivate(PeerIdentity::a()));
        rig.peer->write("OK");
        QTRY_COMPARE(rig.wire, QByteArray("RCFNdata.bin\\ 100000"));
        rig.peer->write("SD");
        QTRY_COMPARE(rig.wire.size(), 20 + content.size());
        QVERIFY(rig.wire.endsWith(content));
        // Every byte is through, and still the receiver has the last word.
        QTest::qWait(200);
        QVERIFY(!rig.side->ended);
        if (answer == "close")
            rig.peer->disconnectFromHost();
        else if (!answer.isEmpty())
            rig.peer->write(answer);
        QTRY_VERIFY_WITH_TIMEOUT(rig.side->ended, 5000);
        QCOMPARE(rig.side->status, sentence);
        QCOMPARE(rig.side->finished, sentence.startsWith(u"Finished"));
    }

    void receiverThatFailsHalfWayLeavesTheSenderWithAnError()
    {
        // The receiver finds a folder where the bundle has a file, stops there and closes; the
        // small bundle fits the sockets whole, so only the receiver's word tells the sender.
        QTemporaryDir dir;
        const QDir src(dir.filePath(QStringLiteral("src")));
        QVERIFY(src.mkpath(QStringLiteral("Trip")) && writeFile(src.filePath("Trip/a.txt"), "a") && writeFile(src.filePath("Trip/b.txt"), "b"));
        const QString target = dir.filePath(QStringLiteral("Trip"));
        QVERIFY(QDir().mkpath(target + "/a.txt/inside"));
        const quint16 port = freePort();
        Party receiver(TransferSettings::Receive, port, target);
        QVERIFY(receiver.listening());
        Party sender(TransferSettings::Send, port, {});
        sender.settings.Paths = {src.filePath("Trip")};
        QTRY_VERIFY_WITH_TIMEOUT(sender.ended && receiver.ended, 20000);
        QCOMPARE(receiver.status, CannotWrite);
        QCOMPARE(sender.status, QStringLiteral("Error ! Connection closed by reciever."));
        QVERIFY(!sender.finished && !receiver.finished);
        QVERIFY(!QFile::exists(target + "/b.txt"));
    }

    // How a swap is caught is the writer's own table (tst_pax); here, that the sender says so,
    // closes, and sent nothing of what was swapped in.
    void folderSwappedForALinkWhileTheBundleStreamsIsNotSent()
    {
        RawRig rig;
        QDir dir(rig.dir.path());
        const QByteArray secret = randomBytes(5000, 2);
        QVERIFY(dir.mkpath("Trip/private") && dir.mkpath("other"));
        QVERIFY(writeFile(dir.filePath("Trip/a.bin"), randomBytes(32 << 20, 3)) && writeFile(dir.filePath("Trip/private/notes.txt"), randomBytes(5000, 1))
                && writeFile(dir.filePath("other/notes.txt"), secret));
        // The peer's kernel takes little and the peer stops reading, so the stream stalls in a.bin.
        QVERIFY(rig.server.listen(QHostAddress::LocalHost, 0));
        const int small = 4096;
        setsockopt(int(rig.server.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        QVERIFY(rig.open(TransferSettings::Send, {}));
        const Transfer &snd = rig.side->transfer;
        rig.side->settings.Paths = {dir.filePath("Trip")};
        QObject::disconnect(rig.peer.get(), &QTcpSocket::readyRead, nullptr, nullptr);
        rig.peer->setReadBufferSize(small);
        rig.peer->write("OK");
        QTRY_VERIFY(rig.peer->bytesAvailable() > 0);
        rig.peer->write("SD");
        QTRY_VERIFY(snd.BytesDone > 0);
        qint64 seen = -1;
        for (QDeadlineTimer deadline(20000); seen != snd.BytesDone && !deadline.hasExpired();) {
            seen = snd.BytesDone;
            QTest::qWait(300);
        }
        QVERIFY(seen < 16 << 20);
        QVERIFY(dir.rename("Trip/private", "old"));
        QVERIFY(QFile::link(dir.filePath("other"), dir.filePath("Trip/private")));
        QByteArray got;
        QObject::connect(rig.peer.get(), &QTcpSocket::readyRead, rig.peer.get(), [&] { got += rig.peer->readAll(); });
        rig.peer->setReadBufferSize(0);
        got += rig.peer->readAll();
        QTRY_COMPARE_WITH_TIMEOUT(rig.side->status, QStringLiteral("Error ! Could not read file."), 30000);
        QVERIFY(rig.side->ended && !rig.side->finished);
        QTRY_COMPARE(rig.peer->state(), QAbstractSocket::UnconnectedState);
        got += rig.peer->readAll();
        QVERIFY(got.size() > 16 << 20);
        QVERIFY(!got.contains(secret.left(1024)));
    }

    void aLinkInTheChosenFolderPlaceIsNotFollowed_data()
    {
        flagRows("dangling", {{"to a folder elsewhere", false}, {"to nothing yet", true}});
    }
    void aLinkInTheChosenFolderPlaceIsNotFollowed()
    {
        QFETCH(bool, dangling);
        RawRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("box")), elsewhere = rig.dir.filePath(QStringLiteral("elsewhere"));
        QVERIFY(dangling || QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, target));
        QVERIFY(rig.open(TransferSettings::Receive, target));
        QVERIFY(rig.turnPrivate(PeerIdentity::a(), PeerIdentity::a().probe()));
        const QByteArray bundle = header("box/", '5') + file("box/x.txt", "x") + QByteArray(1024, '\0');
        rig.peer->write("RCFNbox/\\ " + QByteArray::number(bundle.size()));
        QTRY_COMPARE(rig.side->status, QStringLiteral("Saving file cancelled. Connection closed."));
        QTRY_COMPARE(rig.wire, QByteArray("OKCC"));
        QVERIFY(QFileInfo(target).isSymLink());
        QCOMPARE(QFileInfo::exists(elsewhere), !dangling);
        QVERIFY(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
    }
};

QTEST_GUILESS_MAIN(TstBundle)
#include "tst_bundle.moc"
