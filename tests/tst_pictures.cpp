// The pictures as the program finds them in its resources: formats and sizes. Their pixels are
// judged where they are shown (the bar, the buttons and boxes).

#include <QFile>
#include <QImageReader>
#include <QtTest>

class TestPictures : public QObject
{
    Q_OBJECT

private slots:
    void everyPictureHasItsFormatAndSize()
    {
        // The first six are GIF89a, whose white is transparent; the bar and its slices GIF87a.
        QList<std::tuple<QString, QSize, QByteArray>> pictures = {
            {"send.gif", {32, 32}, "GIF89a"},  {"receive.gif", {32, 32}, "GIF89a"},  {"exit.gif", {32, 32}, "GIF89a"},
            {"about.gif", {16, 16}, "GIF89a"}, {"address.gif", {32, 32}, "GIF89a"}, {"aboutwin.gif", {32, 32}, "GIF89a"},
            {"bar.gif", {203, 13}, "GIF87a"},  {"background.bmp", {360, 180}, "BM"},  {"icon.ico", {32, 32}, QByteArray("\0\0\1\0", 4)}};
        for (int i = 0; i < 8; ++i)
            pictures.append({QStringLiteral("slice%1.gif").arg(i), {1, 10}, "GIF87a"});
        for (const auto &[name, size, signature] : pictures) {
            QFile file(":/pictures/" + name);
            QVERIFY2(file.open(QFile::ReadOnly) && file.read(signature.size()) == signature, qPrintable(name));
            QImageReader reader(file.fileName());
            QVERIFY2(reader.imageCount() == 1 && reader.size() == size, qPrintable(name));
            QCOMPARE(reader.read().hasAlphaChannel(), signature == "GIF89a" || name == u"icon.ico");
        }
        QFile background(QStringLiteral(":/pictures/background.bmp"));
        QVERIFY(background.open(QFile::ReadOnly));
        QCOMPARE(background.readAll().mid(28, 2), QByteArray("\x18\0", 2)); // 24 bits a pixel
    }
};

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
