#include "transferrig.h"

#include <QSignalSpy>

namespace {
// Bytes whose order shows: a lost, doubled or swapped block breaks the comparison.
QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 4096);
    return bytes;
}
}

class TcpControlTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesCrossBothWaysWholeInOrderAndBeforeTheClose()
    {
        TcpControl nt;
        nt.LocalPort = freePort();
        QSignalSpy requests(&nt, &TcpControl::ConnectionRequest);
        QVERIFY(nt.Listen());
        QTcpSocket peer;
        // The peer takes little until it reads, so a large array stays partly unsent.
        peer.setReadBufferSize(16 * 1024);
        peer.connectToHost(QHostAddress::LocalHost, nt.LocalPort);
        QTRY_COMPARE(requests.count(), 1);
        nt.Accept(requests.at(0).at(0).value<qint32>());
        QCOMPARE(nt.State(), int(TcpControl::Connected));

        QSignalSpy completes(&nt, &TcpControl::SendComplete);
        const QByteArray large = pattern(16 * 1024 * 1024 + 123);
        nt.SendData(QStringLiteral("FNcaf\u00e9\\5"));
        nt.SendData(QByteArray("\x00\xff\r\n", 4));
        QTRY_COMPARE(completes.count(), 2);
        nt.SendData(large);
        nt.SendData(QStringLiteral("SD"));
        QTest::qWait(200);
        QCOMPARE(completes.count(), 2);
        peer.setReadBufferSize(0);
        QByteArray out;
        const QByteArray expected = QByteArray("FNcaf\xe9\\5\x00\xff\r\n", 12) + large + "SD";
        QTRY_VERIFY_WITH_TIMEOUT((out += peer.readAll()).size() >= expected.size() && completes.count() >= 4, 30000);
        QTest::qWait(50);
        QCOMPARE(completes.count(), 4);
        QVERIFY(out == expected);

        // Each announcement counts all that waits unread.
        QSignalSpy arrivals(&nt, &TcpControl::DataArrival);
        peer.write(QByteArray("OK\xe9\x00", 4));
        QTRY_VERIFY(!arrivals.isEmpty() && arrivals.last().at(0).toInt() == 4);
        QString text;
        nt.GetData(text);
        QCOMPARE(text, QStringLiteral("OK\u00e9") + QChar(0));

        const QByteArray flood = pattern(8 * 1024 * 1024);
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
