#include "datarows.h"
#include "exchangerig.h"
#include "transfer/fileoffer.h"

#include <QElapsedTimer>
#include <QSignalSpy>

namespace {
const QString ByReciever = QStringLiteral("Error ! Connection closed by reciever.");
const QString BySender = QStringLiteral("Error ! Connection closed by sender.");
const QString SaveCancelled = QStringLiteral("Saving file cancelled. Connection closed.");
const QString Waiting = QStringLiteral("Connected. Waiting for file ...");
const QByteArray NotesOffer = "FNnotes.txt\\ 5000";
constexpr quint8 Send = TransferSettings::Send, Receive = TransferSettings::Receive;
using Opening = std::tuple<quint8, QString, QByteArray, QByteArray, QString, int, bool>;
using Cut = std::tuple<QString, quint8, FoundName>;
using Offer = std::tuple<QString, qint64, QByteArray>;
using Size = std::pair<QString, std::optional<qint64>>;
using Name = std::pair<QString, QString>;

QString makeFile(const QTemporaryDir &dir, const QString &name, qint64 size)
{
    QFile file(dir.filePath(name));
    return file.open(QIODevice::WriteOnly) && file.resize(size) ? file.fileName() : QString();
}

QString tagOf(const QString &text) { return QString::number(text.size()) + " chars \"" + text.left(20) + '"'; }
}

class tst_Handshake : public QObject
{
    Q_OBJECT

    QTemporaryDir files;

private slots:
    void rawPeerGetsTheAnswerEachOpeningDeserves_data()
    {
        const QString notes = makeFile(files, "notes.txt", 5000);
        // Mode, file the chooser answers with, bytes sent in one read ("" closes at once), the side's whole
        // reply, its status, choices asked for, whether the peer leaves while the choice is being made.
        QList<Opening> rows = {
            {Send, {}, "OK", "RCCC", "No file selected. Connection cancelled.", 1, false},
            {Send, makeFile(files, "empty.txt", 0), "OK", "RCCC", "Zero length file. Connection cancelled.", 1, false},
            {Send, files.filePath("gone.txt"), "OK", "RCCC", "Could not read file. Connection cancelled.", 1, false},
            // Any size goes out, and a peer that cannot hold it answers "CC".
            {Send, makeFile(files, "2g.bin", qint64(1) << 31), "OK", "RCFN2g.bin\\ 2147483648", "Sending request ...", 1, false},
            {Send, makeFile(files, "3g.bin", qint64(3) << 30), "OKCC", "RCFN3g.bin\\ 3221225472", ByReciever, 1, false},
            {Send, notes, "OKCC", "RC" + NotesOffer, ByReciever, 1, false},
            {Send, {}, "", "RC", ByReciever, 0, false},
            {Send, notes, "OK", "RC", ByReciever, 1, true},
            {Receive, {}, NotesOffer, "OKCC", SaveCancelled, 1, false},
            {Receive, {}, "RC", "OK", Waiting, 0, false},
            {Receive, {}, "CC", "OK", BySender, 0, false},
            {Receive, {}, "", "OK", BySender, 0, false},
            {Receive, files.filePath("saved.txt"), NotesOffer, "OK", BySender, 1, true},
        };
        for (const char *stray : {"RC", "ok", "OK!", "FNx.txt\\ 5", "SD"})
            rows.append({Send, {}, stray, "RC", "Connecting to 127.0.0.1 ...", 0, false});
        for (const char *stray : {"OK", "SD"})
            rows.append({Receive, {}, stray, "OK", "Waiting for connection ...", 0, false});
        // Sizes a double or a lenient parse would take; no backslash, so no size at all.
        for (const char *offer : {"FNnotes.txt 5000", "FNnotes.txt\\ many", "FNnotes.txt\\", "FNnotes.txt\\ 0",
                                  "FNnotes.txt\\ 0.5", "FNnotes.txt\\-5", "FNnotes.txt\\ 9223372036854775808",
                                  "FNnotes.txt\\ 1.5", "FNnotes.txt\\ 5e3", "FNnotes.txt\\ -1", "FNnotes.txt\\ +5"})
            rows.append({Receive, {}, offer, "OKCC", SaveCancelled, 0, false});
        // Past the longest name a search may scan: refused before anyone is asked.
        rows.append({Receive, {}, "RCFN" + QByteArray(100000, 'n') + "\\ 5", "OKCC", SaveCancelled, 0, false});
        addRows(rows, [](const Opening &row) {
            return (std::get<0>(row) == Send ? "send \"" : "receive \"") + std::get<2>(row).left(40) + "\": " + std::get<4>(row);
        });
    }
    void rawPeerGetsTheAnswerEachOpeningDeserves()
    {
        QFETCH(Opening, row);
        const auto &[mode, choice, sent, reply, status, choices, leaves] = row;
        RawRig rig;
        QVERIFY(rig.open(mode, choice));
        Party &side = *rig.side;
        // A choice that comes back with a file finds nobody left to take it.
        if (leaves)
            side.chooser.whileOpen = [&] { rig.peer->close(); QTRY_COMPARE(side.status, status); };
        sent.isEmpty() ? rig.peer->close() : void(rig.peer->write(sent));
        QTRY_COMPARE(side.transfer.InMsg, QString::fromLatin1(sent));
        QTRY_VERIFY2(rig.wire == reply && side.status == status, qPrintable(side.status));
        // Every sentence that ends the handshake speaks of the connection.
        QCOMPARE(side.ended, status.contains(u"Connection c"));
        QCOMPARE(side.chooser.asked + side.chooser.shown.size(), choices);
        QVERIFY(!QFile::exists(files.filePath("saved.txt")));
    }

    void rawPeerCompletesTheHandshakeWithEitherSide()
    {
        QTemporaryDir dir;
        RawRig sender;
        QVERIFY(sender.open(Send, makeFile(dir, "notes.txt", 5000)));
        Party &snd = *sender.side;
        QSignalSpy arrivals(snd.transfer.NT, &TcpControl::DataArrival);
        // A second "OK" while the choice is being made is announced only once it is made (the spy
        // hears the first only when the transfer's handler returns), is then read, and asks no second
        // time: the "SD" after it is read alone.
        snd.chooser.whileOpen = [&] {
            QCOMPARE(snd.status, QStringLiteral("Connected. Pease select a file ..."));
            sender.peer->write("OK"), sender.peer->flush(), QTest::qWait(50);
            QVERIFY(arrivals.isEmpty());
        };
        sender.peer->write("OK");
        QTRY_COMPARE(sender.wire, "RC" + NotesOffer);
        QTRY_COMPARE(arrivals, (QList<QVariantList>{{2}, {2}}));
        QString afterGo;
        QObject::connect(snd.transfer.NT, &TcpControl::DataArrival, &snd.transfer, [&] { afterGo = snd.status; });
        sender.peer->write("SD");
        QTRY_COMPARE(snd.transfer.InMsg, QStringLiteral("SD"));
        QCOMPARE(afterGo, QStringLiteral("Sending file ..."));
        QCOMPARE(snd.title, QStringLiteral("Veltrane (not encrypted)"));
        QCOMPARE(snd.chooser.asked, 1);

        const QString target = dir.filePath("saved.txt");
        RawRig receiver;
        QVERIFY(receiver.open(Receive, target));
        Party &rcv = *receiver.side;
        bool createdEarly = true;
        rcv.chooser.whileOpen = [&] {
            createdEarly = QFile::exists(target);
            QCOMPARE(rcv.status, QStringLiteral("Save file to ..."));
        };
        // The name is the offer's last component only: it cannot steer the choice elsewhere.
        receiver.peer->write("RCFN../../.bashrc\\ 5");
        QTRY_COMPARE(receiver.wire, QByteArray("OKSD"));
        QVERIFY(!createdEarly && QFile::exists(target));
        QCOMPARE(rcv.chooser.shown.size(), 1);
        const Transfer::Offer &offer = rcv.chooser.shown.first();
        QVERIFY(offer.from == u"127.0.0.1" && offer.name == u".bashrc" && offer.size == 5 && !offer.bundle);
        QVERIFY(rcv.transfer.XferState == Transfer::ReceivingData && rcv.transfer.FileSize == 5);
        QCOMPARE(rcv.title, QStringLiteral("Veltrane (not encrypted)"));

        // Once the announced bytes are in, a second offer stays unread.
        receiver.peer->write("hello");
        QTRY_COMPARE(rcv.status, finished("0"));
        QVERIFY(rcv.finished);
        QSignalSpy unread(rcv.transfer.NT, &TcpControl::DataArrival);
        receiver.peer->write(NotesOffer);
        QTRY_COMPARE(unread.size(), 1);
        receiver.peer->write("x");
        QTRY_COMPARE(unread, (QList<QVariantList>{{int(NotesOffer.size())}, {int(NotesOffer.size()) + 1}}));
        QCOMPARE(rcv.chooser.shown.size(), 1);
        QCOMPARE(contentOf(target), QByteArray("hello"));
    }

    void designReceiverHearsRcTwoSecondsAfterTheConnectionAndTheFileInTheClear()
    {
        QTemporaryDir dir;
        const QByteArray content = randomBytes(5000);
        QVERIFY(writeFile(dir.filePath("notes.txt"), content));
        QElapsedTimer clock;
        clock.start();
        RawRig rig;
        QVERIFY(rig.reach(Send, dir.filePath("notes.txt"), QuickTiming));
        // The plain "OK" comes before "RC" does, and is not lost.
        rig.peer->write("OK");
        QTRY_COMPARE_WITH_TIMEOUT(rig.wire, "RC" + NotesOffer, 5000);
        QVERIFY2(clock.elapsed() >= 1800, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(isProbe(rig.probe));
        QCOMPARE(rig.side->title, QStringLiteral("Veltrane (not encrypted)"));
        rig.peer->write("SD");
        QTRY_COMPARE(rig.wire, "RC" + NotesOffer + content);
        QTRY_COMPARE(rig.side->status, finished("4.9"));
    }

    // The offer's pieces one by one; what a whole exchange already shows (a name with folders, an
    // offer without a backslash, sizes with a sign, a fraction or an exponent) is in the tables above.
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
            {"", 1, overflow}, {"", 2, overflow}, {u'\\' + QString(32767, u'a'), 1, overflow},
            {QString(32767, u'a') + u'\\', 2, overflow}, {"\\FN 5", 2, invalid}, {"F\\ 5", 2, invalid},
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
        addRows(QList<Offer>{
            {"/tmp/a\\b.txt", 1, "FNa_b.txt\\ 1"}, {"x", -5, "FNx\\-5"},
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
            {" 99999999999999999999999", std::nullopt}, {"", std::nullopt}, {" ", std::nullopt},
            {" 12abc", std::nullopt}, {" 1 2", std::nullopt},
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
            {"notes.txt", "notes.txt"}, {"/etc/passwd", "passwd"},
            {QStringLiteral("a\x01" "b\tc\x7f\u0085.txt\n"), "abc.txt"}, {"", ""}, {".", ""}, {"..", ""}, {"dir/", ""},
            {"/..", ""}, {".\x02.", ""}, {QString(255, u'a'), QString(255, u'a')}, {QString(256, u'a'), ""},
            // The limit counts bytes: 128 two-byte characters are 256 bytes.
            {QString(128, u'\u00e9'), ""},
        }, [](const Name &row) { return tagOf(row.first); });
    }
    void offeredNameIsDecodedAndMadeSafe()
    {
        // Bytes that only start a UTF-8 sequence are Latin-1 (whole UTF-8 and Latin-1 names cross in
        // tst_segmentation).
        QCOMPARE(FileOffer::decodeName(QString::fromLatin1("\xc3(")), QStringLiteral("\u00c3("));
        QFETCH(Name, row);
        const auto &[name, safe] = row;
        QCOMPARE(FileOffer::safeName(name), safe);
    }
};

QTEST_GUILESS_MAIN(tst_Handshake)
#include "tst_handshake.moc"
