#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "transferrig.h"

#include <QSignalSpy>
#include <QWindow>

class NavigationTest : public QObject
{
    Q_OBJECT

    quint16 port = freePort();
    // Created first, so the global transfer window uses the test's port.
    ProcWin &transfer = MainWin::transferWindow(port);
    MainWin &main = MainWin::instance();
    IPWin &ip = IPWin::instance();
    int ends = 0;

    bool portIsFree() const { return QTcpServer().listen(QHostAddress::Any, port); }
    QString shown() const { return transfer.StatBox->text() + " | " + transfer.CDBut->text(); }
    bool listening() { return QTest::qWaitFor([this] { return transfer.socket().State() == TcpControl::Listening; }); }

private slots:
    void initTestCase() { Form::setProgramEnd([this] { ++ends; }); }
    void init() { main.Show(); ends = 0; }

    void cleanup()
    {
        transfer.BackToMain = true;
        ip.Unload();
        transfer.Unload();
        main.Unload();
    }

    void addressDialogStartsAfreshAndClosingItReturnsToMain()
    {
        for (int round = 0; round < 2; ++round) {
            main.SendBut->click();
            QVERIFY(!main.Enabled());
            QCOMPARE(ip.IPBox->text(), QStringLiteral("127.0.0.1"));
            ip.IPBox->clear();
            QTest::keyClicks(ip.IPBox, QStringLiteral("192.168.100.2001"));
            QCOMPARE(ip.IPBox->text(), QStringLiteral("192.168.100.200"));
            ip.window()->close();
            QVERIFY(!ip.isLoaded() && main.Enabled() && main.window()->isVisible());
        }
        QVERIFY(!transfer.isLoaded() && ends == 0);
    }

    void enterConnectsFromTheMainWindowsPlaceAndFailuresAreReported()
    {
        main.setLeft(210 * 15);
        main.setTop(130 * 15);
        const qint64 picture = main.Picture().cacheKey();
        // Nothing listens on the port: the refusal comes after Connect has returned.
        for (const QString &address : {QStringLiteral("127.0.0.1"), QString()}) {
            main.SendBut->click();
            QVERIFY(QTest::qWaitForWindowActive(ip.window()));
            if (address.isEmpty())
                ip.IPBox->clear();
            QTest::keyClick(ip.IPBox, Qt::Key_Return);
            QCOMPARE(main.PeerIP, address);
            QVERIFY(!ip.isLoaded() && main.isLoaded() && !main.window()->isVisible() && transfer.window()->isVisible());
            QCOMPARE(transfer.window()->window(), &MainWin::nativeWindow());
            QCOMPARE(transfer.window()->window()->pos(), QPoint(210, 130));
            QCOMPARE(transfer.Picture().cacheKey(), picture);
            QCOMPARE(shown(), "Connecting to " + address + " ... | Cancel");
            QTRY_COMPARE(shown(), "Could not connect to " + address + "! | Done");
            transfer.CDBut->click();
        }
        QCOMPARE(ends, 0);
    }

    void receiveWaitsInPlaceCancelsWhereMovedAndTheNextStartsAfresh()
    {
        main.setLeft(150 * 15);
        main.setTop(90 * 15);
        const qint64 picture = main.Picture().cacheKey();
        // The start and the transfer window are one native window that never closes in between.
        QWidget *native = main.window()->window();
        const WId id = native->winId();
        QSignalSpy shownOrHidden(native->windowHandle(), &QWindow::visibleChanged);
        main.RecBut->click();
        QVERIFY(!main.isLoaded() && transfer.window()->isVisible());
        QCOMPARE(transfer.window()->window(), native);
        QCOMPARE(transfer.window()->window()->pos(), QPoint(150, 90));
        QCOMPARE(transfer.window()->focusWidget(), transfer.CDBut.data());
        QCOMPARE(transfer.Picture().cacheKey(), picture);
        QCOMPARE(shown(), QStringLiteral("Waiting for connection ... | Cancel"));
        QVERIFY(listening() && !portIsFree());
        // Listening again on the port it holds would fail.
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(transfer.window(), &activate);
        QCOMPARE(shown(), QStringLiteral("Waiting for connection ... | Cancel"));

        transfer.XferState = 3;
        transfer.BytesDone = 5000;
        transfer.BarDrawn = 40;
        transfer.window()->window()->move(190, 115);
        transfer.CDBut->click();
        QVERIFY(!transfer.isLoaded() && main.window()->isVisible() && portIsFree());
        QCOMPARE(main.window()->window()->pos(), QPoint(190, 115));
        QTest::qWait(10);
        QVERIFY(native->isVisible() && native->winId() == id && main.window()->window() == native);
        QVERIFY(shownOrHidden.isEmpty());
        QCOMPARE(main.window()->focusWidget(), main.SendBut.data());

        // The next one starts afresh, and a port in use is reported, never ending the program.
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, port));
        main.RecBut->click();
        QVERIFY(transfer.XferState == 0 && transfer.BytesDone == 0 && transfer.BarDrawn == 0 && !transfer.BackToMain);
        QTRY_COMPARE(shown(), QStringLiteral("Port %1 is already in use! | Done").arg(port));
        transfer.CDBut->click();
        QCOMPARE(ends, 0);
    }

    void exitAndFrameClosesEndTheProgram()
    {
        main.ExitBut->click();
        QCOMPARE(ends, 1);
        main.window()->window()->close();
        QCOMPARE(ends, 2);
        transfer.Unload(); // Exit loaded it, hidden, to reach its socket
        main.RecBut->click();
        QVERIFY(listening());
        ends = 0;
        transfer.window()->window()->close();
        QVERIFY(ends > 0 && !transfer.isLoaded() && portIsFree());
    }

    void resizeAttemptsKeepBothWindowsAtTheirSize()
    {
        // A fixed size, which tiling window managers take as a request to float the window.
        for (Form *form : {static_cast<Form *>(&main), static_cast<Form *>(&transfer)}) {
            if (form == &transfer)
                main.RecBut->click();
            QWidget *native = form->window()->window();
            QCOMPARE(native->minimumSize(), QSize(360, 180));
            QCOMPARE(native->maximumSize(), QSize(360, 180));
            native->resize(500, 300);
            QTRY_COMPARE(native->size(), QSize(360, 180));
            QCOMPARE(form->window()->size(), QSize(360, 180));
        }
        for (Form *dialog : {static_cast<Form *>(&ip), static_cast<Form *>(&AboutWin::instance())}) {
            QWidget *native = dialog->window();
            QVERIFY(native->isWindow() && native->minimumSize() == native->maximumSize());
            dialog->Unload();
        }
    }
};

QTEST_MAIN(NavigationTest)
#include "tst_navigation.moc"
