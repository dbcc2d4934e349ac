#include "app/mainwin.h"
#include "scripteddialog.h"
#include "transfer/procwin.h"

#include <QCoreApplication>
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
const QString Waiting = QStringLiteral("Connected. Waiting for file ...");
const QString Select = QStringLiteral("Connected. Pease select a file ...");
const QString Request = QStringLiteral("Sending request ...");
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
    return file.open(QIODevice::WriteOnly) && file.resize(size) ? file.fileName() : QString();
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
    QStringList saw; // the status after each message handled before any file byte

    explicit Rig(quint8 mode, quint16 onPort = freePort()) : port(onPort)
    {
        main.XferMode = mode;
        main.PeerIP = QStringLiteral("127.0.0.1");
        win = std::make_unique<ProcWin>(main, port, dg);
        win->Load();
        QObject::connect(win->NT, &TcpControl::DataArrival, win.get(), [this] { if (win->BytesDone == 0) saw << status(); });
    }
    QString status() const { return win->StatBox->text(); }
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
};
}

class tst_Handshake : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] {}); }

    void rawPeerGetsTheAnswerEachOpeningDeserves()
    {
        QTemporaryDir dir;
        const QString notes = makeFile(dir, "notes.txt", 5000), target = dir.filePath("saved.txt");
        using Row = std::tuple<quint8, QString, QByteArray, QByteArray, QString, int, bool>;
        // Mode, file the dialog returns, bytes sent in one read ("" closes at once), the window's whole reply,
        // its status, dialogs shown, whether the peer leaves while the dialog is open.
        QList<Row> rows = {
            {MainWin::Send, {}, "OK", "RCCC", "No file selected. Connection cancelled.", 1, false},
            {MainWin::Send, makeFile(dir, "empty.txt", 0), "OK", "RCCC", "Zero length file. Connection cancelled.", 1, false},
            {MainWin::Send, dir.filePath("gone.txt"), "OK", "RCCC", "Could not read file. Connection cancelled.", 1, false},
            {MainWin::Send, makeFile(dir, "big.bin", qint64(1) << 31), "OK", "RCCC", "File too large. Connection cancelled.", 1, false},
            {MainWin::Send, notes, "OKCC", "RC" + NotesOffer, ByReciever, 1, false},
            {MainWin::Send, {}, "", "RC", ByReciever, 0, false},
            {MainWin::Send, notes, "OK", "RC", ByReciever, 1, true},
            {MainWin::Receive, {}, NotesOffer, "OKCC", SaveCancelled, 1, false},
            {MainWin::Receive, {}, "RC", "OK", Waiting, 0, false},
            {MainWin::Receive, {}, "CC", "OK", BySender, 0, false},
            {MainWin::Receive, {}, "", "OK", BySender, 0, false},
            {MainWin::Receive, target, NotesOffer, "OK", BySender, 1, true},
        };
        for (const char *stray : {"RC", "ok", "OK!", "FNx.txt\\ 5", "SD"})
            rows.append({MainWin::Send, {}, stray, "RC", "Connecting to 127.0.0.1 ...", 0, false});
        for (const char *stray : {"OK", "SD"})
            rows.append({MainWin::Receive, {}, stray, "OK", "Waiting for connection ...", 0, false});
        for (const char *offer : {"FNnotes.txt 5000", "FNnotes.txt\\ many", "FNnotes.txt\\", "FNnotes.txt\\ 0",
                                  "FNnotes.txt\\ 0.5", "FNnotes.txt\\-5", "FNnotes.txt\\ 2147483648"})
            rows.append({MainWin::Receive, {}, offer, "OKCC", SaveCancelled, 0, false});

        for (const auto &[mode, choice, sent, reply, status, dialogs, leaves] : rows) {
            Rig rig(mode);
            QVERIFY(rig.connectRaw());
            choice.isEmpty() ? rig.dg->cancel() : rig.dg->choose(choice);
            // A dialog that comes back with a file finds nobody left to take it.
            if (leaves)
                rig.dg->whileOpen = [&] { rig.peer->close(); QTRY_COMPARE(rig.status(), status); };
            sent.isEmpty() ? rig.peer->close() : rig.send(sent);
            QTRY_COMPARE(rig.win->InMsg, QString::fromLatin1(sent));
            QTRY_VERIFY2(rig.wire == reply && rig.status() == status, qPrintable(sent + " gave " + rig.status()));
            // Every sentence that ends the handshake speaks of the connection.
            QCOMPARE(rig.win->CDBut->text(), status.contains(u"Connection c") ? u"Done" : u"Cancel");
            QCOMPARE(rig.dg->shown.size(), dialogs);
            QCOMPARE(rig.win->XferState, quint8(0));
            QVERIFY(!QFile::exists(target));
        }
    }

    void rawPeerCompletesTheHandshakeWithEitherSide()
    {
        QTemporaryDir dir;
        Rig sender(MainWin::Send);
        QVERIFY(sender.connectRaw());
        sender.dg->choose(makeFile(dir, "notes.txt", 5000));
        // A second "OK" while the dialog is open waits, and then opens no second dialog.
        sender.dg->whileOpen = [&] { sender.send("OK"); QTRY_VERIFY(sender.win->NT->bytesWaiting() > 0); };
        sender.send("OK");
        QTRY_COMPARE(sender.wire, "RC" + NotesOffer);
        QTRY_COMPARE(sender.win->NT->bytesWaiting(), qint64(0));
        QVERIFY(sender.dg->shown == Shown({{false, QCoreApplication::applicationDirPath(), 4, AnyFile, false, {}}}));

        const QString target = dir.filePath("saved.txt");
        Rig receiver(MainWin::Receive);
        QVERIFY(receiver.connectRaw());
        bool createdEarly = true;
        receiver.dg->whileOpen = [&] { createdEarly = QFile::exists(target); };
        receiver.dg->choose(target);
        receiver.send("RCFN../../.bashrc\\ 5");
        QTRY_COMPARE(receiver.wire, QByteArray("OKSD"));
        QVERIFY(!createdEarly && QFile::exists(target));
        QVERIFY(receiver.dg->shown
                == Shown({{true, QCoreApplication::applicationDirPath(), 6, AnyFile, true, QStringLiteral(".bashrc")}}));
        QCOMPARE(receiver.win->XferState, quint8(1));
        QCOMPARE(receiver.win->FileSize, 5);

        // Once the announced bytes are in, a second offer stays unread.
        receiver.send("hello");
        QTRY_VERIFY(receiver.status().startsWith(QStringLiteral("Finished.")));
        receiver.send(NotesOffer);
        QTRY_VERIFY(receiver.win->NT->bytesWaiting() > 0);
        QCOMPARE(receiver.dg->shown.size(), 1);
    }

    void twoWindowsShowEachStepOnBothSides()
    {
        // A save target of "" cancels the save dialog; a file size of -1 chooses no file.
        const QList<std::tuple<qint64, QString, QStringList, QStringList>> rows = {
            {5000, "copy.txt", {Select, Request, "Sending file ..."},
             {Waiting, "Save file to ...", Request, "notes.txt", "Recieving file ..."}},
            {-1, "", {Select, "No file selected. Connection cancelled."}, {Waiting, BySender}},
            {0, "", {Select, "Zero length file. Connection cancelled."}, {Waiting, BySender}},
            {5000, "", {Select, Request, ByReciever}, {Waiting, "Save file to ...", Request, "notes.txt", SaveCancelled}},
        };
        for (const auto &[fileSize, saveAs, senderSteps, receiverSteps] : rows) {
            QTemporaryDir dir;
            Rig receiver(MainWin::Receive);
            Rig sender(MainWin::Send, receiver.port);
            sender.dg->choose(fileSize < 0 ? QString() : makeFile(dir, "notes.txt", fileSize));
            if (!saveAs.isEmpty())
                receiver.dg->choose(dir.filePath(saveAs));
            // Each dialog notes what both sides show while it is open.
            sender.dg->whileOpen = [&] { QTRY_COMPARE(receiver.status(), Waiting); sender.saw << sender.status(); };
            receiver.dg->whileOpen = [&] { receiver.saw << receiver.status() << sender.status() << receiver.dg->FileName; };
            receiver.win->Show();
            QVERIFY(receiver.listening());
            sender.win->Show();
            QTRY_VERIFY(sender.win->CDBut->text() == u"Done" && receiver.win->CDBut->text() == u"Done");
            QCOMPARE(sender.saw, senderSteps);
            QCOMPARE(receiver.saw, receiverSteps);
        }
    }
};

QTEST_MAIN(tst_Handshake)
#include "tst_handshake.moc"
