#include "app/mainwin.h"
#include "scripteddialog.h"
#include "transfer/procwin.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
int programEnds = 0;

QByteArray randomBytes(int size)
{
    QRandomGenerator gen{quint32(size)};
    QByteArray bytes(size, '\0');
    for (char &b : bytes)
        b = char(gen.generate());
    return bytes;
}

bool isOpenHere(const QString &path)
{
    const QString wanted = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (QFile::symLinkTarget(fds.filePath(fd)) == wanted)
            return true;
    return false;
}

// A sending window and the test acting as its receiver, up to the offer.
struct PumpRig {
    QTemporaryDir dir;
    QTcpServer server;
    QTcpSocket *peer = nullptr;
    QByteArray wire;
    QByteArray content;
    QString path;
    MainWin main;
    std::shared_ptr<ScriptedDialog> dg = std::make_shared<ScriptedDialog>();
    std::unique_ptr<ProcWin> sender;
    // BytesDone and XferState as each tick of the pump left them.
    QList<QPair<qint32, quint8>> ticks;

    QByteArray handshake() const { return "RCFNdata.bin\\ " + QByteArray::number(content.size()); }

    bool offerRead(int size)
    {
        content = randomBytes(size);
        path = dir.filePath(QStringLiteral("data.bin"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != size)
            return false;
        file.close();
        server.listen(QHostAddress::LocalHost, 0);
        main.XferMode = MainWin::Send;
        main.PeerIP = QStringLiteral("127.0.0.1");
        dg->choose(path);
        sender = std::make_unique<ProcWin>(main, server.serverPort(), dg);
        sender->Show();
        if (!QTest::qWaitFor([&] { return server.hasPendingConnections(); }))
            return false;
        peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, peer, [this] { wire += peer->readAll(); });
        QObject::connect(sender->STM, &QTimer::timeout, sender.get(),
                         [this] { ticks.append({sender->BytesDone, sender->XferState}); });
        peer->write("OK");
        return QTest::qWaitFor([&] { return wire == handshake(); });
    }
};
}

class TstPump : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { ++programEnds; }); }
    void fileGoesOutInWholeChunksThenTheRemainderAndNothingMore_data();
    void fileGoesOutInWholeChunksThenTheRemainderAndNothingMore();
    void tickWithChunkOutstandingSendsNothing();
};

void TstPump::fileGoesOutInWholeChunksThenTheRemainderAndNothingMore_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<QString>("kb");
    const QString ninePointEight = u'9' + QLocale().decimalPoint() + u'8';
    QTest::newRow("1 byte") << 1 << QList<int>{1} << "0";
    QTest::newRow("4095") << 4095 << QList<int>{4095} << "4";
    QTest::newRow("4096") << 4096 << QList<int>{4096} << "4";
    QTest::newRow("4097") << 4097 << QList<int>{4097} << "4";
    QTest::newRow("8192") << 8192 << QList<int>{4096, 8192} << "8";
    // Two ticks of whole chunks; the 1,808 left go out on the second one, with the last whole chunk.
    QTest::newRow("10000") << 10000 << QList<int>{4096, 10000} << ninePointEight;
}

void TstPump::fileGoesOutInWholeChunksThenTheRemainderAndNothingMore()
{
    QFETCH(int, size);
    QFETCH(QList<int>, steps);
    QFETCH(QString, kb);
    PumpRig rig;
    QVERIFY(rig.offerRead(size));

    // "RC" and the offer have completed by now; their completions must not start anything.
    QTest::qWait(3 * ProcWin::TickMs);
    QCOMPARE(rig.sender->XferState, quint8(ProcWin::ControlMessages));
    QCOMPARE(rig.sender->BytesDone, 0);
    QVERIFY(rig.ticks.isEmpty());

    rig.peer->write("SD");
    const int handshake = rig.handshake().size();
    QTRY_COMPARE(rig.wire.size(), handshake + size);
    QCOMPARE(rig.wire.mid(handshake), rig.content);
    QTRY_COMPARE(rig.sender->StatBox->text(), QString("Finished. (" + kb + " KB)"));
    QCOMPARE(rig.sender->CDBut->text(), QStringLiteral("Done"));

    QList<int> moved;
    for (const auto &[done, state] : std::as_const(rig.ticks)) {
        QCOMPARE(state, quint8(ProcWin::ChunkOutstanding));
        if (moved.isEmpty() || moved.last() != done)
            moved.append(done);
    }
    QCOMPARE(moved, steps);

    // The pump is over: no tick, no byte, the file released, the connection still up.
    const qsizetype ticksAtEnd = rig.ticks.size();
    QTest::qWait(5 * ProcWin::TickMs);
    QVERIFY(!rig.sender->STM->isActive());
    QCOMPARE(rig.ticks.size(), ticksAtEnd);
    QCOMPARE(rig.wire.size(), handshake + size);
    QCOMPARE(rig.sender->BytesDone, size);
    QVERIFY(!isOpenHere(rig.path));
    QCOMPARE(rig.sender->NT->State(), int(TcpControl::Connected));
    QCOMPARE(programEnds, 0);
}

void TstPump::tickWithChunkOutstandingSendsNothing()
{
    PumpRig rig;
    QVERIFY(rig.offerRead(3 * 4096));
    const int handshake = rig.handshake().size();
    // The first chunk's completion is held back, as a socket that never reports it would.
    QObject::connect(rig.sender->STM, &QTimer::timeout, rig.sender.get(), [&] {
        if (rig.ticks.size() == 1)
            rig.sender->NT->blockSignals(true);
    });
    rig.peer->write("SD");
    QTRY_VERIFY(rig.ticks.size() >= 6);
    QCOMPARE(rig.sender->XferState, quint8(ProcWin::ChunkOutstanding));
    QCOMPARE(rig.sender->BytesDone, 4096);
    QCOMPARE(rig.wire.size(), handshake + 4096);

    QTest::qWait(3 * ProcWin::TickMs);
    QCOMPARE(rig.sender->BytesDone, 4096);
    QCOMPARE(rig.wire.size(), handshake + 4096);
    QCOMPARE(rig.sender->StatBox->text(), QStringLiteral("Sending file ... (4 KB of 12 KB)"));
    QVERIFY(isOpenHere(rig.path));

    rig.sender->NT->blockSignals(false);
    emit rig.sender->NT->SendComplete();
    // What the receiver says while the pump runs stays unread and changes nothing.
    rig.peer->write("CC");
    QTRY_COMPARE(rig.wire.size(), handshake + 3 * 4096);
    QCOMPARE(rig.wire.mid(handshake), rig.content);
    QTRY_COMPARE(rig.sender->StatBox->text(), QStringLiteral("Finished. (12 KB)"));
}

QTEST_MAIN(TstPump)
#include "tst_pump.moc"
