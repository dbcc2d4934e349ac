#include "app/mainwin.h"
#include "scripteddialog.h"
#include "transfer/procwin.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
constexpr int Size = 10000;

QByteArray randomBytes(int size)
{
    QRandomGenerator gen{quint32(size)};
    QByteArray bytes(size, '\0');
    for (char &b : bytes)
        b = char(gen.generate());
    return bytes;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
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

// Waits without qWaitFor's 10 ms naps, so thousands of tiny blocks stay quick.
template <typename Done>
bool settle(Done done)
{
    QDeadlineTimer deadline(5000);
    QTimer wake;
    wake.start(20);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A receiving window and the test acting as its sender, up to the go-ahead.
struct SinkRig {
    QTemporaryDir dir;
    QString target = dir.filePath(QStringLiteral("out.bin"));
    QByteArray content = randomBytes(Size);
    MainWin main;
    std::shared_ptr<ScriptedDialog> dg = std::make_shared<ScriptedDialog>();
    std::unique_ptr<ProcWin> receiver;
    QTcpSocket peer;
    QByteArray back;

    bool goAheadRead()
    {
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        main.XferMode = MainWin::Receive;
        dg->choose(target);
        receiver = std::make_unique<ProcWin>(main, port, dg);
        receiver->Show();
        if (!QTest::qWaitFor([&] { return receiver->NT->State() == TcpControl::Listening; }))
            return false;
        QObject::connect(&peer, &QTcpSocket::readyRead, &peer, [this] { back += peer.readAll(); });
        peer.connectToHost(QHostAddress::LocalHost, port);
        if (!QTest::qWaitFor([&] { return back == "OK"; }))
            return false;
        peer.write("RC");
        if (!QTest::qWaitFor([&] { return receiver->StatBox->text() == "Connected. Waiting for file ..."; }))
            return false;
        peer.write("FNdata.bin\\ " + QByteArray::number(Size));
        return QTest::qWaitFor([&] { return back == "OKSD"; }) && receiver->XferState == ProcWin::ReceivingData;
    }

    // Each piece is taken before the next goes, so every one arrives as a block of its own.
    bool feed(const QByteArray &piece)
    {
        const qint32 before = receiver->BytesDone;
        peer.write(piece);
        peer.flush();
        return settle([&] { return receiver->BytesDone >= qMin(before + piece.size(), Size); });
    }

    void checkFinished()
    {
        QCOMPARE(receiver->BytesDone, Size);
        QCOMPARE(receiver->XferState, quint8(ProcWin::ControlMessages));
        QCOMPARE(contentOf(target), content);
        QVERIFY(!isOpenHere(target));
        const QString kb = u'9' + QLocale().decimalPoint() + u'8';
        QCOMPARE(receiver->StatBox->text(), QString("Finished. (" + kb + " KB)"));
        QCOMPARE(receiver->CDBut->text(), QStringLiteral("Done"));
        // Nothing goes back to the sender when the file is complete, and the connection stays.
        QCOMPARE(back, QByteArray("OKSD"));
        QCOMPARE(receiver->NT->State(), int(TcpControl::Connected));
    }
};
}

class TstSink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { QFAIL("the program ended"); }); }
    void anySplitOfTheBytesLandsIdentical_data();
    void anySplitOfTheBytesLandsIdentical();
    void existingLongerTargetHoldsOnlyTheReceivedData();
    void bytesBeyondTheAnnouncedSizeAreNotWritten();
};

void TstSink::anySplitOfTheBytesLandsIdentical_data()
{
    QTest::addColumn<QList<int>>("split");
    QTest::newRow("one block") << QList<int>{Size};
    QTest::newRow("4096/4096/1808") << QList<int>{4096, 4096, 1808};
    QTest::newRow("1-byte blocks") << QList<int>(Size, 1);
}

void TstSink::anySplitOfTheBytesLandsIdentical()
{
    QFETCH(QList<int>, split);
    SinkRig rig;
    QVERIFY(rig.goAheadRead());
    QCOMPARE(rig.receiver->BytesDone, 0);
    QVERIFY(isOpenHere(rig.target));
    int at = 0;
    for (int length : split) {
        QVERIFY2(rig.feed(rig.content.mid(at, length)), qPrintable(QString::number(at)));
        at += length;
        QCOMPARE(rig.receiver->BytesDone, at);
    }
    rig.checkFinished();
}

void TstSink::existingLongerTargetHoldsOnlyTheReceivedData()
{
    SinkRig rig;
    QFile old(rig.target);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(3 * Size, 'x'));
    old.close();
    QVERIFY(rig.goAheadRead());
    // Emptied when opened, before any data.
    QCOMPARE(QFileInfo(rig.target).size(), 0);
    QVERIFY(rig.feed(rig.content.left(5000)));
    QVERIFY(rig.feed(rig.content.mid(5000)));
    rig.checkFinished();
}

void TstSink::bytesBeyondTheAnnouncedSizeAreNotWritten()
{
    SinkRig rig;
    QVERIFY(rig.goAheadRead());
    QVERIFY(rig.feed(rig.content.left(6000)));
    // The last block runs past the size, and more follows once the file is complete.
    QVERIFY(rig.feed(rig.content.mid(6000) + randomBytes(3000)));
    rig.checkFinished();
    rig.peer.write("CC" + randomBytes(5000));
    QTest::qWait(50);
    rig.checkFinished();
}

QTEST_MAIN(TstSink)
#include "tst_sink.moc"
