// The pictures as the program finds them in its resources: formats, sizes, colour tables and exact pixels.

#include "bartables.h"
#include "transfer/pbform.h"

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

class TestPictures : public QObject
{
    Q_OBJECT

private slots:
    void everyPictureHasItsFormatSizeAndPixels()
    {
        const auto load = [](const QString &path) { QFile f(path); return f.open(QFile::ReadOnly) ? f.readAll() : ""; };
        struct Gif { QString name; int width, height, table; };
        QList<Gif> gifs = {{"send", 32, 32, 64}, {"receive", 32, 32, 64}, {"exit", 32, 32, 8}, {"about", 16, 16, 8},
                           {"address", 32, 32, 32}, {"aboutwin", 32, 32, 64}, {"bar", 203, 13, 256}};
        for (int i = 0; i < 8; ++i)
            gifs.append({QStringLiteral("slice%1").arg(i), 1, 10, 256});
        for (int i = 0; i < gifs.size(); ++i) {
            const auto &[name, width, height, table] = gifs[i];
            const QString path = QStringLiteral(":/pictures/%1.gif").arg(name);
            const QByteArray b = load(path);
            // The first six are GIF89a, whose white first entry a control block right after the table makes
            // transparent; all hold one frame that is not interlaced.
            const bool transparent = i < 6;
            QCOMPARE(b.left(6), transparent ? QByteArray("GIF89a") : QByteArray("GIF87a"));
            QVERIFY2(le(b, 6, 2) == width && le(b, 8, 2) == height && (le(b, 10, 1) & 0x80)
                         && 2 << (le(b, 10, 1) & 7) == table, qPrintable(name));
            qint64 at = 13 + 3 * table;
            if (transparent) {
                QVERIFY2(le(b, 13, 3) == 0xFFFFFF && le(b, at, 3) == 0x04F921 && (le(b, at + 3, 1) & 1)
                             && le(b, at + 6, 2) == 0, qPrintable(name));
                at += 8;
            }
            QVERIFY2(le(b, at, 1) == 0x2C && !(le(b, at + 9, 1) & 0x40) && b.endsWith(';'), qPrintable(name));
            const QImage image(path);
            QVERIFY2(QImageReader(path).imageCount() == 1 && image.hasAlphaChannel() == transparent, qPrintable(name));
            // The empty bar, and each slice as the program reads it through pp, carry their tables.
            if (i == 6)
                QCOMPARE(rgb(image), barWith());
            else if (i > 6)
                QCOMPARE(rgb(PBForm::instance().pp(i - 7)->Picture()), barWith({{2, i - 7}}).copy(2, 2, 1, 10));
        }
        QVERIFY(PBForm::instance().isLoaded() && !PBForm::instance().window()->isVisible());

        // 24-bit uncompressed background; one 8-bit icon image: header, 256-entry palette, pixels, 1-bit mask.
        const QByteArray bmp = load(":/pictures/background.bmp"), ico = load(":/pictures/icon.ico");
        const qint64 dib = le(ico, 18, 4);
        const struct { const QByteArray &b; qint64 at; int n; qint64 want; } fields[] = {
            {bmp, 0, 2, 0x4D42}, {bmp, 18, 4, 360}, {bmp, 22, 4, 180}, {bmp, 28, 2, 24}, {bmp, 30, 4, 0},
            {bmp, 10, 4, bmp.size() - 360 * 3 * 180}, {ico, 0, 6, 0x000100010000}, {ico, 6, 2, 0x2020}, {ico, 12, 2, 8},
            {ico, 14, 4, 40 + 256 * 4 + 32 * 32 + 32 * 4}, {ico, 18, 4, ico.size() - le(ico, 14, 4)}, {ico, dib, 4, 40},
            {ico, dib + 4, 4, 32}, {ico, dib + 8, 4, 64}, {ico, dib + 14, 2, 8}, {ico, dib + 16, 4, 0}};
        for (const auto &[b, at, n, want] : fields)
            QVERIFY2(le(b, at, n) == want, qPrintable(QStringLiteral("field at %1").arg(at)));
        const QImage icon(":/pictures/icon.ico");
        QVERIFY(QImage(":/pictures/background.bmp").size() == QSize(360, 180) && icon.size() == QSize(32, 32));
        QVERIFY(qAlpha(icon.pixel(0, 0)) == 0 && qAlpha(icon.pixel(16, 16)) == 255);
    }
};

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
