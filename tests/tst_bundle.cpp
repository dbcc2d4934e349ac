#include "app/ipwin.h"
#include "app/startup.h"
#include "tarblocks.h"
#include "transferrig.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QDropEvent>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryFile>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {
const QString UnsafeName = QStringLiteral("Error ! The folder holds an unsafe name.");

// Everything a tree holds, one line per entry: type, permission bits, time, content or target.
QStringList treeOf(const QString &root)
{
    QStringList lines;
    for (QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        struct stat st {};
        lstat(QFile::encodeName(path).constData(), &st);
        QString what;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(QFile::encodeName(path).constData(), target, sizeof target);
            what = "link " + QString::fromUtf8(target, int(qMax<ssize_t>(n, 0)));
        } else if (S_ISDIR(st.st_mode)) {
            what = QStringLiteral("folder %1 %2").arg(st.st_mode & 0777, 0, 8).arg(st.st_mtime);
        } else {
            what = QStringLiteral("file %1 %2 ").arg(st.st_mode & 0777, 0, 8).arg(st.st_mtime)
                   + QCryptographicHash::hash(contentOf(path), QCryptographicHash::Sha1).toHex();
        }
        lines << QDir(root).relativeFilePath(path) + ": " + what;
    }
    lines.sort();
    return lines;
}

// A folder "Trip" with what a real one holds, its times in the past.
QString makeTrip(const QTemporaryDir &dir)
{
    const QDir trip(dir.filePath(QStringLiteral("src/Trip")));
    trip.mkpath(QStringLiteral("sub/deeper")), trip.mkpath(QStringLiteral("empty"));
    writeFile(trip.filePath(QStringLiteral("sub/deeper/data.bin")), randomBytes(3 * 1024 * 1024, 7));
    writeFile(trip.filePath(QStringLiteral("with blank.txt")), "blank");
    writeFile(trip.filePath(QStringLiteral("na\u00efve \u00fcn\u00efcode.txt")), "letters");
    writeFile(trip.filePath(QStringLiteral("run.sh")), "#!/bin/sh\necho hi\n");
    chmod(QFile::encodeName(trip.filePath(QStringLiteral("run.sh"))).constData(), 0755);
    symlink("sub/deeper/data.bin", QFile::encodeName(trip.filePath(QStringLiteral("link"))).constData());
    for (QDirIterator it(trip.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories); it.hasNext();) {
        const utimbuf past{1600000000, 1600000000};
        utime(QFile::encodeName(it.next()).constData(), &past);
    }
    return trip.path();
}

}

class TstBundle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { QFAIL("the program ended"); }); }

    void twoWindowsMoveAFolderOrSeveralFilesAndTheyArriveIdentical_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("one folder, given before") << 0;
        QTest::newRow("several files in the open dialog") << 1;
        QTest::newRow("into a folder that is there, replacing") << 2;
        QTest::newRow("into a folder that is there, refused") << 3;
    }
    void twoWindowsMoveAFolderOrSeveralFilesAndTheyArriveIdentical()
    {
        QFETCH(int, way);
        QTemporaryDir dir;
        const QString trip = makeTrip(dir), target = dir.filePath(QStringLiteral("Trip"));
        if (way >= 2) {
            QVERIFY(QDir().mkpath(target) && writeFile(target + "/keep.txt", "mine") && writeFile(target + "/run.sh", "old"));
        }
        const quint16 port = freePort();
        Side receiver(MainWin::Receive, port, target);
        receiver.dg->mergeAnswer = way == 2;
        QVERIFY(receiver.listening());
        Side sender(MainWin::Send, port, {});
        if (way == 1)
            sender.dg->chooseAll({trip + "/run.sh", trip + "/with blank.txt"});
        else
            sender.main.Paths = {trip};
        QTRY_VERIFY_WITH_TIMEOUT(sender.win.CDBut->text() == u"Done" && receiver.win.CDBut->text() == u"Done", 20000);
        QCOMPARE(receiver.dg->shown.value(0).FileName, QStringLiteral("Trip"));
        // What was chosen before the transfer opens no dialog on the sending side.
        QCOMPARE(sender.dg->shown.size(), way == 1 ? 1 : 0);
        QCOMPARE(receiver.dg->merges, way >= 2 ? QStringList{target} : QStringList{});
        if (way == 3) {
            QCOMPARE(receiver.win.StatBox->text(), QStringLiteral("Saving file cancelled. Connection closed."));
            QCOMPARE(treeOf(target).size(), 2);
            return;
        }
        QVERIFY2(receiver.win.StatBox->text().startsWith(u"Finished. ("), qPrintable(receiver.win.StatBox->text()));
        QCOMPARE(sender.win.StatBox->text(), receiver.win.StatBox->text());
        QStringList expected = treeOf(trip);
        if (way == 1)
            expected = expected.filter(QRegularExpression(QStringLiteral("^(run.sh|with blank.txt):")));
        QStringList got = treeOf(target);
        // Nothing else in a folder that was there is touched.
        if (way == 2) {
            QCOMPARE(contentOf(target + "/keep.txt"), QByteArray("mine"));
            got = got.filter(QRegularExpression(QStringLiteral("^(?!keep\\.txt:)")));
        }
        QCOMPARE(got, expected);
    }

    void designReceiverGetsATarFileThatGnuTarUnpacks()
    {
        QTemporaryDir dir;
        const QString trip = makeTrip(dir);
        RawRig rig;
        QVERIFY(rig.open(MainWin::Send, {}));
        rig.side->main.Paths = {trip};
        rig.peer->write("OK");
        QTRY_VERIFY(rig.wire.startsWith("RCFNTrip.tar\\ "));
        const qint64 size = rig.wire.sliced(14).toLongLong();
        QVERIFY(size > 3 * 1024 * 1024);
        const qint64 offerLength = 14 + QByteArray::number(size).size();
        rig.peer->write("SD");
        QTRY_VERIFY_WITH_TIMEOUT(rig.wire.size() == offerLength + size, 10000);
        QVERIFY(writeFile(dir.filePath("Trip.tar"), rig.wire.sliced(offerLength)));
        QDir().mkpath(dir.filePath("out"));
        QCOMPARE(QProcess::execute("tar", {"-xf", dir.filePath("Trip.tar"), "-C", dir.filePath("out")}), 0);
        QCOMPARE(treeOf(dir.filePath("out/Trip")), treeOf(trip));
        QCOMPARE(rig.win().Caption(), QStringLiteral("Veltrane (not encrypted)"));
    }

    void hostileBundleStopsAtItsFirstUnsafeEntryAndKeepsWhatCameBefore_data()
    {
        QTest::addColumn<QByteArray>("hostile");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("../escape") << file("box/../escape.txt", "x") << UnsafeName;
        QTest::newRow("/abs") << file("/tmp/abs.txt", "x") << UnsafeName;
        QTest::newRow("a link out, then a file through it") << header("box/out", '2', 0, "../..") + file("box/out/x.txt", "x") << UnsafeName;
        QTest::newRow("a hard link") << header("box/hard", '1', 0, "box/kept.txt") << UnsafeName;
        QTest::newRow("a device") << header("box/dev", '3') << UnsafeName;
        QTest::newRow("a control character") << file("box/bell\a.txt", "x") << UnsafeName;
        QTest::newRow("folders beyond the announced size") << header("box/PaxHeaders/x", 'x', 1212) + padded("1212 path=box/" + QByteArray("d/").repeated(598) + "x\n")
                                                          + file("box/x", "x") << UnsafeName;
        QTest::newRow("a pax record of length 0") << padded(header("box/PaxHeaders/x", 'x', 9) + "0 path=x\n") + file("box/x", "x")
                                                  << QStringLiteral("Error ! Could not write file.");
        QTest::newRow("a truncated stream") << file("box/big.bin", QByteArray(2000, 'b')).left(1000) << QStringLiteral("Error ! Could not write file.");
    }
    void hostileBundleStopsAtItsFirstUnsafeEntryAndKeepsWhatCameBefore()
    {
        QFETCH(QByteArray, hostile);
        QFETCH(QString, sentence);
        RawRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("in/box"));
        QVERIFY(QDir().mkpath(rig.dir.filePath(QStringLiteral("in"))));
        QVERIFY(rig.open(MainWin::Receive, target));
        QVERIFY(rig.turnPrivate(PeerIdentity::a(), PeerIdentity::a().probe()));
        const QByteArray bundle = header("box/", '5') + file("box/kept.txt", "kept") + hostile
                                  + (sentence == UnsafeName ? QByteArray(1024, '\0') : QByteArray());
        rig.peer->write("RCFNbox/\\ " + QByteArray::number(bundle.size()));
        QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
        rig.peer->write(bundle);
        QTRY_COMPARE(rig.win().StatBox->text(), sentence);
        QCOMPARE(contentOf(target + "/kept.txt"), QByteArray("kept"));
        QStringList outside;
        for (QDirIterator it(rig.dir.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories); it.hasNext();)
            if (const QString path = it.next(); !path.startsWith(target) && path != rig.dir.filePath("in"))
                outside << path;
        QCOMPARE(outside, QStringList());
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/abs.txt")));
    }

    void bundleAReceiverWouldRefuseIsRefusedBeforeItsOffer_data()
    {
        QTest::addColumn<QString>("sentence");
        const QString end = QStringLiteral(": the reciever would refuse its name. Connection cancelled.");
        QTest::newRow("a file named Icon\\r") << "Could not send Trip/Icon\\r" + end;
        QTest::newRow("an absolute link") << "Could not send Trip/sub/abs" + end;
        QTest::newRow("../../x at the top of the folder") << "Could not send Trip/up" + end;
        QTest::newRow("../../x two folders down goes") << QString();
    }
    void bundleAReceiverWouldRefuseIsRefusedBeforeItsOffer()
    {
        QFETCH(QString, sentence);
        RawRig rig;
        const QDir dir(rig.dir.path());
        QVERIFY(dir.mkpath(QStringLiteral("Trip/sub/deeper")) && writeFile(dir.filePath("Trip/sub/deeper/file"), "f"));
        const QByteArray tag = QTest::currentDataTag();
        const QByteArray trip = QFile::encodeName(dir.filePath("Trip"));
        if (tag.startsWith("a file"))
            QVERIFY(writeFile(dir.filePath("Trip/Icon\r"), "icon"));
        if (tag.startsWith("an absolute"))
            QCOMPARE(symlink("/etc/passwd", trip + "/sub/abs"), 0);
        if (tag.startsWith("../../x at"))
            QCOMPARE(symlink("../../x", trip + "/up"), 0);
        if (tag.startsWith("../../x two"))
            QCOMPARE(symlink("../../sub/deeper/file", trip + "/sub/deeper/up"), 0);

        // The command line refuses it too, with a line that names it.
        QTemporaryFile said;
        QVERIFY(said.open());
        const int stderrWas = dup(2);
        dup2(said.handle(), 2);
        // (A tree that goes would show the start window, which a later case expects unloaded.)
        const bool begun = !sentence.isEmpty() && Startup::begin({dir.filePath("Trip")});
        dup2(stderrWas, 2), close(stderrWas);
        QVERIFY(!begun);
        said.seek(0);
        const QByteArray line = said.readAll();
        const QString named = sentence.mid(15, sentence.indexOf(u": the reciever") - 15);
        if (!sentence.isEmpty())
            QCOMPARE(line, "veltrane: cannot send " + QFile::encodeName(dir.path()) + '/' + named.toUtf8() + ": a receiver would refuse its name\n");

        QVERIFY(rig.open(MainWin::Send, {}));
        rig.side->main.Paths = {dir.filePath("Trip")};
        rig.peer->write("OK");
        if (sentence.isEmpty()) {
            QTRY_VERIFY(rig.wire.startsWith("RCFNTrip.tar\\ "));
            return;
        }
        QTRY_COMPARE(rig.win().StatBox->text(), sentence);
        QTRY_COMPARE(rig.wire, QByteArray("RCCC"));
        QCOMPARE(rig.win().CDBut->text(), QStringLiteral("Done"));
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
        QVERIFY(rig.reach(MainWin::Send, path, {.offerSettleMs = 20, .privateLimitMs = 1000}));
        QVERIFY(rig.turnPrivate(PeerIdentity::a()));
        rig.peer->write("OK");
        QTRY_COMPARE(rig.wire, QByteArray("RCFNdata.bin\\ 100000"));
        rig.peer->write("SD");
        QTRY_COMPARE(rig.wire.size(), 20 + content.size());
        QVERIFY(rig.wire.endsWith(content));
        // Every byte is through, and still the receiver has the last word.
        QTest::qWait(200);
        QCOMPARE(rig.win().CDBut->text(), QStringLiteral("Cancel"));
        if (answer == "close")
            rig.peer->disconnectFromHost();
        else if (!answer.isEmpty())
            rig.peer->write(answer);
        QTRY_COMPARE_WITH_TIMEOUT(rig.win().StatBox->text(), sentence, 5000);
        QCOMPARE(rig.win().CDBut->text(), QStringLiteral("Done"));
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
        Side receiver(MainWin::Receive, port, target);
        receiver.dg->mergeAnswer = true;
        QVERIFY(receiver.listening());
        Side sender(MainWin::Send, port, {});
        sender.main.Paths = {src.filePath("Trip")};
        QTRY_VERIFY_WITH_TIMEOUT(sender.win.CDBut->text() == u"Done" && receiver.win.CDBut->text() == u"Done", 20000);
        QCOMPARE(receiver.win.StatBox->text(), QStringLiteral("Error ! Could not write file."));
        QCOMPARE(sender.win.StatBox->text(), QStringLiteral("Error ! Connection closed by reciever."));
        QVERIFY(!QFile::exists(target + "/b.txt"));
    }

    void folderOrFileSwappedWhileTheBundleStreamsIsNotSent_data()
    {
        QTest::addColumn<bool>("folderForLink");
        QTest::newRow("a subfolder swapped for a link") << true;
        QTest::newRow("a file swapped for another of the same size") << false;
    }
    void folderOrFileSwappedWhileTheBundleStreamsIsNotSent()
    {
        QFETCH(bool, folderForLink);
        RawRig rig;
        QDir dir(rig.dir.path());
        const QByteArray chosen = randomBytes(5000, 1), secret = randomBytes(5000, 2);
        QVERIFY(dir.mkpath("Trip/private") && dir.mkpath("other"));
        QVERIFY(writeFile(dir.filePath("Trip/a.bin"), randomBytes(32 << 20, 3)) && writeFile(dir.filePath("Trip/private/notes.txt"), chosen)
                && writeFile(dir.filePath("other/notes.txt"), secret));
        // The peer's kernel takes little and the peer stops reading, so the stream stalls in a.bin.
        QVERIFY(rig.server.listen(QHostAddress::LocalHost, 0));
        const int small = 4096;
        setsockopt(int(rig.server.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        QVERIFY(rig.open(MainWin::Send, {}));
        ProcWin &snd = rig.win();
        rig.side->main.Paths = {dir.filePath("Trip")};
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
        if (folderForLink) {
            QVERIFY(dir.rename("Trip/private", "old"));
            QVERIFY(QFile::link(dir.filePath("other"), dir.filePath("Trip/private")));
        } else {
            QCOMPARE(::rename(QFile::encodeName(dir.filePath("other/notes.txt")), QFile::encodeName(dir.filePath("Trip/private/notes.txt"))), 0);
        }
        QByteArray got;
        QObject::connect(rig.peer.get(), &QTcpSocket::readyRead, rig.peer.get(), [&] { got += rig.peer->readAll(); });
        rig.peer->setReadBufferSize(0);
        got += rig.peer->readAll();
        QTRY_COMPARE_WITH_TIMEOUT(snd.StatBox->text(), QStringLiteral("Error ! Could not read file."), 30000);
        QTRY_COMPARE(rig.peer->state(), QAbstractSocket::UnconnectedState);
        got += rig.peer->readAll();
        QVERIFY(got.size() > 16 << 20);
        QVERIFY(!got.contains(secret.left(1024)));
    }

    void aLinkInTheChosenFolderPlaceIsNotFollowed_data()
    {
        QTest::addColumn<bool>("dangling");
        QTest::newRow("to a folder elsewhere") << false;
        QTest::newRow("to nothing yet") << true;
    }
    void aLinkInTheChosenFolderPlaceIsNotFollowed()
    {
        QFETCH(bool, dangling);
        RawRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("box")), elsewhere = rig.dir.filePath(QStringLiteral("elsewhere"));
        QVERIFY(dangling || QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, target));
        QVERIFY(rig.open(MainWin::Receive, target));
        rig.side->dg->mergeAnswer = true;
        QVERIFY(rig.turnPrivate(PeerIdentity::a(), PeerIdentity::a().probe()));
        const QByteArray bundle = header("box/", '5') + file("box/x.txt", "x") + QByteArray(1024, '\0');
        rig.peer->write("RCFNbox/\\ " + QByteArray::number(bundle.size()));
        QTRY_COMPARE(rig.win().StatBox->text(), QStringLiteral("Saving file cancelled. Connection closed."));
        QVERIFY(!rig.wire.contains("SD"));
        QVERIFY(QFileInfo(target).isSymLink());
        QCOMPARE(QFileInfo::exists(elsewhere), !dangling);
        QVERIFY(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
    }

    void startedWithPathsItGoesStraightToTheAddressDialogOrRefuses()
    {
        QTemporaryDir dir;
        const QString trip = makeTrip(dir);
        QVERIFY(!Startup::begin({dir.filePath(QStringLiteral("missing"))}));
        QVERIFY(!MainWin::instance().isLoaded());
        QVERIFY(Startup::begin({trip}));
        QVERIFY(IPWin::instance().isLoaded() && IPWin::instance().window()->isVisible());
        QCOMPARE(MainWin::instance().XferMode, MainWin::Send);
        QCOMPARE(MainWin::instance().Paths, QStringList{trip});
        // Send itself asks again with the open dialog.
        IPWin::instance().Unload();
        MainWin::instance().SendBut->click();
        QVERIFY(MainWin::instance().Paths.isEmpty());
        IPWin::instance().Unload();

        // Dropped on the start window, files and folders are sent the same way.
        QMimeData dropped;
        dropped.setUrls({QUrl::fromLocalFile(trip), QUrl::fromLocalFile(trip + "/run.sh")});
        QWidget *start = MainWin::instance().window();
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(start, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(start, &drop);
        QVERIFY(IPWin::instance().isLoaded() && IPWin::instance().window()->isVisible());
        QCOMPARE(MainWin::instance().Paths, QStringList({trip, trip + "/run.sh"}));
    }
};

QTEST_MAIN(TstBundle)
#include "tst_bundle.moc"
