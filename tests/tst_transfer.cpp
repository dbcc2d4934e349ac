#include "datarows.h"
#include "exchangerig.h"
#include "transfer/statustext.h"

#include <QProcess>

#include <malloc.h>
#ifdef __SANITIZE_ADDRESS__
// The sanitizer runtime's own count; gcc ships no header for it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {
const QString ByReciever = "Error ! Connection closed by reciever.", BySender = "Error ! Connection closed by sender.";
const QString CannotRead = QStringLiteral("Error ! Could not read file.");
// An empty sentence: that side was stopped, as its person's Cancel or a closed window does.
struct Fault { const char *name; void (*strike)(Transfer &snd, Transfer &rcv); QString senderSays, receiverSays; };

qint64 bytesInUse()
{
#ifdef __SANITIZE_ADDRESS__
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

// The next transfer of the same side, as a window's next load starts it.
void again(Party &party, const QString &choice)
{
    party.ended = party.finished = false;
    party.chooser.choose(choice);
    party.transfer.start();
}

// A file past 2^31 and 2^32 bytes: sizes and counts that a 32-bit type would wrap or refuse.
constexpr qint64 LargeSize = (qint64(1) << 32) + (1 << 20) + 3;
constexpr qint64 Island = 64 * 1024;
// Random islands at the start, astride both boundaries and at the end; holes read as zeros.
constexpr qint64 IslandsAt[] = {0, (qint64(1) << 31) - Island / 2, (qint64(1) << 32) - Island / 2, LargeSize - Island};
}

class TstTransfer : public QObject
{
    Q_OBJECT

private slots:
    void twoHundredFilesArriveByteForByteAndLeaveNothingBehind()
    {
        // Random sizes, then the boundaries, one after another through the same two transfers.
        QList<int> sizes;
        QRandomGenerator random(200);
        while (sizes.size() < 189)
            sizes << random.bounded(1, 30000);
        constexpr int piece = int(Transfer::PieceSize), bound = int(Transfer::QueueBound);
        sizes << 1 << 4095 << 4096 << 4097 << 10000 << piece - 1 << piece << piece + 1 << bound - 1 << bound + 1
              << 5 * bound + 7;
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source.bin")), target = dir.filePath(QStringLiteral("target.bin"));
        const quint16 port = freePort();
        std::optional<Party> receiver, sender;
        int fds = 0;
        qint64 memory = 0;
        for (int round = 0; round < sizes.size(); ++round) {
            const QByteArray content = randomBytes(sizes[round]);
            QVERIFY(writeFile(source, content));
            if (round == 0) {
                QVERIFY(receiver.emplace(TransferSettings::Receive, port, target).listening());
                sender.emplace(TransferSettings::Send, port, source);
            } else {
                again(*receiver, target);
                QVERIFY(receiver->listening());
                again(*sender, source);
            }
            Transfer &snd = sender->transfer, &rcv = receiver->transfer;
            const QString end = finished(StatusText::kilobytes(content.size()));
            QTRY_COMPARE_WITH_TIMEOUT(sender->status + " / " + receiver->status, end + " / " + end, 30000);
            QVERIFY(sender->finished && receiver->finished);
            QCOMPARE(contentOf(target), content);
            QVERIFY(snd.BytesDone == content.size() && rcv.BytesDone == content.size());
            QVERIFY(!isOpenHere(source) && !isOpenHere(target));
            // A close after "Finished." changes nothing.
            rcv.stop();
            QTRY_COMPARE(snd.NT->State(), int(TcpControl::Closed));
            QCOMPARE(sender->status, end);
            snd.stop();
            // The stand-in's own record of offers is not the program's memory.
            receiver->chooser.shown.clear(), sender->chooser.shown.clear();
            QTest::qWait(20);
            if (round == 0)
                fds = openFds(), memory = bytesInUse();
        }
        QCOMPARE(openFds(), fds);
        // The last connection's buffers go a moment after it closes; a leak never does.
        QTRY_VERIFY2(bytesInUse() - memory < 64 * 1024, qPrintable(QStringLiteral("%1 bytes more in use").arg(bytesInUse() - memory)));
    }

    void faultEndsInItsSentenceAndReleasesTheFiles_data()
    {
        // Each fault strikes a few megabytes in; none does for a target on /dev/full.
        addRows(QList<Fault>{
            {"sender stops", [](Transfer &snd, Transfer &) { snd.stop(); }, {}, BySender},
            {"receiver stops", [](Transfer &, Transfer &rcv) { rcv.stop(); }, ByReciever, {}},
            {"source shrinks", [](Transfer &snd, Transfer &) { QFile::resize(snd.FilePath, snd.BytesDone + 100); }, CannotRead, BySender},
            {"disk full", nullptr, ByReciever, QStringLiteral("Error ! Could not write file.")}},
            [](const Fault &row) { return row.name; });
    }
    void faultEndsInItsSentenceAndReleasesTheFiles()
    {
        QFETCH(Fault, row);
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source.bin"));
        const QString target = row.strike ? dir.filePath(QStringLiteral("target.bin")) : QStringLiteral("/dev/full");
        const QByteArray content = randomBytes(32 * 1024 * 1024);
        const quint16 port = freePort();
        QVERIFY(writeFile(source, content));
        Party receiver(TransferSettings::Receive, port, target);
        QVERIFY(receiver.listening());
        Party sender(TransferSettings::Send, port, source);
        Transfer &snd = sender.transfer, &rcv = receiver.transfer;
        bool struck = !row.strike, filesWereOpen = struck;
        // Struck as a piece leaves: the pump has just read as far as BytesDone.
        QObject::connect(snd.NT, &TcpControl::SendComplete, &snd, [&] {
            if (struck || snd.BytesDone < 4 * 1024 * 1024)
                return;
            struck = true;
            filesWereOpen = isOpenHere(source) && isOpenHere(target);
            row.strike(snd, rcv);
        });
        for (auto [party, says] : {std::pair(&sender, row.senderSays), std::pair(&receiver, row.receiverSays)})
            QTRY_VERIFY_WITH_TIMEOUT(says.isEmpty() ? party->transfer.stage() == Transfer::Stage::Ended : party->status == says, 10000);
        QVERIFY(filesWereOpen && !snd.STM->isActive() && !rcv.STM->isActive());
        QVERIFY(!isOpenHere(source) && !isOpenHere(target));
        // The partial target stays, holding only bytes the sender really read.
        const QByteArray partial = row.strike ? contentOf(target) : QByteArray();
        QCOMPARE(partial, content.left(partial.size()));
        QVERIFY(partial.size() == rcv.BytesDone && rcv.BytesDone <= snd.BytesDone && snd.BytesDone < content.size());
        // Nothing more is said afterwards, least of all by a side that was stopped.
        QTest::qWait(50);
        for (auto [party, says] : {std::pair(&sender, row.senderSays), std::pair(&receiver, row.receiverSays)})
            QVERIFY(says.isEmpty() ? !party->ended : party->status == says && party->ended && !party->finished);
    }

    void fileOverFourGibibytesArrivesWhole()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("4 GiB through the sanitizers takes minutes; the plain build moves it");
#endif
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("disk.img")), target = dir.filePath(QStringLiteral("copy.img"));
        {
            QFile file(source);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(LargeSize));
            for (const qint64 at : IslandsAt)
                QVERIFY(file.seek(at) && file.write(randomBytes(int(Island), quint32(at >> 16) + 1)) == Island);
        }
        const quint16 port = freePort();
        Party receiver(TransferSettings::Receive, port, target);
        QVERIFY(receiver.listening());
        Party sender(TransferSettings::Send, port, source);
        const QString end = finished(QStringLiteral("4195328"));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.status == end && sender.status == end, 150000);
        QCOMPARE(receiver.transfer.BytesDone, LargeSize);
        QCOMPARE(sender.transfer.BytesDone, LargeSize);
        QCOMPARE(QProcess::execute(QStringLiteral("cmp"), {QStringLiteral("-s"), source, target}), 0);
    }
};

QTEST_GUILESS_MAIN(TstTransfer)
#include "tst_transfer.moc"
