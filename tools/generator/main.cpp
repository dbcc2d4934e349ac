// Draws every picture of the program into resources/pictures, and its menu icons into
// resources/linux/icons. Run it by hand after changing the
// artwork and commit what it writes; the build itself only compiles the files in.

#include "artwork.h"
#include "encoders.h"
#include "quantizer.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSet>

#include <cstdio>

namespace {

QString outputDir;

bool save(const QString &name, const QByteArray &bytes)
{
    QFile file(QDir(outputDir).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        return false;
    }
    return true;
}

int coloursUsed(const IndexedPicture &picture)
{
    QSet<QRgb> colours;
    for (qsizetype i = 0; i < picture.indexes.size(); ++i)
        colours.insert(picture.table[quint8(picture.indexes[i])]);
    return int(colours.size());
}

bool saveTransparentGif(const QString &name, const QImage &art, int used, int tableSize)
{
    const IndexedPicture picture = quantize(art, {used, tableSize, qRgb(255, 255, 255), true});
    std::printf("%-13s %d of %d colours\n", qPrintable(name), coloursUsed(picture), tableSize);
    return save(name, encodeGif(picture, GifKind::WhiteTransparent));
}

// The progress bar's pictures are fixed pixel for pixel; the display's geometry relies on them.
QImage emptyBar()
{
    const QRgb grey = qRgb(0x88, 0x88, 0x88), black = qRgb(0, 0, 0);
    const QRgb floor = qRgb(0xbb, 0xbb, 0xbb), light = qRgb(0xdd, 0xdd, 0xdd);
    QImage bar(203, 13, QImage::Format_RGB32);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 203; ++x) {
            QRgb c;
            if (y == 0 || x == 0)
                c = grey;
            else if (y == 1 || y == 12 || x == 1 || x == 202)
                c = black;
            else if (y == 2)
                c = x == 201 ? floor : grey;
            else if (y == 11 || x == 201)
                c = light;
            else
                c = floor;
            bar.setPixel(x, y, c);
        }
    return bar;
}

QImage slice(int index)
{
    static const QRgb columns[8][10] = {
        {0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc, 0x6666cc},
        {0x6666cc, 0x9999ff, 0xccccff, 0xffffff, 0xffffff, 0xffffff, 0xccccff, 0x9999ff, 0x6666cc, 0x333399},
        {0x333399, 0x6666cc, 0x9999ff, 0xccccff, 0xffffff, 0xccccff, 0x9999ff, 0x6666cc, 0x333399, 0x000055},
        {0x333399, 0x6666cc, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x333399, 0x000055},
        {0x333399, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055, 0x000055},
        {0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000},
        {0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555, 0x555555},
        {0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888, 0x888888},
    };
    QImage column(1, 10, QImage::Format_RGB32);
    for (int y = 0; y < 10; ++y)
        column.setPixel(0, y, 0xff000000 | columns[index][y]);
    return column;
}

} // namespace

int main(int argc, char *argv[])
{
    // Text needs a GUI application, not a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    outputDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(VELTRANE_PICTURES_DIR);
    const QString iconsDir = argc > 1 ? QDir(outputDir).absoluteFilePath("icons") : QStringLiteral(VELTRANE_ICONS_DIR);
    QDir().mkpath(outputDir);

    bool ok = save("background.bmp", encodeBmp24(paintBackground()));

    const QImage van = paintVan();
    // Masked-out pixels carry entry 0, black, so that the screen XOR of the mask leaves them alone.
    const IndexedPicture icon = quantize(van, {49, 256, qRgb(0, 0, 0), false});
    std::printf("%-13s %d of 256 colours\n", "icon.ico", coloursUsed(icon));
    ok = save("icon.ico", encodeIco(icon, van)) && ok;
    // The desktop's menu takes its icon from the icon theme: PNGs at the sizes it asks for, each
    // drawn at its own size rather than scaled from the 32-pixel one.
    for (int size : {16, 32, 48, 64, 128, 256}) {
        QByteArray png;
        QBuffer pngBuffer(&png);
        pngBuffer.open(QIODevice::WriteOnly);
        const QString folder = QStringLiteral("%1/hicolor/%2x%2/apps").arg(iconsDir).arg(size);
        QDir().mkpath(folder);
        ok = paintVan(size).save(&pngBuffer, "PNG") && save(folder + "/" VELTRANE_APP_ID ".png", png) && ok;
    }

    ok = saveTransparentGif("send.gif", paintSend(), 39, 64) && ok;
    ok = saveTransparentGif("receive.gif", paintReceive(), 42, 64) && ok;
    ok = saveTransparentGif("exit.gif", paintExit(), 8, 8) && ok;
    ok = saveTransparentGif("about.gif", paintAboutFace(), 5, 8) && ok;
    ok = saveTransparentGif("address.gif", paintAddress(), 20, 32) && ok;
    ok = saveTransparentGif("aboutwin.gif", van, 48, 64) && ok;

    ok = save("bar.gif", encodeGif(indexExactly(emptyBar(), 256), GifKind::Plain)) && ok;
    for (int i = 0; i < 8; ++i)
        ok = save(QStringLiteral("slice%1.gif").arg(i), encodeGif(indexExactly(slice(i), 256), GifKind::Plain)) && ok;
    return ok ? 0 : 1;
}
