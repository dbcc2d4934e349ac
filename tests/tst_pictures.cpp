// The pictures as the program finds them in its resources: formats, sizes and colour tables,
// transparency over the button face, and the progress bar's pixels one by one.

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSet>
#include <QtTest>

namespace {

QByteArray resource(const QString &name)
{
    QFile file(QStringLiteral(":/pictures/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int byteAt(const QByteArray &b, qsizetype at)
{
    return at < b.size() ? quint8(b[at]) : 0;
}

int le16(const QByteArray &b, qsizetype at)
{
    return byteAt(b, at) | byteAt(b, at + 1) << 8;
}

qint64 le32(const QByteArray &b, qsizetype at)
{
    return le16(b, at) | qint64(le16(b, at + 2)) << 16;
}

struct GifFacts
{
    QByteArray signature;
    int width = 0;
    int height = 0;
    QList<QRgb> table;
    int extensions = 0;
    int transparentIndex = -1;
    int frames = 0;
    bool interlaced = false;
    bool complete = false; // reached the trailer through well-formed blocks
};

GifFacts readGif(const QByteArray &b)
{
    GifFacts f;
    f.signature = b.left(6);
    f.width = le16(b, 6);
    f.height = le16(b, 8);
    qsizetype at = 13;
    if (byteAt(b, 10) & 0x80) {
        for (int i = 0; i < (2 << (byteAt(b, 10) & 7)); ++i, at += 3)
            f.table.append(qRgb(byteAt(b, at), byteAt(b, at + 1), byteAt(b, at + 2)));
    }
    auto skipSubBlocks = [&b, &at] {
        while (at < b.size()) {
            const int length = byteAt(b, at++);
            if (length == 0)
                return true;
            at += length;
        }
        return false;
    };
    while (at < b.size()) {
        const int introducer = byteAt(b, at++);
        if (introducer == 0x3b) {
            f.complete = at == b.size();
            break;
        }
        if (introducer == 0x21) {
            ++f.extensions;
            if (byteAt(b, at++) == 0xf9 && byteAt(b, at) == 4 && (byteAt(b, at + 1) & 1))
                f.transparentIndex = byteAt(b, at + 4);
        } else if (introducer == 0x2c) {
            ++f.frames;
            const int packed = byteAt(b, at + 8);
            f.interlaced = f.interlaced || (packed & 0x40);
            at += 9 + ((packed & 0x80) ? 3 * (2 << (packed & 7)) : 0) + 1;
        } else {
            break;
        }
        if (!skipSubBlocks())
            break;
    }
    return f;
}

// Transparent pixels count as one colour: they are where the table's white entry stands.
int coloursUsed(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            colours.insert(qAlpha(p) == 0 ? 0 : p);
        }
    return int(colours.size());
}

struct TransparentGif
{
    const char *name;
    int size;
    int tableSize;
    int used;
};

const TransparentGif transparentGifs[] = {
    {"send.gif", 32, 64, 39},   {"receive.gif", 32, 64, 42}, {"exit.gif", 32, 8, 8},
    {"about.gif", 16, 8, 5},    {"address.gif", 32, 32, 20}, {"aboutwin.gif", 32, 64, 48},
};

} // namespace

class TestPictures : public QObject
{
    Q_OBJECT

private slots:
    void buttonPicturesAreSingleFrameGif89aWithWhiteEntryZeroTransparent()
    {
        for (const TransparentGif &expected : transparentGifs) {
            const QString name = QString::fromLatin1(expected.name);
            const GifFacts gif = readGif(resource(name));
            QVERIFY2(gif.complete, expected.name);
            QCOMPARE(gif.signature, QByteArray("GIF89a"));
            QCOMPARE(gif.width, expected.size);
            QCOMPARE(gif.height, expected.size);
            QCOMPARE(gif.table.size(), expected.tableSize);
            QCOMPARE(gif.table.value(0), qRgb(255, 255, 255));
            QCOMPARE(gif.transparentIndex, 0);
            QCOMPARE(gif.frames, 1);
            QVERIFY(!gif.interlaced);

            const QImage image(QStringLiteral(":/pictures/") + name);
            QCOMPARE(image.size(), QSize(expected.size, expected.size));
            QCOMPARE(coloursUsed(image), expected.used);
        }
    }

    void whiteOfButtonPicturesShowsTheFaceAndColoursStay()
    {
        for (const TransparentGif &expected : transparentGifs) {
            const QImage picture = QImage(QStringLiteral(":/pictures/") + QLatin1String(expected.name)).convertToFormat(QImage::Format_ARGB32);
            QImage face(picture.size(), QImage::Format_RGB32);
            face.fill(QColor(0xe0, 0xe0, 0xe0));
            QPainter(&face).drawImage(0, 0, picture);

            int shown = 0, through = 0;
            for (int y = 0; y < face.height(); ++y)
                for (int x = 0; x < face.width(); ++x) {
                    const QRgb p = picture.pixel(x, y);
                    // Every white pixel is the transparent entry; none may stay white on the face.
                    QVERIFY2(qAlpha(p) == 0 || qAlpha(p) == 255, expected.name);
                    QVERIFY2(qAlpha(p) == 0 || (p & 0xffffff) != 0xffffff, expected.name);
                    const QRgb want = qAlpha(p) == 0 ? qRgb(0xe0, 0xe0, 0xe0) : p;
                    QCOMPARE(face.pixel(x, y), want);
                    ++(qAlpha(p) == 0 ? through : shown);
                }
            QVERIFY2(shown > 0 && through > 0, expected.name);
        }
    }

    void emptyBarAndSlicesAreGif87aWithExactPixels()
    {
        // Rows 0, 1, 2, 3-10, 11, 12 against columns 0, 1, 2-200, 201, 202.
        static const QRgb bar[6][5] = {
            {0x888888, 0x888888, 0x888888, 0x888888, 0x888888}, {0x888888, 0x000000, 0x000000, 0x000000, 0x000000},
            {0x888888, 0x000000, 0x888888, 0xbbbbbb, 0x000000}, {0x888888, 0x000000, 0xbbbbbb, 0xdddddd, 0x000000},
            {0x888888, 0x000000, 0xdddddd, 0xdddddd, 0x000000}, {0x888888, 0x000000, 0x000000, 0x000000, 0x000000},
        };
        static const QRgb slices[8][10] = {
            {0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc},
            {0x6666cc, 0x9999ff, 0xccccff, 0xffffff, 0xffffff, 0xffffff, 0xccccff, 0x9999ff, 0x6666cc, 0x333399},
            {0x333399, 0x6666cc, 0x9999ff, 0xccccff, 0xffffff, 0xccccff, 0x9999ff, 0x6666cc, 0x333399, 0x000055},
            {0x333399, 0x6666cc, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x000055},
            {0x333399, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055},
            {0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000},
            {0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555},
            {0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888},
        };

        auto checkPlainGif = [](const QString &name, int width, int height) {
            const GifFacts gif = readGif(resource(name));
            QVERIFY2(gif.complete, qPrintable(name));
            QCOMPARE(gif.signature, QByteArray("GIF87a"));
            QCOMPARE(gif.extensions, 0);
            QCOMPARE(gif.frames, 1);
            QCOMPARE(gif.table.size(), 256);
            QCOMPARE(gif.width, width);
            QCOMPARE(gif.height, height);
        };

        checkPlainGif(QStringLiteral("bar.gif"), 203, 13);
        const QImage empty(QStringLiteral(":/pictures/bar.gif"));
        QCOMPARE(empty.size(), QSize(203, 13));
        for (int y = 0; y < 13; ++y)
            for (int x = 0; x < 203; ++x) {
                const int row = y <= 2 ? y : y <= 10 ? 3 : y - 7;
                const int column = x <= 1 ? x : x <= 200 ? 2 : x - 198;
                if (empty.pixel(x, y) != (0xff000000 | bar[row][column]))
                    QFAIL(qPrintable(QStringLiteral("bar pixel %1,%2 is #%3").arg(x).arg(y).arg(empty.pixel(x, y) & 0xffffff, 6, 16, QLatin1Char('0'))));
            }
        QCOMPARE(coloursUsed(empty), 4);

        for (int i = 0; i < 8; ++i) {
            const QString name = QStringLiteral("slice%1.gif").arg(i);
            checkPlainGif(name, 1, 10);
            const QImage slice(QStringLiteral(":/pictures/") + name);
            QCOMPARE(slice.size(), QSize(1, 10));
            for (int y = 0; y < 10; ++y)
                QCOMPARE(slice.pixel(0, y), 0xff000000 | slices[i][y]);
        }
    }

    void backgroundIsUncompressed24BitSkyBelowTheTitle()
    {
        const QByteArray bmp = resource(QStringLiteral("background.bmp"));
        QCOMPARE(bmp.left(2), QByteArray("BM"));
        QCOMPARE(le32(bmp, 18), 360);
        QCOMPARE(le32(bmp, 22), 180);
        QCOMPARE(le16(bmp, 28), 24);
        QCOMPARE(le32(bmp, 30), 0);
        QCOMPARE(bmp.size(), le32(bmp, 10) + 360 * 3 * 180);

        const QImage background(QStringLiteral(":/pictures/background.bmp"));
        QCOMPARE(background.size(), QSize(360, 180));
        QVERIFY(!background.hasAlphaChannel());
        QSet<QRgb> colours;
        for (int y = 0; y < 180; ++y)
            for (int x = 0; x < 360; ++x) {
                const QRgb p = background.pixel(x, y);
                colours.insert(p);
                // Buttons and status texts stand below the title: only blue sky and white clouds there.
                if (y >= 60 && (qRed(p) > qBlue(p) + 24 || qGreen(p) > qBlue(p) + 24))
                    QFAIL(qPrintable(QStringLiteral("colour #%1 at %2,%3").arg(p & 0xffffff, 6, 16, QLatin1Char('0')).arg(x).arg(y)));
            }
        QVERIFY2(colours.size() > 20000, "the sky should look photographed, not drawn in flat colours");
    }

    void iconIsOne32x32EightBitImageWithMask()
    {
        const QByteArray ico = resource(QStringLiteral("icon.ico"));
        QCOMPARE(le16(ico, 0), 0);
        QCOMPARE(le16(ico, 2), 1);
        QCOMPARE(le16(ico, 4), 1);
        QCOMPARE(byteAt(ico, 6), 32);
        QCOMPARE(byteAt(ico, 7), 32);
        QCOMPARE(le16(ico, 12), 8);
        const qint64 bytes = le32(ico, 14), offset = le32(ico, 18);
        QCOMPARE(offset + bytes, qint64(ico.size()));
        QCOMPARE(le32(ico, offset), 40);
        QCOMPARE(le32(ico, offset + 4), 32);
        QCOMPARE(le32(ico, offset + 8), 64); // colour rows and mask rows
        QCOMPARE(le16(ico, offset + 14), 8);
        QCOMPARE(le32(ico, offset + 16), 0);
        // Header, 256-entry palette, one byte per pixel, then one bit per pixel of mask.
        QCOMPARE(bytes, 40 + 256 * 4 + 32 * 32 + 32 * 4);

        const QImage icon(QStringLiteral(":/pictures/icon.ico"));
        QCOMPARE(icon.size(), QSize(32, 32));
        QVERIFY(icon.hasAlphaChannel());
        int clear = 0, white = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) {
                const QRgb p = icon.pixel(x, y);
                clear += qAlpha(p) == 0;
                white += qAlpha(p) == 255 && (p & 0xffffff) == 0xffffff;
            }
        QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
        QVERIFY(clear > 100);
        QVERIFY2(white > 50, "the van is white and opaque in the icon");
    }
};

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
