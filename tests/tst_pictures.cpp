// The pictures as the program finds them in its resources: formats and sizes. Their pixels are
// judged where they are shown (the bar, the buttons and boxes).

#include "datarows.h"

#include <QFile>
#include <QImageReader>
#include <QtTest>

using Picture = std::tuple<QString, QSize, QByteArray>;

class TestPictures : public QObject
{
    Q_OBJECT

private slots:
    void everyPictureHasItsFormatAndSize_data()
    {
        // The first six are GIF89a, whose white is transparent; the bar and its slices GIF87a.
        QList<Picture> pictures = {
            {"send.gif", {32, 32}, "GIF89a"},  {"receive.gif", {32, 32}, "GIF89a"},  {"exit.gif", {32, 32}, "GIF89a"},
            {"about.gif", {16, 16}, "GIF89a"}, {"address.gif", {32, 32}, "GIF89a"}, {"aboutwin.gif", {32, 32}, "GIF89a"},
            {"bar.gif", {203, 13}, "GIF87a"},  {"background.bmp", {360, 180}, "BM"},  {"icon.ico", {32, 32}, QByteArray("\0\0\1\0", 4)}};
        for (int i = 0; i < 8; ++i)
            pictures.append({QStringLiteral("slice%1.gif").arg(i), {1, 10}, "GIF87a"});
        addRows(pictures, [](const Picture &row) { return std::get<0>(row); });
    }
    void everyPictureHasItsFormatAndSize()
    {
        QFETCH(Picture, row);
        const auto &[name, size, signature] = row;
        QFile file(":/pictures/" + name);
        QVERIFY(file.open(QFile::ReadOnly) && file.read(signature.size()) == signature);
        QVERIFY(!name.endsWith(u".bmp") || (file.seek(28) && file.read(2) == QByteArray("\x18\0", 2))); // 24 bits a pixel
        QImageReader reader(file.fileName());
        QVERIFY(reader.imageCount() == 1 && reader.size() == size);
        QCOMPARE(reader.read().hasAlphaChannel(), signature == "GIF89a" || name == u"icon.ico");
    }
};

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
