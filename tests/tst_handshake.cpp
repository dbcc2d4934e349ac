#include "datarows.h"
#include "transferrig.h"

#include <QElapsedTimer>
#include <QSignalSpy>

namespace {
using Shown = QList<ScriptedDialog::Shown>;
const QString AnyFile = QStringLiteral("All file types (*.*) | *.*");
const QString ByReciever = QStringLiteral("Error ! Connection closed by reciever.");
const QString BySender = QStringLiteral("Error ! Connection closed by sender.");
const QString SaveCancelled = QStringLiteral("Saving file cancelled. Connection closed.");
const QString Waiting = QStringLiteral("Connected. Waiting for file ...");
const QByteArray NotesOffer = "FNnotes.txt\\ 5000";
using Opening = std::tuple<quint8, QString, QByteArray, QByteArray, QString, int, bool>;

QString makeFile(const QTemporaryDir &dir, const QString &name, qint64 size)
{
    QFile file(dir.filePath(name));
    return file.open(QIODevice::WriteOnly) && file.resize(size) ? file.fileName() : QString();
}
}

class tst_Handshake : public QObject
{
    Q_OBJECT

    // A home without a download folder: both dialogs open in it.
    QTemporaryDir home, files;

private slots:
    void initTestCase()
    {
        Form::setProgramEnd([] {});
        qputenv("HOME", home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toLocal8Bit());
    }

    void rawPeerGetsTheAnswerEachOpeningDeserves_data()
    {
        const QString notes = makeFile(files, "notes.txt", 5000);
        // Mode, file the dialog returns, bytes sent in one read ("" closes at once), the window's whole reply,
        // its status, dialogs shown, whether the peer leaves while the dialog is open.
        QList<Opening> rows = {
            {MainWin::Send, {}, "OK", "RCCC", "No file selected. Connection cancelled.", 1, false},
            {MainWin::Send, makeFile(files, "empty.txt", 0), "OK", "RCCC", "Zero length file. Connection cancelled.", 1, false},
            {MainWin::Send, files.filePath("gone.txt"), "OK", "RCCC", "Could not read file. Connection cancelled.", 1, false},
            // Any size goes out, and a peer that cannot hold it answers "CC".
            {MainWin::Send, makeFile(files, "2g.bin", qint64(1) << 31), "OK", "RCFN2g.bin\\ 2147483648", "Sending request ...", 1, false},
            {MainWin::Send, makeFile(files, "3g.bin", qint64(3) << 30), "OKCC", "RCFN3g.bin\\ 3221225472", ByReciever, 1, false},
            {MainWin::Send, notes, "OKCC", "RC" + NotesOffer, ByReciever, 1, false},
            {MainWin::Send, {}, "", "RC", ByReciever, 0, false},
            {MainWin::Send, notes, "OK", "RC", ByReciever, 1, true},
            {MainWin::Receive, {}, NotesOffer, "OKCC", SaveCancelled, 1, false},
            {MainWin::Receive, {}, "RC", "OK", Waiting, 0, false},
            {MainWin::Receive, {}, "CC", "OK", BySender, 0, false},
            {MainWin::Receive, {}, "", "OK", BySender, 0, false},
            {MainWin::Receive, files.filePath("saved.txt"), NotesOffer, "OK", BySender, 1, true},
        };
        for (const char *stray : {"RC", "ok", "OK!", "FNx.txt\\ 5", "SD"})
            rows.append({MainWin::Send, {}, stray, "RC", "Connecting to 127.0.0.1 ...", 0, false});
        for (const char *stray : {"OK", "SD"})
            rows.append({MainWin::Receive, {}, stray, "OK", "Waiting for connection ...", 0, false});
        for (const char *offer : {"FNnotes.txt 5000", "FNnotes.txt\\ many", "FNnotes.txt\\", "FNnotes.txt\\ 0",
                                  "FNnotes.txt\\ 0.5", "FNnotes.txt\\-5", "FNnotes.txt\\ 9223372036854775808",
                                  "FNnotes.txt\\ 1.5", "FNnotes.txt\\ 5e3", "FNnotes.txt\\ -1", "FNnotes.txt\\ +5"})
            rows.append({MainWin::Receive, {}, offer, "OKCC", SaveCancelled, 0, false});
        // Past the longest name a search may scan: refused before any dialog.
        rows.append({MainWin::Receive, {}, "RCFN" + QByteArray(100000, 'n') + "\\ 5", "OKCC", SaveCancelled, 0, false});
        addRows(rows, [](const Opening &row) {
            return (std::get<0>(row) == MainWin::Send ? "send \"" : "receive \"") + std::get<2>(row).left(40) + "\": " + std::get<4>(row);
        });
    }
    void rawPeerGetsTheAnswerEachOpeningDeserves()
    {
        QFETCH(Opening, row);
        const auto &[mode, choice, sent, reply, status, dialogs, leaves] = row;
        RawRig rig;
        QVERIFY(rig.open(mode, choice));
        ProcWin &win = rig.win();
        // A dialog that comes back with a file finds nobody left to take it.
        if (leaves)
            rig.side->dg->whileOpen = [&] { rig.peer->close(); QTRY_COMPARE(win.StatBox->text(), status); };
        sent.isEmpty() ? rig.peer->close() : void(rig.peer->write(sent));
        QTRY_COMPARE(win.InMsg, QString::fromLatin1(sent));
        QTRY_VERIFY2(rig.wire == reply && win.StatBox->text() == status, qPrintable(win.StatBox->text()));
        // Every sentence that ends the handshake speaks of the connection.
        QCOMPARE(win.CDBut->text(), status.contains(u"Connection c") ? u"Done" : u"Cancel");
        QCOMPARE(rig.side->dg->shown.size(), dialogs);
        QVERIFY(!QFile::exists(files.filePath("saved.txt")));
    }

    void rawPeerCompletesTheHandshakeWithEitherSide()
    {
        QTemporaryDir dir;
        RawRig sender;
        QVERIFY(sender.open(MainWin::Send, makeFile(dir, "notes.txt", 5000)));
        QSignalSpy arrivals(sender.win().NT, &TcpControl::DataArrival);
        // A second "OK" while the dialog is open is announced only once it closes (the spy hears the
        // first only when the window's handler returns), is then read, and opens no second dialog:
        // the "SD" after it is read alone.
        sender.side->dg->whileOpen = [&] {
            QCOMPARE(sender.win().StatBox->text(), QStringLiteral("Connected. Pease select a file ..."));
            sender.peer->write("OK"), sender.peer->flush(), QTest::qWait(50);
            QVERIFY(arrivals.isEmpty());
        };
        sender.peer->write("OK");
        QTRY_COMPARE(sender.wire, "RC" + NotesOffer);
        QTRY_COMPARE(arrivals, (QList<QVariantList>{{2}, {2}}));
        QString afterGo;
        QObject::connect(sender.win().NT, &TcpControl::DataArrival, &sender.win(), [&] { afterGo = sender.win().StatBox->text(); });
        sender.peer->write("SD");
        QTRY_COMPARE(sender.win().InMsg, QStringLiteral("SD"));
        QCOMPARE(afterGo, QStringLiteral("Sending file ..."));
        QCOMPARE(sender.win().Caption(), QStringLiteral("Veltrane (not encrypted)"));
        QVERIFY(sender.side->dg->shown == Shown({{false, home.path(), 4, AnyFile, false, {}, {}}}));

        const QString target = dir.filePath("saved.txt");
        RawRig receiver;
        QVERIFY(receiver.open(MainWin::Receive, target));
        ProcWin &rcv = receiver.win();
        bool createdEarly = true;
        receiver.side->dg->whileOpen = [&] {
            createdEarly = QFile::exists(target);
            QCOMPARE(rcv.StatBox->text(), QStringLiteral("Save file to ..."));
        };
        receiver.peer->write("RCFN../../.bashrc\\ 5");
        QTRY_COMPARE(receiver.wire, QByteArray("OKSD"));
        QVERIFY(!createdEarly && QFile::exists(target));
        QVERIFY(receiver.side->dg->shown
                == Shown({{true, home.path(), 6, AnyFile, true, ".bashrc", "Save file from 127.0.0.1 (0 KB)"}}));
        QVERIFY(rcv.XferState == ProcWin::ReceivingData && rcv.FileSize == 5);
        QCOMPARE(rcv.Caption(), QStringLiteral("Veltrane (not encrypted)"));

        // Once the announced bytes are in, a second offer stays unread.
        receiver.peer->write("hello");
        QTRY_VERIFY(rcv.StatBox->text().startsWith(u"Finished."));
        QSignalSpy unread(rcv.NT, &TcpControl::DataArrival);
        receiver.peer->write(NotesOffer);
        QTRY_COMPARE(unread.size(), 1);
        receiver.peer->write("x");
        QTRY_COMPARE(unread, (QList<QVariantList>{{int(NotesOffer.size())}, {int(NotesOffer.size()) + 1}}));
        QCOMPARE(receiver.side->dg->shown.size(), 1);
    }

    void designReceiverHearsRcTwoSecondsAfterTheConnectionAndTheFileInTheClear()
    {
        QTemporaryDir dir;
        const QByteArray content = randomBytes(5000);
        QVERIFY(writeFile(dir.filePath("notes.txt"), content));
        QElapsedTimer clock;
        clock.start();
        RawRig rig;
        QVERIFY(rig.reach(MainWin::Send, dir.filePath("notes.txt"), QuickTiming));
        // The plain "OK" comes before "RC" does, and is not lost.
        rig.peer->write("OK");
        QTRY_COMPARE_WITH_TIMEOUT(rig.wire, "RC" + NotesOffer, 5000);
        QVERIFY2(clock.elapsed() >= 1800, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(isProbe(rig.probe));
        QCOMPARE(rig.win().Caption(), QStringLiteral("Veltrane (not encrypted)"));
        rig.peer->write("SD");
        QTRY_COMPARE(rig.wire, "RC" + NotesOffer + content);
    }
};

QTEST_MAIN(tst_Handshake)
#include "tst_handshake.moc"
