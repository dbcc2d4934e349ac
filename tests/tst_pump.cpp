#include "datarows.h"
#include "exchangerig.h"

#include <QElapsedTimer>
#include <QSignalSpy>

namespace {
constexpr quint8 Send = TransferSettings::Send, Receive = TransferSettings::Receive;
// A size, and the kilobytes "Finished." shows for it.
using Sized = std::pair<qint64, QString>;
}

class TstPump : public QObject
{
    Q_OBJECT

    // A socket control that listened and took `peer`'s connection.
    static bool accept(TcpControl &nt, QTcpSocket &peer)
    {
        nt.LocalPort = freePort();
        QSignalSpy requests(&nt, &TcpControl::ConnectionRequest);
        if (!nt.Listen())
            return false;
        peer.connectToHost(QHostAddress::LocalHost, nt.LocalPort);
        if (!waitFor([&] { return requests.count() == 1; }))
            return false;
        nt.Accept(requests.at(0).at(0).value<qint32>());
        return nt.State() == TcpControl::Connected;
    }

private slots:
    void bytesArriveWholeInOrderAndBeforeTheClose()
    {
        TcpControl nt;
        QTcpSocket peer;
        QVERIFY(accept(nt, peer));

        // Each announcement counts all that waits unread; text is 8-bit, a NUL included.
        QSignalSpy arrivals(&nt, &TcpControl::DataArrival);
        peer.write(QByteArray("OK\xe9\x00", 4));
        QTRY_VERIFY(!arrivals.isEmpty() && arrivals.last().at(0).toInt() == 4);
        QString text;
        nt.GetData(text);
        QCOMPARE(text, QStringLiteral("OK\u00e9") + QChar(0));

        // A flood and a close at once: every byte is read, in order and in announced blocks no larger
        // than the read buffer, before the close is reported, and the close is no error.
        const QByteArray flood = randomBytes(8 * 1024 * 1024);
        peer.write(flood);
        peer.disconnectFromHost();
        arrivals.clear();
        QTRY_VERIFY(!arrivals.isEmpty());
        QTest::qWait(300);
        QVERIFY(arrivals.last().at(0).toInt() <= TcpControl::ReadBufferSize);
        QByteArray in, atClose;
        QStringList events;
        connect(&nt, &TcpControl::DataArrival, this, [&](qint32 count) {
            QByteArray block;
            nt.GetData(block);
            QCOMPARE(qint64(block.size()), qint64(count));
            in += block;
        });
        connect(&nt, &TcpControl::CloseEvent, this, [&] { events << "close"; atClose = in; });
        connect(&nt, &TcpControl::Error, this, [&](const QString &why) { events << why; });
        nt.GetData(in);
        QTRY_VERIFY_WITH_TIMEOUT(!events.isEmpty(), 30000);
        QTest::qWait(50);
        QCOMPARE(events, QStringList{"close"});
        QVERIFY(atClose == flood);
    }

    void sendFileGoesWholeAndAShortFileOrAPeerThatLeavesIsReported()
    {
        TcpControl nt;
        QTcpSocket peer;
        QVERIFY(accept(nt, peer));
        QSignalSpy complete(&nt, &TcpControl::SendComplete), failed(&nt, &TcpControl::SourceFailed);
        QSignalSpy closed(&nt, &TcpControl::CloseEvent), errors(&nt, &TcpControl::Error);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("source"));
        const QByteArray content = randomBytes(3 * 1024 * 1024 + 17);
        QVERIFY(writeFile(path, content));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        // The caller may close its file at once: what is queued still goes.
        QFile early(path);
        QVERIFY(early.open(QIODevice::ReadOnly));
        nt.SendData(QByteArray("head"));
        for (qint64 at = 0; at < content.size(); at += 1024 * 1024)
            nt.SendFile(int(early.handle()), at, qMin<qint64>(1024 * 1024, content.size() - at));
        early.close();
        QByteArray in;
        QVERIFY(waitFor([&] { return in += peer.readAll(), in.size() >= content.size() + 4; }, 10000));
        QVERIFY(in == "head" + content);
        QTRY_COMPARE(complete.count(), 5);
        QVERIFY(nt.allSent());
        QCOMPARE(nt.bytesQueued(), qint64(0));

        // Asked for more than the file holds: what is there goes, and the shortfall is reported.
        nt.SendFile(int(file.handle()), content.size() - 10, 100);
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(complete.count(), 5);

        // A peer that stops reading holds bytes in the kernel, unacknowledged; one that then leaves
        // ends the connection, and the program lives on.
        const QString large = dir.filePath(QStringLiteral("large"));
        QFile sparse(large);
        QVERIFY(sparse.open(QIODevice::ReadWrite) && sparse.resize(256 * 1024 * 1024));
        TcpControl sender;
        sender.LocalPort = freePort();
        QSignalSpy asked(&sender, &TcpControl::ConnectionRequest);
        QVERIFY(sender.Listen());
        QTcpSocket reader;
        reader.setReadBufferSize(1);
        reader.connectToHost(QHostAddress::LocalHost, sender.LocalPort);
        QTRY_COMPARE(asked.count(), 1);
        sender.Accept(asked.at(0).at(0).value<qint32>());
        QSignalSpy senderClosed(&sender, &TcpControl::CloseEvent), senderErrors(&sender, &TcpControl::Error);
        for (qint64 at = 0; at < sparse.size(); at += 1024 * 1024)
            sender.SendFile(int(sparse.handle()), at, 1024 * 1024);
        QTRY_VERIFY(sender.bytesQueued() > 0 && sender.bytesUnacknowledged() > 0);
        reader.abort();
        QTRY_COMPARE(senderClosed.count() + senderErrors.count(), 1);
        QCOMPARE(sender.State(), int(TcpControl::Closed));
        QCOMPARE(sender.bytesQueued(), qint64(0));
        QVERIFY(closed.isEmpty() && errors.isEmpty());
    }

    void fileGoesOutWholeOnceAndNothingMoreEvenWhenStoppedAtOnce_data()
    {
        constexpr qint64 piece = Transfer::PieceSize, bound = Transfer::QueueBound;
        addRows(QList<Sized>{{1, "0"}, {4095, "4"}, {4096, "4"}, {4097, "4"}, {piece - 1, "256"},
                             {piece, "256"}, {piece + 1, "256"}, {bound + 1, "1024"}, {3 * bound + 5000, "3076.9"}},
                [](const auto &row) { return QString::number(row.first) + " bytes"; });
    }
    void fileGoesOutWholeOnceAndNothingMoreEvenWhenStoppedAtOnce()
    {
        QFETCH(Sized, row);
        const auto &[size, kb] = row;
        RawRig rig;
        const QString path = rig.dir.filePath(QStringLiteral("data.bin"));
        const QByteArray content = randomBytes(int(size)), offer = "RCFNdata.bin\\ " + QByteArray::number(size);
        QVERIFY(writeFile(path, content) && rig.open(Send, path));
        rig.peer->write("OK");
        QTRY_VERIFY(rig.wire == offer);
        Transfer &t = rig.side->transfer;
        // The completions of "RC" and the offer start nothing.
        QTest::qWait(3 * Transfer::TickMs);
        QCOMPARE(t.BytesDone, qint64(0));

        // The transfer is stopped the moment it ends, as Done does, which drops whatever the socket
        // still held: the peer getting the whole file, each byte once, shows none waited. By then
        // the file is closed.
        QString said;
        bool stopped = false;
        QObject::connect(&t, &Transfer::ended, &t, [&](const QString &sentence, bool done) {
            said = sentence + (done ? "/finished" : "/failed");
            QVERIFY(!isOpenHere(path));
            t.stop(), stopped = true;
        });
        rig.peer->write("SD");
        QTRY_VERIFY_WITH_TIMEOUT(stopped && rig.peer->state() == QAbstractSocket::UnconnectedState, 20000);
        rig.wire += rig.peer->readAll();
        QCOMPARE(rig.wire.size(), offer.size() + size);
        QVERIFY(rig.wire == offer + content);
        QCOMPARE(said, finished(kb) + "/finished");
    }

    void progressIsReportedAtMostOncePerTickAndAlwaysAtTheEnd_data()
    {
        addRows(QList<quint8>{Send, Receive}, [](quint8 mode) { return mode == Send ? "sender" : "receiver"; });
    }
    void progressIsReportedAtMostOncePerTickAndAlwaysAtTheEnd()
    {
        QFETCH(quint8, row);
        // The receiving side's peer sends in many small writes, so blocks arrive far more often than a tick.
        const qint64 size = 8 * Transfer::QueueBound;
        RawRig rig;
        const QByteArray content = randomBytes(int(size));
        const QString source = rig.dir.filePath(QStringLiteral("data.bin")), target = rig.dir.filePath(QStringLiteral("out.bin"));
        QVERIFY(writeFile(source, content));
        QVERIFY(rig.open(row, row == Send ? source : target));
        Transfer &t = rig.side->transfer;
        // When each report came and what it said; what the last one said when the end came.
        QElapsedTimer clock;
        clock.start();
        QList<qint64> ticks;
        std::pair<qint64, qint64> reported, atEnd;
        QObject::connect(&t, &Transfer::progressed, &t, [&](qint64 done, qint64 total) {
            ticks << clock.nsecsElapsed(), reported = {done, total};
        });
        QObject::connect(&t, &Transfer::ended, &t, [&] { atEnd = reported; });
        if (row == Send) {
            rig.peer->write("OK");
            QVERIFY(waitFor([&] { return rig.wire.startsWith("RCFN"); }));
            rig.peer->write("SD");
        } else {
            rig.peer->write("RCFNdata.bin\\ " + QByteArray::number(size));
            QVERIFY(waitFor([&] { return rig.wire == "OKSD"; }));
            for (qint64 at = 0; at < size; at += 16384) {
                rig.peer->write(content.mid(at, 16384));
                rig.peer->flush();
                QCoreApplication::processEvents();
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(rig.side->ended, 20000);
        QCOMPARE(rig.side->status, finished("8192"));
        QVERIFY(rig.side->finished);
        QCOMPARE(atEnd, std::make_pair(size, size));
        for (qsizetype i = 1; i < ticks.size(); ++i)
            QVERIFY2(ticks[i] - ticks[i - 1] >= Transfer::TickMs * 1000000LL, qPrintable(QString::number(i)));
        if (row == Receive)
            QVERIFY(contentOf(target) == content);
    }
};

QTEST_GUILESS_MAIN(TstPump)
#include "tst_pump.moc"
