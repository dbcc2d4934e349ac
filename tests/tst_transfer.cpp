#include "app/mainwin.h"
#include "scripteddialog.h"
#include "transfer/procwin.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
int programEnds = 0;
const QString ClosedByReciever = QStringLiteral("Error ! Connection closed by reciever.");
const QString ClosedBySender = QStringLiteral("Error ! Connection closed by sender.");

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

// Column x of the bar, rows 2 to 11, as #RRGGBB.
QList<QRgb> barColumn(const QImage &bar, int x)
{
    QList<QRgb> column;
    for (int y = 2; y <= 11; ++y)
        column.append(bar.pixel(x, y) & 0xFFFFFF);
    return column;
}
const QList<QRgb> BodySlice = {0x333399, 0x6666CC, 0x9999FF, 0xCCCCFF, 0xFFFFFF,
                               0xCCCCFF, 0x9999FF, 0x6666CC, 0x333399, 0x000055};
// At 100 % the head's second column, slice 4, stands at column 200.
const QList<QRgb> HeadSlice4 = {0x333399, 0x000055, 0x000055, 0x000055, 0x000055,
                                0x000055, 0x000055, 0x000055, 0x000055, 0x000055};

// Two transfer windows in one process, each with its own settings and dialog, on one free port.
struct Pair {
    QTemporaryDir dir;
    QString source = dir.filePath(QStringLiteral("source.bin"));
    QString target = dir.filePath(QStringLiteral("target.bin"));
    QByteArray content;
    MainWin sendMain, recvMain;
    std::shared_ptr<ScriptedDialog> openDg = std::make_shared<ScriptedDialog>();
    std::shared_ptr<ScriptedDialog> saveDg = std::make_shared<ScriptedDialog>();
    std::unique_ptr<ProcWin> sender, receiver;

    bool start(int size)
    {
        content = randomBytes(size);
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != size)
            return false;
        file.close();
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        recvMain.XferMode = MainWin::Receive;
        saveDg->choose(target);
        receiver = std::make_unique<ProcWin>(recvMain, port, saveDg);
        receiver->Show();
        if (!QTest::qWaitFor([&] { return receiver->NT->State() == TcpControl::Listening; }))
            return false;
        sendMain.XferMode = MainWin::Send;
        sendMain.PeerIP = QStringLiteral("127.0.0.1");
        openDg->choose(source);
        sender = std::make_unique<ProcWin>(sendMain, port, openDg);
        sender->Show();
        return true;
    }
};

enum class Fault { ReceiverClosed, SenderClosed, SourceShrinks, TargetFull, SenderCancels, ReceiverCancels };
}
Q_DECLARE_METATYPE(Fault)

class TstTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { ++programEnds; }); }
    void init() { programEnds = 0; }
    void fileArrivesByteForByte_data();
    void fileArrivesByteForByte();
    void faultEndsInItsSentenceAndReleasesTheFiles_data();
    void faultEndsInItsSentenceAndReleasesTheFiles();
};

void TstTransfer::fileArrivesByteForByte_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("kb");
    QTest::newRow("1 byte") << 1 << "0";
    QTest::newRow("4095") << 4095 << "4";
    QTest::newRow("4096") << 4096 << "4";
    QTest::newRow("4097") << 4097 << "4";
    QTest::newRow("10000") << 10000 << QString(u'9' + QLocale().decimalPoint() + u'8');
    QTest::newRow("1 MiB") << 1024 * 1024 << "1024";
}

void TstTransfer::fileArrivesByteForByte()
{
    QFETCH(int, size);
    QFETCH(QString, kb);
    Pair pair;
    QVERIFY(pair.start(size));
    const QString finished = "Finished. (" + kb + " KB)";
    QTRY_COMPARE_WITH_TIMEOUT(pair.receiver->StatBox->text(), finished, 30000);
    QTRY_COMPARE(pair.sender->StatBox->text(), finished);
    QCOMPARE(contentOf(pair.target), pair.content);
    for (ProcWin *side : {pair.sender.get(), pair.receiver.get()}) {
        QCOMPARE(side->CDBut->text(), QStringLiteral("Done"));
        QCOMPARE(side->BytesDone, size);
        QCOMPARE(barColumn(side->ProcBar->Picture(), 100), BodySlice);
        QCOMPARE(barColumn(side->ProcBar->Picture(), 200), HeadSlice4);
        QCOMPARE(side->NT->State(), int(TcpControl::Connected));
    }
    QVERIFY(!isOpenHere(pair.source));
    QVERIFY(!isOpenHere(pair.target));
    QCOMPARE(programEnds, 0);
}

void TstTransfer::faultEndsInItsSentenceAndReleasesTheFiles_data()
{
    QTest::addColumn<Fault>("fault");
    // Empty: that window is gone.
    QTest::addColumn<QString>("senderSays");
    QTest::addColumn<QString>("receiverSays");
    // Closing a transfer window by its frame ends that side's program; nothing else may.
    QTest::addColumn<int>("ends");
    QTest::newRow("receiver window closed") << Fault::ReceiverClosed << ClosedByReciever << QString() << 1;
    QTest::newRow("sender window closed") << Fault::SenderClosed << QString() << ClosedBySender << 1;
    QTest::newRow("source truncated") << Fault::SourceShrinks << "Error ! Could not read file." << ClosedBySender << 0;
    QTest::newRow("target on /dev/full") << Fault::TargetFull << ClosedByReciever << "Error ! Could not write file." << 0;
    QTest::newRow("CDBut on sender") << Fault::SenderCancels << QString() << ClosedBySender << 0;
    QTest::newRow("CDBut on receiver") << Fault::ReceiverCancels << ClosedByReciever << QString() << 0;
}

void TstTransfer::faultEndsInItsSentenceAndReleasesTheFiles()
{
    QFETCH(Fault, fault);
    QFETCH(QString, senderSays);
    QFETCH(QString, receiverSays);
    QFETCH(int, ends);
    constexpr int Size = 64 * 4096;
    Pair pair;
    if (fault == Fault::TargetFull)
        pair.target = QStringLiteral("/dev/full");
    QVERIFY(pair.start(Size));

    // Strikes between ticks, a few chunks into the transfer.
    bool struck = false;
    ProcWin &sender = *pair.sender;
    ProcWin &receiver = *pair.receiver;
    QObject::connect(sender.STM, &QTimer::timeout, &sender, [&] {
        if (struck || sender.BytesDone < 3 * 4096)
            return;
        struck = true;
        if (fault == Fault::SourceShrinks)
            QFile::resize(pair.source, sender.BytesDone + 100);
        QTimer::singleShot(0, &sender, [&] {
            switch (fault) {
            case Fault::ReceiverClosed: receiver.window()->close(); break;
            case Fault::SenderClosed: sender.window()->close(); break;
            case Fault::SenderCancels: sender.CDBut->click(); break;
            case Fault::ReceiverCancels: receiver.CDBut->click(); break;
            default: break;
            }
        });
    });

    for (auto [side, says, main] : {std::tuple(&sender, senderSays, &pair.sendMain),
                                    std::tuple(&receiver, receiverSays, &pair.recvMain)}) {
        if (says.isEmpty()) {
            QTRY_VERIFY(!side->isLoaded());
            // CDBut brings the start window back; the frame leaves nothing.
            if (ends == 0)
                QVERIFY(main->isLoaded() && main->window()->isVisible());
            else
                QVERIFY(!main->isLoaded());
            continue;
        }
        QTRY_COMPARE_WITH_TIMEOUT(side->StatBox->text(), says, 10000);
        QCOMPARE(side->CDBut->text(), QStringLiteral("Done"));
        QVERIFY(side->BytesDone < Size);
    }
    QVERIFY(struck || fault == Fault::TargetFull);
    if (pair.sender->isLoaded())
        QVERIFY(!sender.STM->isActive());
    QVERIFY(!isOpenHere(pair.source));
    QVERIFY(!isOpenHere(pair.target));

    if (fault != Fault::TargetFull) {
        // The partial target stays, and holds only bytes the sender really read.
        const QByteArray partial = contentOf(pair.target);
        QVERIFY(partial.size() < Size);
        QCOMPARE(partial, pair.content.left(partial.size()));
        if (fault == Fault::SourceShrinks) {
            QCOMPARE(partial.size(), sender.BytesDone);
            QCOMPARE(receiver.BytesDone, sender.BytesDone);
        }
    }
    QTest::qWait(50);
    QCOMPARE(programEnds, ends);
}

QTEST_MAIN(TstTransfer)
#include "tst_transfer.moc"
