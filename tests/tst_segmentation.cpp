#include "datarows.h"
#include "exchangerig.h"
#include "transfer/statustext.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {
const QString SaveCancelled = QStringLiteral("Saving file cancelled. Connection closed.");
constexpr quint8 Send = TransferSettings::Send, Receive = TransferSettings::Receive;
using Split = std::tuple<QString, quint8, QByteArrayList, int, QByteArray, QString, QString>;
}

class tst_Segmentation : public QObject
{
    Q_OBJECT

private slots:
    void twoSidesMoveAFileThroughARelayShowOneCodeAndNothingReadableCrosses_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("passed on as it comes") << int(Relay::Record);
        QTest::newRow("every handshake byte alone") << int(Relay::Split);
        QTest::newRow("messages held and merged") << int(Relay::Merge);
    }

    void twoSidesMoveAFileThroughARelayShowOneCodeAndNothingReadableCrosses()
    {
        QFETCH(int, mode);
        QTemporaryDir dir;
        QByteArray content;
        for (int i = 0; content.size() < 3 * 1024 * 1024; ++i)
            content += "MARKER-" + QByteArray::number(i) + randomBytes(200, quint32(i + 1));
        const QString source = dir.filePath(QStringLiteral("quarterly-secrets.txt")), target = dir.filePath(QStringLiteral("copy.bin"));
        QVERIFY(writeFile(source, content));

        const quint16 port = freePort();
        // Far longer than any pause the relay makes inside a message, however loaded the machine.
        const TransferTiming timing{.offerSettleMs = 1000};
        Party receiver(Receive, port, target, timing);
        QVERIFY(receiver.listening());
        QCOMPARE(receiver.title, QStringLiteral("Veltrane"));
        // Split cuts the probe and the answer to it into single bytes; Merge holds the receiver's
        // plain "OK" until "TL" joins it. Inside TLS the records are the TLS layer's to join.
        Relay relay(Relay::Mode(mode), port, {66}, {4});
        Party sender(Send, relay.server.serverPort(), source, timing);

        QTRY_VERIFY_WITH_TIMEOUT(sender.ended && receiver.ended, 20000);
        QVERIFY(sender.finished && receiver.finished);
        QCOMPARE(sender.status, finished(StatusText::kilobytes(content.size())));
        QCOMPARE(receiver.status, finished(StatusText::kilobytes(content.size())));
        QCOMPARE(receiver.chooser.shown.size(), 1);
        QCOMPARE(receiver.chooser.shown.first().name, QStringLiteral("quarterly-secrets.txt"));
        QCOMPARE(contentOf(target), content);
        QVERIFY2(CodeTitle.match(sender.title).hasMatch(), qPrintable(sender.title));
        QCOMPARE(receiver.title, sender.title);
        QVERIFY(relay.seen.size() > content.size());
        QVERIFY(!relay.seen.contains("quarterly") && !relay.seen.contains("MARKER-"));
        // Split really cut the probe and "OKTL" into single bytes; Merge really held them together.
        QVERIFY(mode == Relay::Record || (mode == Relay::Split ? relay.writes == 66 + 4 : relay.writes <= 2));
    }

    void rawPeerSplitsMessagesAndOffers_data()
    {
        // Side, pieces taken one by one, how long an offer settles, the side's reply, its status, the name offered.
        const QByteArray offer = "RCFNcaf\xe9.bin\\ 100";
        const quint8 snd = Send, rcv = Receive;
        addRows(QList<Split>{
            {"OK split", snd, {"O", "K"}, 300, offer, "Sending request ...", {}},
            {"SD split", snd, {"OK", "S", "D"}, 300, offer, finished("0.1"), {}},
            {"CC split", snd, {"OK", "C", "C"}, 300, offer, "Error ! Connection closed by reciever.", {}},
            {"RC split", rcv, {"R", "C"}, 1000, "OK", "Connected. Waiting for file ...", {}},
            {"before the backslash", rcv, {"RCFNrep", "ort.bin\\ 12", "34"}, 1000, "OKSD", finished("1.2"), "report.bin"},
            {"inside the name", rcv, {"RC", "FNda", "ta.bin\\ 5000"}, 1000, "OKSD", finished("4.9"), "data.bin"},
            {"inside the size", rcv, {"RCFNdata.bin\\ 50", "00"}, 1000, "OKSD", finished("4.9"), "data.bin"},
            {"Latin-1 name", rcv, {"RCFNcaf\xe9", ".bin\\ 5000"}, 1000, "OKSD", finished("4.9"), "caf\u00e9.bin"},
            {"UTF-8 name", rcv, {"RCFN\xd0", "\xb6.bin\\ 5000"}, 1000, "OKSD", finished("4.9"), "\u0436.bin"},
            {"malformed size", rcv, {"RCFNdata.bin\\ ", "many"}, 20, "OKCC", SaveCancelled, {}},
            {"no backslash", rcv, {"RCFNdata", ".bin 5000"}, 20, "OKCC", SaveCancelled, {}},
            {"size 0", rcv, {"RCFNdata.bin\\", " 0"}, 20, "OKCC", SaveCancelled, {}},
        }, [](const Split &row) { return std::get<0>(row); });
    }

    void rawPeerSplitsMessagesAndOffers()
    {
        QFETCH(Split, row);
        const auto &[tag, mode, pieces, settleMs, reply, status, preset] = row;
        RawRig rig;
        const QString file = rig.dir.filePath(mode == Send ? QStringLiteral("caf\u00e9.bin") : QStringLiteral("saved"));
        const QByteArray content = randomBytes(mode == Send ? 100 : 5000);
        QVERIFY(mode == Receive || writeFile(file, content));
        QVERIFY(rig.open(mode, file, {.offerSettleMs = settleMs, .clearFallbackMs = 10}));
        Transfer &t = rig.side->transfer;
        // Each piece is taken by the side before the next one goes, at once: well within the settling time.
        for (const QByteArray &piece : std::as_const(pieces)) {
            rig.peer->write(piece);
            QVERIFY(waitFor([&] { return t.InMsg.endsWith(QString::fromLatin1(piece)) || t.XferState != Transfer::ControlMessages; }));
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.wire.left(reply.size()), reply, 5000);
        if (reply.endsWith("SD")) {
            QCOMPARE(rig.side->status, QStringLiteral("Recieving file ..."));
            rig.peer->write(content.left(t.FileSize));
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.side->status, status, 5000);
        // Not one byte of the offer reaches the file.
        QVERIFY(!reply.endsWith("SD") || contentOf(file) == content.left(t.FileSize));
        QCOMPARE(rig.wire, reply + (mode == Send && status.startsWith(u"Finished") ? content : QByteArray()));
        if (mode == Receive)
            QCOMPARE(rig.side->chooser.shown.isEmpty() ? QString() : rig.side->chooser.shown.first().name, preset);
    }

    void restOfTheSizeArrivingWhileTheDialogIsOpenCounts()
    {
        // The late "00" completes the size; late bytes that spoil the offer have it refused after the
        // choice, and nothing is written.
        for (const QByteArray late : {"00", "\\x"}) {
            RawRig rig;
            const QString target = rig.dir.filePath(QStringLiteral("saved"));
            QVERIFY(rig.open(Receive, target, {.offerSettleMs = 20}));
            Transfer &t = rig.side->transfer;
            rig.side->chooser.whileOpen = [&] {
                rig.peer->write(late);
                QTRY_VERIFY(t.InMsg.endsWith(QString::fromLatin1(late)));
            };
            rig.peer->write("RCFNdata.bin\\ 50");
            QTRY_COMPARE(rig.wire, late == "00" ? QByteArray("OKSD") : QByteArray("OKCC"));
            if (late != "00") {
                QCOMPARE(rig.side->status, SaveCancelled);
                QVERIFY(!QFile::exists(target));
                continue;
            }
            QCOMPARE(t.FileSize, 5000);
            const QByteArray content = randomBytes(5000);
            rig.peer->write(content);
            QTRY_COMPARE(rig.side->status, finished("4.9"));
            QCOMPARE(contentOf(target), content);
        }
    }

    void privateSenderIntoAReaderThatTakesOneByteTo64KiBAtATimeSendsItAllAndStaysFlat()
    {
        // The reader's kernel buffers fill and empty by odd amounts, so the window's records go out
        // in partial writes, resumed from wherever the piece then is.
        const qint64 size = 12 * 1024 * 1024;
        RawRig rig;
        const QByteArray content = randomBytes(int(size));
        const QString source = rig.dir.filePath(QStringLiteral("data.bin"));
        QVERIFY(writeFile(source, content));
        QVERIFY(rig.reach(TransferSettings::Send, source, QuickTiming));
        QVERIFY(rig.turnPrivate(PeerIdentity::a()));
        // The window's kernel takes little at a time, as early in a connection across a real
        // network: records wait for room after every send, the last ones too.
        for (const QString &entry : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System)) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const int fd = entry.toInt(), little = 32 * 1024;
            if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0 && ntohs(peer.sin_port) == rig.server.serverPort())
                setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &little, sizeof little);
        }
        Transfer &win = rig.side->transfer;
        rig.peer->write("OK");
        QTRY_COMPARE(rig.wire, "RCFNdata.bin\\ " + QByteArray::number(size));
        QObject::disconnect(rig.peer.get(), &QTcpSocket::readyRead, nullptr, nullptr);
        rig.peer->setReadBufferSize(64 * 1024);
        QByteArray received;
        received.reserve(size);
        rig.peer->write("SD");

        const QList<qint64> bursts{1, 7, 512, 4095, 16383, 16385, 65536, 3};
        qsizetype turn = 0, pieces = 0;
        qint64 queued = 0, heapAtOneMiB = -1, heapMost = 0;
        const auto heap = [] { const struct mallinfo2 m = mallinfo2(); return qint64(m.uordblks + m.hblkhd); };
        for (QDeadlineTimer deadline(60000); received.size() < size && !deadline.hasExpired();) {
            QTest::qWait(1);
            received += rig.peer->read(bursts[turn++ % bursts.size()]);
            pieces = qMax(pieces, win.ChunkBuf.size());
            queued = qMax(queued, win.NT->bytesQueued());
            if (heapAtOneMiB < 0 && received.size() >= 1024 * 1024)
                heapAtOneMiB = heap();
            else if (heapAtOneMiB >= 0)
                heapMost = qMax(heapMost, heap());
        }
        QCOMPARE(received.size(), size);
        QVERIFY(received == content);
        // The receiver's word that all of it landed.
        rig.peer->write("OK");
        QTRY_COMPARE(rig.side->status, finished("12288"));
        QVERIFY2(pieces <= Transfer::QueueBound / Transfer::PieceSize + 1, qPrintable(QString::number(pieces)));
        QVERIFY2(queued <= Transfer::QueueBound, qPrintable(QString::number(queued)));
        // A piece or record allocated and kept per write would grow the heap by the file's size.
        QVERIFY2(heapMost - heapAtOneMiB < 4 * 1024 * 1024, qPrintable(QString::number(heapMost - heapAtOneMiB)));
    }
};

QTEST_GUILESS_MAIN(tst_Segmentation)
#include "tst_segmentation.moc"
