#include "transferrig.h"

#include <QSignalSpy>

#include <unistd.h>

class TcpControlTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesArriveWholeInOrderAndBeforeTheClose()
    {
        TcpControl nt;
        nt.LocalPort = freePort();
        QSignalSpy requests(&nt, &TcpControl::ConnectionRequest);
        QVERIFY(nt.Listen());
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, nt.LocalPort);
        QTRY_COMPARE(requests.count(), 1);
        nt.Accept(requests.at(0).at(0).value<qint32>());
        QCOMPARE(nt.State(), int(TcpControl::Connected));

        // Each announcement counts all that waits unread.
        QSignalSpy arrivals(&nt, &TcpControl::DataArrival);
        peer.write(QByteArray("OK\xe9\x00", 4));
        QTRY_VERIFY(!arrivals.isEmpty() && arrivals.last().at(0).toInt() == 4);
        QString text;
        nt.GetData(text);
        QCOMPARE(text, QStringLiteral("OK\u00e9") + QChar(0));

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
        nt.LocalPort = freePort();
        QSignalSpy requests(&nt, &TcpControl::ConnectionRequest);
        QVERIFY(nt.Listen());
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, nt.LocalPort);
        QTRY_COMPARE(requests.count(), 1);
        nt.Accept(requests.at(0).at(0).value<qint32>());
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
        QCOMPARE(nt.bytesQueued(), 0);

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
        QCOMPARE(sender.bytesQueued(), 0);
        QVERIFY(closed.isEmpty() && errors.isEmpty());
    }
};

QTEST_MAIN(TcpControlTest)
#include "tst_tcpcontrol.moc"
