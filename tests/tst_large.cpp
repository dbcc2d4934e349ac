// A file past 2^31 and 2^32 bytes between two real windows: sizes and counts that a 32-bit type
// would wrap or refuse.
#include "transferrig.h"

namespace {
constexpr qint64 Size = (qint64(1) << 32) + (1 << 20) + 3;
constexpr qint64 Island = 64 * 1024;
// Random islands at the start, astride both boundaries and at the end; holes read as zeros.
constexpr qint64 IslandsAt[] = {0, (qint64(1) << 31) - Island / 2, (qint64(1) << 32) - Island / 2, Size - Island};

bool sameContent(const QString &a, const QString &b)
{
    QFile one(a), two(b);
    if (!one.open(QIODevice::ReadOnly) || !two.open(QIODevice::ReadOnly) || one.size() != two.size())
        return false;
    QByteArray x(8 << 20, Qt::Uninitialized), y(8 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = one.read(x.data(), x.size());
        if (got != two.read(y.data(), y.size()) || got < 0 || memcmp(x.constData(), y.constData(), size_t(got)) != 0)
            return false;
        if (got == 0)
            return true;
    }
}
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
        QVERIFY(sameContent(source, target));
    }
};

QTEST_MAIN(TstLarge)
#include "tst_large.moc"
