// The pictures as the program finds them in its resources: formats, sizes and colour depths.

#include <QFile>
#include <QImageReader>
#include <QtTest>

// An unsigned little-endian field of n bytes; bytes past the end read as 0.
static qint64 le(const QByteArray &b, qint64 at, int n)
{
    qint64 value = 0;
    for (int i = n - 1; i >= 0; --i)
        value = value << 8 | (at + i < b.size() ? quint8(b[at + i]) : 0);
    return value;
}

static QByteArray load(const QString &path)
{
    QFile f(path);
    return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
}

class TestPictures : public QObject
{
    Q_OBJECT

private slots:
    void everyPictureHasItsFormatAndSize()
    {
        // The first six are GIF89a with white transparent, the bar and its slices GIF87a; one frame each.
        struct Gif { QString name; int width, height, table; };
        QList<Gif> gifs = {{"send", 32, 32, 64}, {"receive", 32, 32, 64}, {"exit", 32, 32, 8}, {"about", 16, 16, 8},
                           {"address", 32, 32, 32}, {"aboutwin", 32, 32, 64}, {"bar", 203, 13, 256}};
        for (int i = 0; i < 8; ++i)
            gifs.append({QStringLiteral("slice%1").arg(i), 1, 10, 256});
        for (int i = 0; i < gifs.size(); ++i) {
            const auto &[name, width, height, table] = gifs[i];
            const QString path = QStringLiteral(":/pictures/%1.gif").arg(name);
            const QByteArray b = load(path);
            QCOMPARE(b.left(6), i < 6 ? QByteArray("GIF89a") : QByteArray("GIF87a"));
            QVERIFY2(le(b, 6, 2) == width && le(b, 8, 2) == height && 2 << (le(b, 10, 1) & 7) == table, qPrintable(name));
            QVERIFY2(le(b, 13, 3) == 0xFFFFFF || i >= 6, qPrintable(name));
            QVERIFY2(QImageReader(path).imageCount() == 1 && QImage(path).hasAlphaChannel() == (i < 6), qPrintable(name));
        }

        // 24-bit uncompressed background; one 8-bit icon image with its mask.
        const QByteArray bmp = load(":/pictures/background.bmp"), ico = load(":/pictures/icon.ico");
        const qint64 dib = le(ico, 18, 4);
        QVERIFY(le(bmp, 0, 2) == 0x4D42 && le(bmp, 28, 2) == 24 && le(bmp, 30, 4) == 0);
        QVERIFY(le(ico, 0, 6) == 0x000100010000 && le(ico, dib + 14, 2) == 8 && le(ico, dib + 8, 4) == 64);
        const QImage icon(":/pictures/icon.ico");
        QVERIFY(QImage(":/pictures/background.bmp").size() == QSize(360, 180) && icon.size() == QSize(32, 32));
        QVERIFY(qAlpha(icon.pixel(0, 0)) == 0 && qAlpha(icon.pixel(16, 16)) == 255);
    }
};

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
