#include "app/ipwin.h"
#include "app/mainwin.h"
#include "transfer/procwin.h"

#include <QSignalSpy>
#include <QtTest>

class NavigationTest : public QObject
{
    Q_OBJECT

    quint16 port = 0;
    int ends = 0;
    MainWin *main = nullptr;
    ProcWin *transfer = nullptr;
    IPWin *ip = nullptr;

    bool portIsFree() const
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::Any, port);
    }

    void waitUntilListening() { QTRY_COMPARE(transfer->socket().State(), int(TcpControl::Listening)); }

private slots:
    void initTestCase()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::Any, 0));
        port = probe.serverPort();
        probe.close();
        // Before anything touches it, so the global transfer window uses the test's port.
        transfer = &ProcWin::instance(port);
        main = &MainWin::instance();
        ip = &IPWin::instance();
        Form::setProgramEnd([this] { ++ends; });
    }

    void init()
    {
        main->Show();
        ends = 0;
    }

    void cleanup()
    {
        transfer->BackToMain = true;
        ip->Unload();
        transfer->Unload();
        main->Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void closingTheAddressDialogReturnsToMainAndTheBoxStartsAfresh()
    {
        main->SendBut->click();
        QCOMPARE(main->XferMode, quint8(1));
        QVERIFY(!main->Enabled());
        QCOMPARE(ip->IPBox->text(), QStringLiteral("127.0.0.1"));
        ip->IPBox->setText(QStringLiteral("10.1.2.3"));
        ip->window()->close();
        QVERIFY(!ip->isLoaded());
        QVERIFY(main->Enabled() && main->window()->isVisible());
        QCOMPARE(main->XferMode, quint8(1));
        QVERIFY(!transfer->isLoaded());
        QCOMPARE(ends, 0);

        main->SendBut->click();
        QCOMPARE(ip->IPBox->text(), QStringLiteral("127.0.0.1"));
        ip->IPBox->clear();
        QTest::keyClicks(ip->IPBox, QStringLiteral("192.168.100.2001"));
        QCOMPARE(ip->IPBox->text(), QStringLiteral("192.168.100.200"));
    }

    void enterConnectsFromTheMainWindowsPlaceWithItsPicture()
    {
        QTcpServer receiver;
        QVERIFY(receiver.listen(QHostAddress::LocalHost, port));
        main->setLeft(210 * 15);
        main->setTop(130 * 15);
        const qint64 picture = main->Picture().cacheKey();
        main->SendBut->click();
        QVERIFY(QTest::qWaitForWindowActive(ip->window()));
        QSignalSpy presses(ip->ConBut, &QPushButton::clicked);
        QTest::keyClick(ip->IPBox, Qt::Key_Return);
        QCOMPARE(presses.count(), 1);

        QCOMPARE(main->PeerIP, QStringLiteral("127.0.0.1"));
        QVERIFY(!ip->isLoaded());
        QVERIFY(main->isLoaded() && !main->window()->isVisible());
        QVERIFY(transfer->window()->isVisible());
        QCOMPARE(transfer->window()->pos(), QPoint(210, 130));
        QCOMPARE(transfer->Picture().cacheKey(), picture);
        QCOMPARE(transfer->StatBox->text(), QStringLiteral("Connecting to 127.0.0.1 ..."));
        QCOMPARE(transfer->CDBut->text(), QStringLiteral("Cancel"));
        QTRY_VERIFY(receiver.hasPendingConnections());
        QCOMPARE(ends, 0);
    }

    void failedConnectionsAreReported()
    {
        main->SendBut->click();
        ip->ConBut->click();
        QTRY_COMPARE(transfer->StatBox->text(), QStringLiteral("Could not connect to 127.0.0.1!"));
        QCOMPARE(transfer->CDBut->text(), QStringLiteral("Done"));
        transfer->CDBut->click();

        main->SendBut->click();
        ip->IPBox->clear();
        ip->ConBut->click();
        QCOMPARE(main->PeerIP, QString());
        QCOMPARE(transfer->StatBox->text(), QStringLiteral("Connecting to  ..."));
        QTRY_COMPARE(transfer->StatBox->text(), QStringLiteral("Could not connect to !"));
        QCOMPARE(transfer->CDBut->text(), QStringLiteral("Done"));
        QCOMPARE(ends, 0);
    }

    void receiveWaitsAndCancelReturnsWhereTheWindowWasMoved()
    {
        main->setLeft(150 * 15);
        main->setTop(90 * 15);
        const qint64 picture = main->Picture().cacheKey();
        main->RecBut->click();
        QCOMPARE(main->XferMode, quint8(2));
        QVERIFY(!main->isLoaded());
        QVERIFY(transfer->window()->isVisible());
        QCOMPARE(transfer->window()->pos(), QPoint(150, 90));
        QCOMPARE(transfer->Picture().cacheKey(), picture);
        QCOMPARE(transfer->StatBox->text(), QStringLiteral("Waiting for connection ..."));
        QCOMPARE(transfer->CDBut->text(), QStringLiteral("Cancel"));
        waitUntilListening();
        QVERIFY(!portIsFree());

        transfer->window()->move(190, 115);
        transfer->CDBut->click();
        QVERIFY(!transfer->isLoaded());
        QVERIFY(main->window()->isVisible());
        QCOMPARE(main->window()->pos(), QPoint(190, 115));
        QVERIFY(portIsFree());
        QCOMPARE(ends, 0);
    }

    void secondTransferStartsAfresh()
    {
        main->RecBut->click();
        waitUntilListening();
        transfer->XferState = 3;
        transfer->BytesDone = 5000;
        transfer->BarDrawn = 40;
        transfer->CDBut->click();

        main->RecBut->click();
        QCOMPARE(transfer->XferState, quint8(0));
        QCOMPARE(transfer->BytesDone, 0);
        QCOMPARE(transfer->BarDrawn, qint16(0));
        QVERIFY(!transfer->BackToMain);
        waitUntilListening();
        QTcpSocket sender;
        sender.connectToHost(QHostAddress::LocalHost, port);
        QByteArray got;
        QTRY_COMPARE(got += sender.readAll(), QByteArray("OK"));
    }

    void failedListenIsReported()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, port));
        main->RecBut->click();
        QTRY_COMPARE(transfer->StatBox->text(), QStringLiteral("Could not listen on port %1!").arg(port));
        QCOMPARE(transfer->CDBut->text(), QStringLiteral("Done"));
        transfer->CDBut->click();
        QVERIFY(main->window()->isVisible());
        QCOMPARE(ends, 0);
    }

    void exitAndFrameClosesEndTheProgram()
    {
        main->ExitBut->click();
        QCOMPARE(ends, 1);
        // Exit reached the socket through the transfer window, which loaded it hidden.
        transfer->Unload();

        ends = 0;
        main->window()->close();
        QVERIFY(ends > 0);

        main->Show();
        main->RecBut->click();
        waitUntilListening();
        ends = 0;
        transfer->window()->close();
        QVERIFY(ends > 0);
        QVERIFY(!transfer->isLoaded());
        QVERIFY(portIsFree());
    }

    void resizeAttemptsKeepBothWindowsAtTheirSize()
    {
        main->window()->resize(500, 300);
        QTRY_COMPARE(main->window()->size(), QSize(360, 180));
        main->RecBut->click();
        QCOMPARE(transfer->window()->size(), QSize(360, 180));
        transfer->window()->resize(200, 400);
        QTRY_COMPARE(transfer->window()->size(), QSize(360, 180));
    }
};

QTEST_MAIN(NavigationTest)
#include "tst_navigation.moc"
