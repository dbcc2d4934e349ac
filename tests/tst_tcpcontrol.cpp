#include "transferrig.h"

#include <QSignalSpy>

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
};

QTEST_MAIN(TcpControlTest)
#include "tst_tcpcontrol.moc"
