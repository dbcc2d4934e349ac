#include "datarows.h"
#include "transfer/fileoffer.h"

namespace {
using Cut = std::tuple<QString, quint8, FoundName>;
using Offer = std::tuple<QString, qint64, QByteArray>;
using Size = std::pair<QString, std::optional<qint64>>;
using Name = std::pair<QString, QString>;

QString tagOf(const QString &text) { return QString::number(text.size()) + " chars \"" + text.left(20) + '"'; }
}

class tst_FileOffer : public QObject
{
    Q_OBJECT

private slots:
    void getFnCutsNamesFromPathsAndOffersOrFails_data()
    {
        // Mode 1 cuts after the last backslash, mode 2 between "FN" and the first.
        const FoundName overflow{{}, FoundName::Overflow}, invalid{{}, FoundName::InvalidArgument};
        addRows(QList<Cut>{
            {"C:\\dir\\file.txt", 1, {"file.txt"}}, {"C:\\dir\\", 1, {""}}, {"FNnotes.txt\\ 5000", 1, {" 5000"}},
            {"FNnotes.txt\\ 5000", 2, {"notes.txt"}}, {"FNa\\b\\ 7", 1, {" 7"}}, {"FNa\\b\\ 7", 2, {"a"}}, {"FN\\ 12", 2, {""}},
            {"C:\\dir\\file.txt", 0, {""}}, {"no backslash", 3, {""}},
            // The counter is 16-bit: a backslash 32,767 characters from the end is still found.
            {u'\\' + QString(32766, u'a'), 1, {QString(32766, u'a')}},
            {"FNnotes.txt 5000", 1, overflow}, {"FNnotes.txt 5000", 2, overflow}, {"", 1, overflow},
            {"", 2, overflow}, {u'\\' + QString(32767, u'a'), 1, overflow}, {QString(32767, u'a') + u'\\', 2, overflow},
            {"\\FN 5", 2, invalid}, {"F\\ 5", 2, invalid},
        }, [](const Cut &row) { return tagOf(std::get<0>(row)) + " mode " + QString::number(std::get<1>(row)); });
    }
    void getFnCutsNamesFromPathsAndOffersOrFails()
    {
        QFETCH(Cut, row);
        const auto &[text, mode, found] = row;
        QCOMPARE(FileOffer::GetFN(text, mode), found);
    }

    void offerCarriesNameAndSize_data()
    {
        const char notes[] = {'F', 'N', 'n', 'o', 't', 'e', 's', '.', 't', 'x', 't', '\\', ' ', '5', '0', '0', '0'};
        addRows(QList<Offer>{
            {"/home/u/notes.txt", 5000, QByteArray(notes, sizeof notes)}, {"/tmp/a\\b.txt", 1, "FNa_b.txt\\ 1"},
            {"x", -5, "FNx\\-5"},
            // One byte per character while Latin-1 holds the name, so a peer reading 8-bit text shows it right.
            {"/tmp/caf\u00e9.bin", 100, "FNcaf\xe9.bin\\ 100"}, {"/tmp/\u00ff\u00e0.bin", 7, "FN\xff\xe0.bin\\ 7"},
            {"/tmp/big.img", 4294967296, "FNbig.img\\ 4294967296"},
            {"/tmp/\u0436\u00e9.bin", 100, "FN\xd0\xb6\xc3\xa9.bin\\ 100"}, {"/tmp/\U0001F600.txt", 1, "FN\xf0\x9f\x98\x80.txt\\ 1"},
        }, [](const Offer &row) { return std::get<0>(row); });
    }
    void offerCarriesNameAndSize()
    {
        QFETCH(Offer, row);
        const auto &[path, size, offer] = row;
        QCOMPARE(FileOffer::build(path, size), offer);
    }

    void offeredSizeIsAWholeNumberOfBytesReadExactly_data()
    {
        // Exactly, as an integer: a double would already round 2^63 - 1 up to 2^63.
        addRows(QList<Size>{
            {" 5000", 5000}, {"5000", 5000}, {"   42", 42}, {" 7\r\n", 7}, {" 0", 0},
            {" 2147483647", 2147483647}, {" 2147483648", 2147483648}, {" 9223372036854775807", 9223372036854775807},
            {" 9223372036854775808", std::nullopt}, {" 99999999999999999999999", std::nullopt},
            {" 1.5", std::nullopt}, {" 5e3", std::nullopt}, {" -1", std::nullopt}, {" +5", std::nullopt},
            {"", std::nullopt}, {" ", std::nullopt}, {" 12abc", std::nullopt}, {" 1 2", std::nullopt},
        }, [](const Size &row) { return '"' + row.first + '"'; });
    }
    void offeredSizeIsAWholeNumberOfBytesReadExactly()
    {
        QFETCH(Size, row);
        const auto &[text, value] = row;
        QVERIFY(FileOffer::parseSize(text) == value);
    }

    void offeredNameIsDecodedAndMadeSafe_data()
    {
        addRows(QList<Name>{
            {"notes.txt", "notes.txt"}, {"../../.bashrc", ".bashrc"}, {"/etc/passwd", "passwd"},
            {QStringLiteral("a\x01" "b\tc\x7f\u0085.txt\n"), "abc.txt"}, {"", ""}, {".", ""}, {"..", ""}, {"dir/", ""},
            {"/..", ""}, {".\x02.", ""}, {QString(255, u'a'), QString(255, u'a')}, {QString(256, u'a'), ""},
            // The limit counts bytes: 128 two-byte characters are 256 bytes.
            {QString(128, u'\u00e9'), ""},
        }, [](const Name &row) { return tagOf(row.first); });
    }
    void offeredNameIsDecodedAndMadeSafe()
    {
        // The receiver gets the name as 8-bit characters; UTF-8 bytes are decoded, others are Latin-1.
        QCOMPARE(FileOffer::decodeName(QString::fromLatin1("caf\xc3\xa9.txt")), QStringLiteral("caf\u00e9.txt"));
        QCOMPARE(FileOffer::decodeName(QString::fromLatin1("caf\xe9.txt")), QStringLiteral("caf\u00e9.txt"));
        QCOMPARE(FileOffer::decodeName(QString::fromLatin1("\xc3(")), QStringLiteral("\u00c3("));
        QFETCH(Name, row);
        const auto &[name, safe] = row;
        QCOMPARE(FileOffer::safeName(name), safe);
    }
};

QTEST_MAIN(tst_FileOffer)
#include "tst_fileoffer.moc"
