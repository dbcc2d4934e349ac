#include "transfer/tcpcontrol.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

// Bytes whose order shows: a lost, doubled or swapped block breaks the comparison.
QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 4096);
    return bytes;
}

// Listens on `port`, lets `peer` connect and accepts it.
void connectPeer(TcpControl &nt, QTcpSocket &peer, quint16 port)
{
    nt.LocalPort = port;
    QVERIFY(nt.Listen());
    QSignalSpy requests(&nt, &TcpControl::ConnectionRequest);
    peer.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE(requests.count(), 1);
    nt.Accept(requests.at(0).at(0).value<qint32>());
    QTRY_COMPARE(peer.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(nt.State(), int(TcpControl::Connected));
}

}

class TcpControlTest : public QObject
{
    Q_OBJECT

private slots:
    void acceptedConnectionCarriesExactBytesAndShutsTheDoor()
    {
        TcpControl nt;
        QTcpSocket peer;
        const quint16 port = freePort();
        connectPeer(nt, peer, port);
        if (QTest::currentTestFailed())
            return;

        nt.SendData(QStringLiteral("FNcaf\u00e9\\5"));
        nt.SendData(QByteArray("\x00\xff\r\n", 4));
        const QByteArray expected = QByteArray("FNcaf\xe9\\5") + QByteArray("\x00\xff\r\n", 4);
        QByteArray got;
        QTRY_VERIFY((got += peer.readAll()).size() >= expected.size());
        QCOMPARE(got, expected);

        QSignalSpy arrivals(&nt, &TcpControl::DataArrival);
        peer.write(QByteArray("OK\xe9\x00", 4));
        QTRY_COMPARE(nt.bytesWaiting(), qint64(4));
        QVERIFY(!arrivals.isEmpty());
        QCOMPARE(arrivals.last().at(0).value<qint32>(), 4);
        QString text;
        nt.GetData(text);
        QCOMPARE(text, QStringLiteral("OK\u00e9") + QChar(0));
        peer.write(QByteArray("\x80\x00SD", 4));
        QTRY_COMPARE(nt.bytesWaiting(), qint64(4));
        nt.GetData(got);
        QCOMPARE(got, QByteArray("\x80\x00SD", 4));

        // One peer only: Accept itself closes the listening port.
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(second.error(), QAbstractSocket::ConnectionRefusedError);
    }

    void everySendDataCompletesExactlyOnce()
    {
        TcpControl nt;
        QTcpSocket peer;
        // The peer takes little until it reads, so the large array stays partly unsent.
        peer.setReadBufferSize(16 * 1024);
        connectPeer(nt, peer, freePort());
        if (QTest::currentTestFailed())
            return;

        QSignalSpy completes(&nt, &TcpControl::SendComplete);
        nt.SendData(QStringLiteral("RC"));
        QTRY_COMPARE(completes.count(), 1);
        const QByteArray large = pattern(16 * 1024 * 1024 + 123);
        nt.SendData(large);
        nt.SendData(QStringLiteral("SD"));
        QTest::qWait(200);
        QCOMPARE(completes.count(), 1);

        QByteArray got;
        connect(&peer, &QTcpSocket::readyRead, this, [&] { got += peer.readAll(); });
        peer.setReadBufferSize(0);
        got += peer.readAll();
        QTRY_VERIFY_WITH_TIMEOUT(got.size() >= large.size() + 4, 30000);
        QTRY_COMPARE(completes.count(), 3);
        QVERIFY(got == "RC" + large + "SD");
        QTest::qWait(50);
        QCOMPARE(completes.count(), 3);
    }

    void failuresAndClosesAreReported()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        TcpControl busy;
        busy.LocalPort = holder.serverPort();
        QVERIFY(!busy.Listen());
        QCOMPARE(busy.State(), int(TcpControl::Closed));

        TcpControl refused;
        QSignalSpy errors(&refused, &TcpControl::Error);
        refused.RemoteHost = QStringLiteral("127.0.0.1");
        refused.RemotePort = freePort();
        QVERIFY(refused.Connect());
        QTRY_COMPARE(errors.count(), 1);

        // The last bytes a peer sends before closing arrive before the close is reported.
        TcpControl nt;
        QTcpSocket peer;
        connectPeer(nt, peer, freePort());
        if (QTest::currentTestFailed())
            return;
        QStringList events;
        connect(&nt, &TcpControl::DataArrival, this, [&] {
            QString text;
            nt.GetData(text);
            events << text;
        });
        connect(&nt, &TcpControl::CloseEvent, this, [&] { events << QStringLiteral("close"); });
        connect(&nt, &TcpControl::Error, this, [&] { events << QStringLiteral("error"); });
        peer.write("CC");
        peer.disconnectFromHost();
        QTRY_VERIFY(events.contains(QStringLiteral("close")));
        QTest::qWait(50);
        QCOMPARE(events, QStringList({QStringLiteral("CC"), QStringLiteral("close")}));

        TcpControl listener;
        listener.LocalPort = freePort();
        QVERIFY(listener.Listen());
        listener.Close();
        QCOMPARE(listener.State(), int(TcpControl::Closed));
        QTcpServer again;
        QVERIFY(again.listen(QHostAddress::Any, listener.LocalPort));
    }

    void unreadDataStaysInTheSystemAndIsNotLost()
    {
        TcpControl nt;
        QTcpSocket peer;
        connectPeer(nt, peer, freePort());
        if (QTest::currentTestFailed())
            return;

        const QByteArray flood = pattern(8 * 1024 * 1024);
        peer.write(flood);
        QTRY_VERIFY(nt.bytesWaiting() > 0);
        QTest::qWait(300);
        QVERIFY(nt.bytesWaiting() <= TcpControl::ReadBufferSize);

        QByteArray got;
        connect(&nt, &TcpControl::DataArrival, this, [&](qint32 count) {
            QByteArray block;
            nt.GetData(block);
            QCOMPARE(qint64(block.size()), qint64(count));
            got += block;
        });
        nt.GetData(got);
        QTRY_VERIFY_WITH_TIMEOUT(got.size() >= flood.size(), 30000);
        QVERIFY(got == flood);
    }
};

QTEST_MAIN(TcpControlTest)
#include "tst_tcpcontrol.moc"
