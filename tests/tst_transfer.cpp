#include "bartables.h"
#include "datarows.h"
#include "transferrig.h"

#include <malloc.h>
#ifdef __SANITIZE_ADDRESS__
// The sanitizer runtime's own count; gcc ships no header for it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {
int programEnds = 0;
const QString ByReciever = "Error ! Connection closed by reciever.", BySender = "Error ! Connection closed by sender.";
const QString CannotRead = QStringLiteral("Error ! Could not read file.");
struct Fault { const char *name; void (*strike)(ProcWin &snd, ProcWin &rcv); QString senderSays, receiverSays; int ends; };

qint64 bytesInUse()
{
#ifdef __SANITIZE_ADDRESS__
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}
}

class TstTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { ++programEnds; }); }

    void twoHundredFilesArriveByteForByteAndLeaveNothingBehind()
    {
        // Random sizes, then the boundaries, one after another through the same two windows.
        QList<int> sizes;
        QRandomGenerator random(200);
        while (sizes.size() < 189)
            sizes << random.bounded(1, 30000);
        constexpr int piece = int(ProcWin::PieceSize), bound = int(ProcWin::QueueBound);
        sizes << 1 << 4095 << 4096 << 4097 << 10000 << piece - 1 << piece << piece + 1 << bound - 1 << bound + 1
              << 5 * bound + 7;
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source.bin")), target = dir.filePath(QStringLiteral("target.bin"));
        const quint16 port = freePort();
        std::optional<Side> receiver, sender;
        int fds = 0;
        qint64 memory = 0;
        for (int round = 0; round < sizes.size(); ++round) {
            const QByteArray content = randomBytes(sizes[round]);
            QVERIFY(writeFile(source, content));
            if (round == 0) {
                QVERIFY(receiver.emplace(MainWin::Receive, port, target).listening());
                sender.emplace(MainWin::Send, port, source);
            } else {
                receiver->dg->choose(target), sender->dg->choose(source);
                receiver->win.Show();
                QVERIFY(receiver->listening());
                sender->win.Show();
            }
            ProcWin &snd = sender->win, &rcv = receiver->win;
            const QString end = finished(ProcWin::K(content.size()));
            QTRY_COMPARE_WITH_TIMEOUT(snd.StatBox->text() + " / " + rcv.StatBox->text(), end + " / " + end, 30000);
            QCOMPARE(contentOf(target), content);
            for (ProcWin *side : {&snd, &rcv}) {
                QCOMPARE(side->CDBut->text(), QStringLiteral("Done"));
                QVERIFY(rgb(side->ProcBar->Picture()).copy(4, 0, 199, 13) == fullBarFrom4());
            }
            QVERIFY(!isOpenHere(source) && !isOpenHere(target));
            // A close after "Finished." changes nothing.
            rcv.CDBut->click();
            QTRY_COMPARE(snd.NT->State(), int(TcpControl::Closed));
            QCOMPARE(snd.StatBox->text(), end);
            snd.CDBut->click();
            QVERIFY(!snd.isLoaded() && !rcv.isLoaded() && sender->main.isLoaded() && receiver->main.isLoaded());
            // The stand-in's own record of dialogs is not the program's memory.
            receiver->dg->shown.clear(), sender->dg->shown.clear();
            QTest::qWait(20);
            if (round == 0)
                fds = openFds(), memory = bytesInUse();
        }
        QCOMPARE(openFds(), fds);
        // The last connection's buffers go a moment after it closes; a leak never does.
        QTRY_VERIFY2(bytesInUse() - memory < 64 * 1024, qPrintable(QStringLiteral("%1 bytes more in use").arg(bytesInUse() - memory)));
        QCOMPARE(programEnds, 0);
    }

    void faultEndsInItsSentenceAndReleasesTheFiles_data()
    {
        // Each fault strikes a few megabytes in; none does for a target on /dev/full. An empty sentence:
        // that window is gone. Closing a window by its frame ends that side's program, nothing else may.
        addRows(QList<Fault>{
            {"receiver closed", [](ProcWin &, ProcWin &rcv) { rcv.window()->close(); }, ByReciever, {}, 1},
            {"sender closed", [](ProcWin &snd, ProcWin &) { snd.window()->close(); }, {}, BySender, 1},
            {"source shrinks", [](ProcWin &snd, ProcWin &) { QFile::resize(snd.FilePath, snd.BytesDone + 100); }, CannotRead, BySender, 0},
            {"disk full", nullptr, ByReciever, QStringLiteral("Error ! Could not write file."), 0},
            {"sender cancels", [](ProcWin &snd, ProcWin &) { snd.CDBut->click(); }, {}, BySender, 0},
            {"receiver cancels", [](ProcWin &, ProcWin &rcv) { rcv.CDBut->click(); }, ByReciever, {}, 0}},
            [](const Fault &row) { return row.name; });
    }
    void faultEndsInItsSentenceAndReleasesTheFiles()
    {
        QFETCH(Fault, row);
        programEnds = 0;
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source.bin"));
        const QString target = row.strike ? dir.filePath(QStringLiteral("target.bin")) : QStringLiteral("/dev/full");
        const QByteArray content = randomBytes(32 * 1024 * 1024);
        const quint16 port = freePort();
        QVERIFY(writeFile(source, content));
        Side receiver(MainWin::Receive, port, target);
        QVERIFY(receiver.listening());
        Side sender(MainWin::Send, port, source);
        ProcWin &snd = sender.win, &rcv = receiver.win;
        bool struck = !row.strike, filesWereOpen = struck;
        // Struck as a piece leaves: the pump has just read as far as BytesDone.
        QObject::connect(snd.NT, &TcpControl::SendComplete, &snd, [&] {
            if (struck || snd.BytesDone < 4 * 1024 * 1024)
                return;
            struck = true;
            filesWereOpen = isOpenHere(source) && isOpenHere(target);
            row.strike(snd, rcv);
        });
        for (auto [side, says] : {std::pair(&snd, row.senderSays), std::pair(&rcv, row.receiverSays)}) {
            QTRY_VERIFY_WITH_TIMEOUT(says.isEmpty() ? !side->isLoaded() : side->StatBox->text() == says, 10000);
            QVERIFY(says.isEmpty() || side->CDBut->text() == u"Done");
        }
        QVERIFY(filesWereOpen && (!snd.isLoaded() || !snd.STM->isActive()));
        QVERIFY(!isOpenHere(source) && !isOpenHere(target));
        // The partial target stays, holding only bytes the sender really read.
        const QByteArray partial = row.strike ? contentOf(target) : QByteArray();
        QCOMPARE(partial, content.left(partial.size()));
        QVERIFY(partial.size() == rcv.BytesDone && rcv.BytesDone <= snd.BytesDone && snd.BytesDone < content.size());
        QTest::qWait(50);
        QCOMPARE(programEnds, row.ends);
    }
};

QTEST_MAIN(TstTransfer)
#include "tst_transfer.moc"
