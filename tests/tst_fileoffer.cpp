#include "transfer/fileoffer.h"

#include <QTest>

class tst_FileOffer : public QObject
{
    Q_OBJECT

private slots:
    void getFnCutsNamesFromPathsAndOffersOrFails()
    {
        // Mode 1 cuts after the last backslash, mode 2 between "FN" and the first.
        const QList<std::tuple<QString, quint8, QString>> cuts = {
            {"C:\\dir\\file.txt", 1, "file.txt"}, {"C:\\dir\\", 1, ""}, {"FNnotes.txt\\ 5000", 1, " 5000"},
            {"FNnotes.txt\\ 5000", 2, "notes.txt"}, {"FNa\\b\\ 7", 1, " 7"}, {"FNa\\b\\ 7", 2, "a"}, {"FN\\ 12", 2, ""},
            {"C:\\dir\\file.txt", 0, ""}, {"no backslash", 3, ""},
            // The counter is 16-bit: a backslash 32,767 characters from the end is still found.
            {u'\\' + QString(32766, u'a'), 1, QString(32766, u'a')},
        };
        for (const auto &[text, mode, name] : cuts)
            QCOMPARE(FileOffer::GetFN(text, mode), FoundName{name});

        const QList<std::pair<QString, quint8>> overflows = {{"FNnotes.txt 5000", 1}, {"FNnotes.txt 5000", 2}, {"", 1},
            {"", 2}, {u'\\' + QString(32767, u'a'), 1}, {QString(32767, u'a') + u'\\', 2}};
        for (const auto &[text, mode] : overflows)
            QCOMPARE(FileOffer::GetFN(text, mode).failure, FoundName::Overflow);
        for (const char *text : {"\\FN 5", "F\\ 5"})
            QCOMPARE(FileOffer::GetFN(QString::fromLatin1(text), 2).failure, FoundName::InvalidArgument);
    }

    void offerCarriesNameAndSizeAndTheSizeIsReadBack()
    {
        const char notes[] = {'F', 'N', 'n', 'o', 't', 'e', 's', '.', 't', 'x', 't', '\\', ' ', '5', '0', '0', '0'};
        const QList<std::tuple<QString, qint32, QByteArray>> offers = {
            {"/home/u/notes.txt", 5000, QByteArray(notes, sizeof notes)}, {"/tmp/a\\b.txt", 1, "FNa_b.txt\\ 1"},
            {"x", -5, "FNx\\-5"},
            // One byte per character while Latin-1 holds the name, so a peer reading 8-bit text shows it right.
            {"/tmp/caf\u00e9.bin", 100, "FNcaf\xe9.bin\\ 100"}, {"/tmp/\u00ff\u00e0.bin", 7, "FN\xff\xe0.bin\\ 7"},
            {"/tmp/\u0436\u00e9.bin", 100, "FN\xd0\xb6\xc3\xa9.bin\\ 100"}, {"/tmp/\U0001F600.txt", 1, "FN\xf0\x9f\x98\x80.txt\\ 1"},
        };
        for (const auto &[path, size, offer] : offers)
            QCOMPARE(FileOffer::build(path, size), offer);

        // The receiver reads the size as far as a number goes and rounds it to even.
        const QList<std::pair<const char *, std::optional<qint32>>> rows = {
            {" 5000", 5000}, {"5000", 5000}, {"   42", 42}, {" -5", -5}, {" 10.5", 10}, {" 11.5", 12}, {" 0.5", 0},
            {" 10.6", 11}, {" 12abc", 12}, {" 3.5.1", 4}, {"", 0}, {"abc", 0}, {" .", 0}, {" -", 0},
            {" 2147483647", 2147483647}, {" -2147483648", -2147483647 - 1}, {" 2147483647.4", 2147483647},
            {" 2147483648", std::nullopt}, {" 2147483647.5", std::nullopt}, {" -2147483649", std::nullopt},
            {" 99999999999999999999999", std::nullopt},
        };
        for (const auto &[text, value] : rows)
            QVERIFY2(FileOffer::parseSize(QString::fromLatin1(text)) == value, text);
    }

    void offeredNameIsDecodedAndMadeSafe()
    {
        // The receiver gets the name as 8-bit characters; UTF-8 bytes are decoded, others are Latin-1.
        QCOMPARE(FileOffer::decodeName(QString::fromLatin1("caf\xc3\xa9.txt")), QStringLiteral("caf\u00e9.txt"));
        QCOMPARE(FileOffer::decodeName(QString::fromLatin1("caf\xe9.txt")), QStringLiteral("caf\u00e9.txt"));
        QCOMPARE(FileOffer::decodeName(QString::fromLatin1("\xc3(")), QStringLiteral("\u00c3("));

        const QList<std::pair<QString, QString>> names = {
            {"notes.txt", "notes.txt"}, {"../../.bashrc", ".bashrc"}, {"/etc/passwd", "passwd"},
            {QStringLiteral("a\x01" "b\tc\x7f\u0085.txt\n"), "abc.txt"}, {"", ""}, {".", ""}, {"..", ""}, {"dir/", ""},
            {"/..", ""}, {".\x02.", ""}, {QString(255, u'a'), QString(255, u'a')}, {QString(256, u'a'), ""},
            // The limit counts bytes: 128 two-byte characters are 256 bytes.
            {QString(128, u'\u00e9'), ""},
        };
        for (const auto &[name, safe] : names)
            QCOMPARE(FileOffer::safeName(name), safe);
    }
};

QTEST_MAIN(tst_FileOffer)
#include "tst_fileoffer.moc"
