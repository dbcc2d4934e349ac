// A file past 2^31 and 2^32 bytes between two real windows: sizes and counts that a 32-bit type
// would wrap or refuse.
#include "transferrig.h"

#include <QProcess>

namespace {
constexpr qint64 Size = (qint64(1) << 32) + (1 << 20) + 3;
constexpr qint64 Island = 64 * 1024;
// Random islands at the start, astride both boundaries and at the end; holes read as zeros.
constexpr qint64 IslandsAt[] = {0, (qint64(1) << 31) - Island / 2, (qint64(1) << 32) - Island / 2, Size - Island};
}

class TstLarge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] {}); }

    void fileOverFourGibibytesArrivesWhole()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("4 GiB through the sanitizers takes minutes; the plain build moves it");
#endif
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("disk.img")), target = dir.filePath(QStringLiteral("copy.img"));
        {
            QFile file(source);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(Size));
            for (const qint64 at : IslandsAt)
                QVERIFY(file.seek(at) && file.write(randomBytes(int(Island), quint32(at >> 16) + 1)) == Island);
        }
        const quint16 port = freePort();
        Side receiver(MainWin::Receive, port, target);
        QVERIFY(receiver.listening());
        Side sender(MainWin::Send, port, source);
        const QString end = finished(QStringLiteral("4195328"));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.win.StatBox->text() == end && sender.win.StatBox->text() == end, 150000);
        QCOMPARE(receiver.win.BytesDone, Size);
        QCOMPARE(sender.win.BytesDone, Size);
        QCOMPARE(QProcess::execute(QStringLiteral("cmp"), {QStringLiteral("-s"), source, target}), 0);
    }
};

QTEST_MAIN(TstLarge)
#include "tst_large.moc"
