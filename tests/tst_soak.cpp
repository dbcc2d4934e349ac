#include "transferrig.h"

#include <malloc.h>
#ifdef __SANITIZE_ADDRESS__
// The sanitizer runtime's own count; gcc ships no header for it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {
int openFds() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size(); }

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

class TstSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { QFAIL("the program ended"); }); }

    void twoHundredTransfersInARowLeaveNothingBehind()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source.bin"));
        const QString target = dir.filePath(QStringLiteral("target.bin"));
        const quint16 port = freePort();
        QRandomGenerator random(200);
        std::optional<Side> receiver, sender;
        int fds = 0;
        qint64 memory = 0;
        for (int round = 0; round < 200; ++round) {
            const QByteArray content = randomBytes(random.bounded(1, 30000));
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
            const QString end = finished(ProcWin::K(qint32(content.size())));
            QTRY_VERIFY2(receiver->win.StatBox->text() == end && sender->win.StatBox->text() == end,
                         qPrintable(QStringLiteral("round %1: ").arg(round) + sender->win.StatBox->text() + " / "
                                    + receiver->win.StatBox->text()));
            QCOMPARE(contentOf(target), content);
            sender->win.CDBut->click();
            receiver->win.CDBut->click();
            QVERIFY(!sender->win.isLoaded() && !receiver->win.isLoaded());
            QVERIFY(sender->main.isLoaded() && receiver->main.isLoaded());
            // The stand-in's own record of dialogs is not the program's memory.
            receiver->dg->shown.clear(), sender->dg->shown.clear();
            QTest::qWait(20);
            if (round == 0)
                fds = openFds(), memory = bytesInUse();
        }
        QCOMPARE(openFds(), fds);
        const qint64 growth = bytesInUse() - memory;
        QVERIFY2(growth < 64 * 1024, qPrintable(QStringLiteral("%1 bytes more in use").arg(growth)));
    }
};

QTEST_MAIN(TstSoak)
#include "tst_soak.moc"
