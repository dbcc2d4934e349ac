#include "app/mainwin.h"
#include "scripteddialog.h"
#include "transfer/procwin.h"

#include <QCoreApplication>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
using Shown = QList<ScriptedDialog::Shown>;
const QString AnyFile = QStringLiteral("All file types (*.*) | *.*");
const QString ByReciever = QStringLiteral("Error ! Connection closed by reciever.");
const QString BySender = QStringLiteral("Error ! Connection closed by sender.");
const QString SaveCancelled = QStringLiteral("Saving file cancelled. Connection closed.");
const QByteArray NotesOffer = "FNnotes.txt\\ 5000";

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString makeFile(const QTemporaryDir &dir, const QString &name, qint64 size)
{
    QFile file(dir.filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(size, 'x'));
    return file.fileName();
}

// A transfer window with settings, dialog and port of its own, and the test's raw peer for it.
struct Rig {
    quint16 port;
    MainWin main;
    std::shared_ptr<ScriptedDialog> dg = std::make_shared<ScriptedDialog>();
    std::unique_ptr<ProcWin> win;
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    QByteArray wire; // every byte the window sent to the raw peer

    explicit Rig(quint8 mode, quint16 onPort = freePort()) : port(onPort)
    {
        main.XferMode = mode;
        main.PeerIP = QStringLiteral("127.0.0.1");
        win = std::make_unique<ProcWin>(main, port, dg);
        win->Load();
    }
    QString status() const { return win->StatBox->text(); }
    bool endedWith(const QString &sentence) const { return status() == sentence && win->CDBut->text() == u"Done"; }
    bool listening() { return QTest::qWaitFor([this] { return win->NT->State() == TcpControl::Listening; }); }
    void send(const QByteArray &bytes) { peer->write(bytes); }

    // Shows the window and connects the raw peer, past the window's own greeting.
    bool connectRaw()
    {
        const bool sending = main.XferMode == MainWin::Send;
        if (sending && !server.listen(QHostAddress::LocalHost, port))
            return false;
        win->Show();
        if (!(sending ? QTest::qWaitFor([this] { return server.hasPendingConnections(); }) : listening()))
            return false;
        peer.reset(sending ? server.nextPendingConnection() : new QTcpSocket);
        QObject::connect(peer.get(), &QTcpSocket::readyRead, peer.get(), [this] { wire += peer->readAll(); });
        if (!sending)
            peer->connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor([&] { return wire == (sending ? "RC" : "OK"); });
    }
    // Each text in a read of its own: any reply would reach the wire before the next answer.
    bool sendStrays(std::initializer_list<QByteArray> strays)
    {
        for (const QByteArray &stray : strays) {
            send(stray);
            if (!QTest::qWaitFor([&] { return win->InMsg == QString::fromLatin1(stray); }))
                return false;
        }
        return true;
    }
};
}

class tst_Handshake : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] {}); }

    void senderIgnoresStrayTextAndCancelsWithoutAFile()
    {
        Rig sender(MainWin::Send);
        QVERIFY(sender.connectRaw());
        QCOMPARE(sender.status(), QStringLiteral("Connecting to 127.0.0.1 ..."));
        QVERIFY(sender.sendStrays({"RC", "ok", "Ok", "OK!", "FNx.txt\\ 5", "SD", "O"}));
        QVERIFY(sender.dg->shown.isEmpty());

        QString during;
        sender.dg->whileOpen = [&] { during = sender.status(); };
        sender.send("OK");
        QTRY_VERIFY(sender.endedWith(QStringLiteral("No file selected. Connection cancelled.")));
        QCOMPARE(during, QStringLiteral("Connected. Pease select a file ..."));
        QVERIFY(sender.dg->shown == Shown({{false, QCoreApplication::applicationDirPath(), 4, AnyFile, false, {}}}));
        QTRY_COMPARE(sender.wire, QByteArray("RCCC"));
    }

    void senderRefusesAnEmptyFileAndOffersAGoodOneByteForByte()
    {
        QTemporaryDir dir;
        {
            Rig sender(MainWin::Send);
            QVERIFY(sender.connectRaw());
            sender.dg->choose(makeFile(dir, QStringLiteral("empty.txt"), 0));
            sender.send("OK");
            QTRY_COMPARE(sender.wire, QByteArray("RCCC"));
            QVERIFY(sender.endedWith(QStringLiteral("Zero length file. Connection cancelled.")));
        }
        Rig sender(MainWin::Send);
        QVERIFY(sender.connectRaw());
        sender.dg->choose(makeFile(dir, QStringLiteral("notes.txt"), 5000));
        // A second "OK" while the dialog is open waits, and then opens no second dialog.
        sender.dg->whileOpen = [&] {
            sender.send("OK");
            QTRY_VERIFY(sender.win->NT->bytesWaiting() > 0);
        };
        sender.send("OK");
        QTRY_COMPARE(sender.wire, "RC" + NotesOffer);
        QTRY_COMPARE(sender.win->NT->bytesWaiting(), qint64(0));
        QCOMPARE(sender.dg->shown.size(), 1);
        QCOMPARE(sender.status(), QStringLiteral("Sending request ..."));

        QVERIFY(sender.sendStrays({"RC", NotesOffer, "ok"}));
        QCOMPARE(sender.status(), QStringLiteral("Sending request ..."));
        QCOMPARE(sender.win->XferState, quint8(0));
        sender.send("CC");
        QTRY_VERIFY(sender.endedWith(ByReciever));
        QCOMPARE(sender.wire, "RC" + NotesOffer);
    }

    void senderReportsAPeerThatClosesAlsoWhileTheDialogIsOpen()
    {
        QTemporaryDir dir;
        {
            Rig sender(MainWin::Send);
            QVERIFY(sender.connectRaw());
            sender.peer->close();
            QTRY_VERIFY(sender.endedWith(ByReciever));
        }
        Rig sender(MainWin::Send);
        QVERIFY(sender.connectRaw());
        sender.dg->choose(makeFile(dir, QStringLiteral("notes.txt"), 5000));
        sender.dg->whileOpen = [&] {
            sender.peer->close();
            QTRY_COMPARE(sender.status(), ByReciever);
        };
        sender.send("OK");
        QTRY_COMPARE(sender.dg->shown.size(), 1);
        // The dialog came back with a file, but nobody is left to offer it to.
        QVERIFY(sender.endedWith(ByReciever));
        QCOMPARE(sender.wire, QByteArray("RC"));
    }

    void receiverPresetsTheOfferAndGivesTheGoAhead()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("saved.txt"));
        Rig receiver(MainWin::Receive);
        QVERIFY(receiver.connectRaw());
        QCOMPARE(receiver.status(), QStringLiteral("Waiting for connection ..."));
        QVERIFY(receiver.sendStrays({"OK", "SD", "rc"}));
        receiver.send("RC");
        QTRY_COMPARE(receiver.status(), QStringLiteral("Connected. Waiting for file ..."));

        QString during;
        bool createdEarly = true;
        receiver.dg->whileOpen = [&] { during = receiver.status(), createdEarly = QFile::exists(target); };
        receiver.dg->choose(target);
        receiver.send("FNnotes.txt\\ 5");
        QTRY_COMPARE(receiver.wire, QByteArray("OKSD"));
        QCOMPARE(during, QStringLiteral("Save file to ..."));
        QVERIFY(!createdEarly && QFile::exists(target));
        QVERIFY(receiver.dg->shown
                == Shown({{true, QCoreApplication::applicationDirPath(), 6, AnyFile, true, QStringLiteral("notes.txt")}}));
        QCOMPARE(receiver.status(), QStringLiteral("Recieving file ..."));
        QCOMPARE(receiver.win->XferState, quint8(1));
        QCOMPARE(receiver.win->FileSize, 5);

        // Once the announced bytes are in, a second offer stays unread.
        receiver.send("hello");
        QTRY_VERIFY(receiver.status().startsWith(QStringLiteral("Finished.")));
        receiver.send(NotesOffer);
        QTRY_VERIFY(receiver.win->NT->bytesWaiting() > 0);
        QCOMPARE(receiver.dg->shown.size(), 1);
        QCOMPARE(receiver.wire, QByteArray("OKSD"));
    }

    void receiverTakesMergedMessagesAndPresetsOnlyTheLastNameComponent()
    {
        QTemporaryDir dir;
        Rig receiver(MainWin::Receive);
        QVERIFY(receiver.connectRaw());
        receiver.dg->choose(dir.filePath(QStringLiteral(".bashrc")));
        receiver.send("RCFN../../.bashrc\\ 10");
        QTRY_COMPARE(receiver.wire, QByteArray("OKSD"));
        QCOMPARE(receiver.dg->shown.value(0).FileName, QStringLiteral(".bashrc"));
        QCOMPARE(receiver.win->FileSize, 10);
    }

    void receiverRefusesMalformedOffersWithoutADialog_data()
    {
        QTest::addColumn<QByteArray>("offer");
        for (const char *offer : {"FNnotes.txt 5000", "FNnotes.txt\\ many", "FNnotes.txt\\", "FNnotes.txt\\ 0",
                                  "FNnotes.txt\\ 0.5", "FNnotes.txt\\-5", "FNnotes.txt\\ 2147483648"})
            QTest::newRow(offer) << QByteArray(offer);
    }
    void receiverRefusesMalformedOffersWithoutADialog()
    {
        QFETCH(QByteArray, offer);
        Rig receiver(MainWin::Receive);
        QVERIFY(receiver.connectRaw());
        receiver.send(offer);
        QTRY_COMPARE(receiver.wire, QByteArray("OKCC"));
        QVERIFY(receiver.dg->shown.isEmpty());
        QVERIFY(receiver.endedWith(SaveCancelled));
        QCOMPARE(receiver.win->XferState, quint8(0));
    }

    void receiverCreatesNothingWhenThePeerLeavesDuringTheDialog()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("saved.txt"));
        Rig receiver(MainWin::Receive);
        QVERIFY(receiver.connectRaw());
        receiver.dg->choose(target);
        receiver.dg->whileOpen = [&] {
            receiver.peer->close();
            QTRY_COMPARE(receiver.status(), BySender);
        };
        receiver.send(NotesOffer);
        QTRY_COMPARE(receiver.dg->shown.size(), 1);
        QVERIFY(receiver.endedWith(BySender));
        QCOMPARE(receiver.win->XferState, quint8(0));
        QVERIFY(!QFile::exists(target));
        QCOMPARE(receiver.wire, QByteArray("OK"));
    }

    void twoWindowsCompleteTheHandshake()
    {
        QTemporaryDir dir;
        Rig receiver(MainWin::Receive);
        Rig sender(MainWin::Send, receiver.port);
        sender.dg->choose(makeFile(dir, QStringLiteral("notes.txt"), 5000));
        receiver.dg->choose(dir.filePath(QStringLiteral("copy.txt")));

        // What each side shows while its dialog is open and right after each message it handles.
        QStringList senderSaw, receiverSaw;
        sender.dg->whileOpen = [&] {
            QTRY_COMPARE(receiver.status(), QStringLiteral("Connected. Waiting for file ..."));
            senderSaw << sender.status();
        };
        receiver.dg->whileOpen = [&] { receiverSaw << receiver.status() << sender.status(); };
        connect(sender.win->NT, &TcpControl::DataArrival, this, [&] { senderSaw << sender.status(); });
        connect(receiver.win->NT, &TcpControl::DataArrival, this, [&] {
            if (receiverSaw.size() < 4)
                receiverSaw << receiver.status();
        });

        receiver.win->Show();
        QVERIFY(receiver.listening());
        sender.win->Show();
        QTRY_COMPARE(senderSaw.size(), 3);
        QCOMPARE(senderSaw, QStringList({"Connected. Pease select a file ...", "Sending request ...", "Sending file ..."}));
        QTRY_COMPARE(receiverSaw.size(), 4);
        QCOMPARE(receiverSaw, QStringList({"Connected. Waiting for file ...", "Save file to ...", "Sending request ...",
                                           "Recieving file ..."}));
        QCOMPARE(receiver.dg->shown.value(0).FileName, QStringLiteral("notes.txt"));
        QCOMPARE(receiver.win->FileSize, 5000);
        QTRY_VERIFY(receiver.status().startsWith(QStringLiteral("Finished.")));
    }

    void twoWindowsReportEachCancellationOnBothSides_data()
    {
        QTest::addColumn<qint64>("fileSize");
        QTest::addColumn<QString>("senderSays");
        QTest::addColumn<QString>("receiverSays");
        QTest::newRow("no file") << qint64(-1) << QStringLiteral("No file selected. Connection cancelled.") << BySender;
        QTest::newRow("empty file") << qint64(0) << QStringLiteral("Zero length file. Connection cancelled.") << BySender;
        QTest::newRow("save cancelled") << qint64(5000) << ByReciever << SaveCancelled;
    }
    void twoWindowsReportEachCancellationOnBothSides()
    {
        QFETCH(qint64, fileSize);
        QFETCH(QString, senderSays);
        QFETCH(QString, receiverSays);
        QTemporaryDir dir;
        Rig receiver(MainWin::Receive);
        Rig sender(MainWin::Send, receiver.port);
        if (fileSize >= 0)
            sender.dg->choose(makeFile(dir, QStringLiteral("notes.txt"), fileSize));
        receiver.win->Show();
        QVERIFY(receiver.listening());
        sender.win->Show();
        QTRY_VERIFY(sender.endedWith(senderSays));
        QTRY_VERIFY(receiver.endedWith(receiverSays));
        QCOMPARE(sender.win->XferState, quint8(0));
        QCOMPARE(receiver.win->XferState, quint8(0));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), fileSize >= 0 ? 1 : 0);
    }
};

QTEST_MAIN(tst_Handshake)
#include "tst_handshake.moc"
