// How the user goes from window to window, offscreen and on an X server (tst_navigation_x11).
#include "app/aboutwin.h"
#include "app/ipwin.h"
#include "displayrig.h"

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
    AboutWin &about = AboutWin::instance();
    int ends = 0;

    bool portIsFree() const { return QTcpServer().listen(QHostAddress::Any, port); }
    QString shown() const { return transfer.StatBox->text() + " | " + transfer.CDBut->text(); }
    bool listening() { return QTest::qWaitFor([this] { return transfer.transfer().NT->State() == TcpControl::Listening; }); }

public:
    static void initMain() { ownXServerWhenOnX(); }

private slots:
    void initTestCase() { Form::setProgramEnd([this] { ++ends; }); }
    void init() { main.Show(); ends = 0; }

    void cleanup()
    {
        transfer.BackToMain = true;
        ip.Unload();
        about.Unload();
        transfer.Unload();
        main.Unload();
    }

    void dialogsStartAfreshAndClosingThemReturnsToMain()
    {
        for (int round = 0; round < 2; ++round) {
            for (Form *dialog : {static_cast<Form *>(&ip), static_cast<Form *>(&about)}) {
                QTest::mouseClick(dialog == &ip ? main.SendBut : main.AboutBut, Qt::LeftButton);
                QVERIFY(dialog->window()->isVisible() && !main.Enabled());
                if (dialog == &ip) {
                    QCOMPARE(ip.IPBox->text(), QStringLiteral("127.0.0.1"));
                    ip.IPBox->clear();
                    QTest::keyClicks(ip.IPBox, QStringLiteral("192.168.100.2001"));
                    QCOMPARE(ip.IPBox->text(), QStringLiteral("192.168.100.200"));
                }
                dialog->window()->close();
                QVERIFY(!dialog->isLoaded() && main.Enabled() && main.window()->isVisible());
            }
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

    void receiveWaitsUntilCancelledAndTheNextStartsAfresh()
    {
        const qint64 picture = main.Picture().cacheKey();
        main.RecBut->click();
        QVERIFY(!main.isLoaded() && transfer.window()->isVisible());
        QCOMPARE(transfer.window()->focusWidget(), transfer.CDBut.data());
        QCOMPARE(transfer.Picture().cacheKey(), picture);
        QCOMPARE(shown(), QStringLiteral("Waiting for connection ... | Cancel"));
        QVERIFY(listening() && !portIsFree());
        // Listening again on the port it holds would fail.
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(transfer.window(), &activate);
        QCOMPARE(shown(), QStringLiteral("Waiting for connection ... | Cancel"));

        transfer.transfer().XferState = 3;
        transfer.transfer().BytesDone = 5000;
        transfer.BarDrawn = 40;
        transfer.CDBut->click();
        QVERIFY(!transfer.isLoaded() && main.window()->isVisible() && portIsFree());
        QCOMPARE(main.window()->focusWidget(), main.SendBut.data());

        // The next one starts afresh, and a port in use is reported, never ending the program.
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, port));
        main.RecBut->click();
        QVERIFY(transfer.BarDrawn == 0 && !transfer.BackToMain);
        QTRY_VERIFY(transfer.transfer().XferState == 0 && transfer.transfer().BytesDone == 0);
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

    // The same windows as tst_wayland's, here as the program itself sees them.
    void everyWindowKeepsItsSizeAndTheViewsKeepOnePlace_data() { addRows(Windows, [](const Window &row) { return row.tag; }); }
    void everyWindowKeepsItsSizeAndTheViewsKeepOnePlace()
    {
        QFETCH(Window, row);
        // Moved somewhere first, by its user.
        QWidget *start = main.window()->window();
        start->move(150, 90);
        QSignalSpy shownOrHidden(start->windowHandle(), &QWindow::visibleChanged);
        const WId id = start->winId();
        const std::map<QByteArray, QPushButton *> buttons{{"RecBut", main.RecBut}, {"SendBut", main.SendBut}, {"AboutBut", main.AboutBut}};
        if (!row.button.isEmpty())
            buttons.at(row.button)->click();
        QWidget *shown = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->isVisible() && window->windowTitle() == row.title)
                shown = window;
        QVERIFY(shown);
        // A fixed size, which tiling window managers take as a request to float the window.
        QCOMPARE(shown->minimumSize(), row.size);
        QCOMPARE(shown->maximumSize(), row.size);
        shown->resize(500, 300);
        QTRY_COMPARE(shown->size(), row.size);
        // The transfer view, and the start view again after it where the transfer view was moved,
        // in the one native window that never closes in between.
        if (row.title == u"Veltrane") {
            QVERIFY(shown == start && start->pos() == QPoint(150, 90));
            QCOMPARE((row.tag == u"start" ? static_cast<Form &>(main) : transfer).window()->size(), row.size);
            if (row.tag == u"transfer") {
                QCOMPARE(transfer.window()->window(), start);
                start->move(190, 115);
                transfer.CDBut->click();
                QCOMPARE(main.window()->window()->pos(), QPoint(190, 115));
                QTest::qWait(10);
                QVERIFY(start->isVisible() && main.window()->window() == start);
            }
            QVERIFY(start->winId() == id && shownOrHidden.isEmpty());
        }
    }
};

QTEST_MAIN(NavigationTest)
#include "tst_navigation.moc"
