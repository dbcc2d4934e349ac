#include "app/mainwin.h"
#include "bartables.h"
#include "datarows.h"
#include "app/procwin.h"
#include "windowrig.h"

#include <QAccessible>
#include <QScopeGuard>
#include <QtTest>

// At p of 5 or more: the body from column `from` up to the head, whose five columns end at 2p + 3.
static Slices tube(int p, int from, Slices slices = {})
{
    for (int x = from; x <= 2 * p - 2; ++x)
        slices[x] = 2;
    for (int i = 0; i < 5; ++i)
        slices[2 * p - 1 + i] = 3 + i;
    return slices;
}

using Figure = std::tuple<qint64, QString, QString>;
// One call of DrawProcess and what it must leave: the bar, the sentence if given, BarDrawn if not -1.
struct Step { qint32 done, size; Slices bar; const char *status = nullptr; int drawn = -1; };

// A loaded transfer window of the test's own, never shown, so it opens no port.
struct Rig {
    MainWin main;
    ProcWin win{main, main, 0};
    explicit Rig(quint8 mode) { main.XferMode = mode, win.Load(); }
    QImage draw(qint32 done, qint32 size)
    {
        win.transfer().BytesDone = done, win.transfer().FileSize = size, win.DrawProcess();
        return rgb(win.ProcBar->Picture());
    }
};

class TestProgress : public QObject
{
    Q_OBJECT

    // A home without a download folder: both dialogs open in it.
    QTemporaryDir home;

private slots:
    void initTestCase()
    {
        Form::setProgramEnd([] {});
        qputenv("HOME", home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toLocal8Bit());
    }

    void windowShowsTheDialogsTheTitleTheRunningFiguresAndTheFullBar()
    {
        using Shown = QList<ScriptedDialog::Shown>;
        const QString anyFile = QStringLiteral("All file types (*.*) | *.*");
        // The figures the status line showed while bytes moved, after the window drew them.
        const auto watch = [](ProcWin &win, QStringList &running) {
            QObject::connect(&win.transfer(), &Transfer::progressed, &win, [&] { running << win.StatBox->text(); });
        };
        const auto nameRead = [](ProcWin &win) {
            return QAccessible::queryAccessibleInterface(win.window()->window())->text(QAccessible::Name);
        };

        // A private sender: the title carries the code worked out from both certificates.
        WindowRig sender;
        const QString source = sender.dir.filePath(QStringLiteral("notes.txt"));
        const QByteArray content = randomBytes(5000);
        QVERIFY(writeFile(source, content));
        QVERIFY(sender.reach(TransferSettings::Send, source, QuickTiming));
        QVERIFY(sender.turnPrivate(PeerIdentity::a()));
        ProcWin &snd = sender.side->win;
        QStringList sent;
        watch(snd, sent);
        QCOMPARE(snd.Caption(), "Veltrane (" + codeOf(sender.peer->peerCertificate(), PeerIdentity::a().certificate) + ")");
        QCOMPARE(nameRead(snd), snd.Caption());
        sender.peer->write("OK");
        QTRY_COMPARE(sender.wire, QByteArray("RCFNnotes.txt\\ 5000"));
        QVERIFY(sender.side->dg->shown == Shown({{false, home.path(), 4, anyFile, false, {}, {}}}));
        sender.peer->write("SD");
        QTRY_COMPARE(sender.wire, "RCFNnotes.txt\\ 5000" + content);
        // Every byte is out; the receiver's word decides.
        QCOMPARE(snd.CDBut->text(), QStringLiteral("Cancel"));
        sender.peer->write("OK");
        QTRY_COMPARE(snd.CDBut->text(), QStringLiteral("Done"));
        QCOMPARE(snd.StatBox->text(), finished("4.9"));
        QVERIFY(!sent.isEmpty() && sent.last() == u"Sending file ... (4.9 KB of 4.9 KB)");
        QVERIFY(rgb(snd.ProcBar->Picture()).copy(4, 0, 199, 13) == fullBarFrom4());

        // A receiver in the clear: the save dialog presets the offer's last component and names
        // who offers how much.
        WindowRig receiver;
        const QString target = receiver.dir.filePath(QStringLiteral("saved.txt"));
        QVERIFY(receiver.open(TransferSettings::Receive, target));
        ProcWin &rcv = receiver.side->win;
        QStringList received;
        watch(rcv, received);
        receiver.peer->write("RCFN../../notes.txt\\ 5000");
        QTRY_COMPARE(receiver.wire, QByteArray("OKSD"));
        QVERIFY(receiver.side->dg->shown
                == Shown({{true, home.path(), 6, anyFile, true, "notes.txt", "Save file from 127.0.0.1 (4.9 KB)"}}));
        QCOMPARE(rcv.Caption(), QStringLiteral("Veltrane (not encrypted)"));
        QCOMPARE(nameRead(rcv), rcv.Caption());
        receiver.peer->write(content);
        QTRY_COMPARE(rcv.CDBut->text(), QStringLiteral("Done"));
        QCOMPARE(rcv.StatBox->text(), finished("4.9"));
        QVERIFY(!received.isEmpty() && received.last() == u"Recieving file ... (4.9 KB of 4.9 KB)");
        QVERIFY(rgb(rcv.ProcBar->Picture()).copy(4, 0, 199, 13) == fullBarFrom4());
        QCOMPARE(contentOf(target), content);
    }

    void kilobytesRoundToEvenInTheUsersNotation_data()
    {
        addRows(QList<Figure>{{0, "0", "0"}, {256, "0.2", "0,2"}, {768, "0.8", "0,8"}, {1280, "1.2", "1,2"}, {2560, "2.5", "2,5"},
                              {100000, "97.7", "97,7"}, {4096, "4", "4"}, {2147483647, "2097152", "2097152"},
                              // Past 2^53 a double loses the tenths; ties still go to even.
                              {(qint64(1) << 62) + 256, "4503599627370496.2", "4503599627370496,2"},
                              {(qint64(1) << 62) + 768, "4503599627370496.8", "4503599627370496,8"},
                              {(qint64(1) << 62) + 1023, "4503599627370497", "4503599627370497"},
                              {std::numeric_limits<qint64>::max(), "9007199254740992", "9007199254740992"}},
                [](const Figure &row) { return QString::number(std::get<0>(row)) + " bytes"; });
    }
    void kilobytesRoundToEvenInTheUsersNotation()
    {
        QFETCH(Figure, row);
        const auto &[bytes, en, de] = row;
        const auto restore = qScopeGuard([saved = QLocale()] { QLocale::setDefault(saved); });
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(ProcWin::K(bytes), en);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(ProcWin::K(bytes), de);
        Rig t(MainWin::Send);
        t.draw(100000, 819200);
        QCOMPARE(t.win.StatBox->text(), QStringLiteral("Sending file ... (97,7 KB of 800 KB)"));
    }

    void eachSequenceOfCallsLeavesTheReferenceBarAndSentence_data()
    {
        QList<QList<Step>> runs = {
            // Ties go to even: 0.5 % paints nothing, 1.5 % and 2.5 % both paint 2 %.
            {{4096, 819200, {}, "Recieving file ... (4 KB of 800 KB)", 0}, {12288, 819200, {{4, 2}, {5, 3}}},
             {20480, 819200, {{4, 2}, {5, 3}}, nullptr, 2}},
            // Columns 2 and 3 are never painted and keep the groove.
            {{0, 100, {}}, {3, 100, {{6, 4}, {7, 5}}}, {4, 100, {{6, 4}, {7, 5}, {8, 6}, {9, 7}}},
             {5, 100, tube(5, 4)}},
            // First calls at 10 % and at 100 %, where the head's last column, 203, lies beyond the box.
            {{4096, 40000, tube(10, 2), "Recieving file ... (4 KB of 39.1 KB)"}},
            {{1000, 1000, tube(100, 2), "Recieving file ... (1 KB of 1 KB)"}},
            // The jump from 3 % paints the body over its pair; the repeat paints the same bar, with new figures.
            {{3000, 100000, {{6, 4}, {7, 5}}}, {7000, 100000, tube(7, 2)},
             {7400, 100000, tube(7, 2), "Recieving file ... (7.2 KB of 97.7 KB)"}},
            // 99.5 % rounds to a full bar while the transfer still runs.
            {{995, 1000, tube(100, 2), "Recieving file ... (1 KB of 1 KB)", 100},
             {1000, 1000, tube(100, 2), "Recieving file ... (1 KB of 1 KB)"}},
            {}};
        Slices start; // then one percent at a time, where below 5 % each pair joins the ones before
        for (int p = 1; p <= 100; ++p) {
            if (p <= 4)
                start[2 * p] = 2 * p - 2, start[2 * p + 1] = 2 * p - 1;
            runs.last().append({p * 100, 10000, p <= 4 ? start : tube(p, 4, {{2, 0}, {3, 1}}), nullptr, p});
        }
        runs.last()[49].status = "Recieving file ... (4.9 KB of 9.8 KB)";
        runs.last()[99].status = "Recieving file ... (9.8 KB of 9.8 KB)";
        addRows(runs, [](const QList<Step> &run) { return QStringLiteral("from %1 of %2").arg(run[0].done).arg(run[0].size); });
    }
    void eachSequenceOfCallsLeavesTheReferenceBarAndSentence()
    {
        QFETCH(QList<Step>, row);
        Rig t(MainWin::Receive);
        for (const auto &[done, size, bar, status, drawn] : row) {
            QVERIFY2(t.draw(done, size) == barWith(bar), qPrintable(QString::number(done)));
            QVERIFY2(!status || t.win.StatBox->text() == QLatin1String(status), qPrintable(t.win.StatBox->text()));
            QVERIFY(drawn < 0 || t.win.BarDrawn == drawn);
            // The display shows the end; deciding it is the transfer's own business.
            QCOMPARE(t.win.CDBut->text(), QStringLiteral("Cancel"));
        }
        QCOMPARE(rgb(t.win.ProcBar->grab().toImage()), rgb(t.win.ProcBar->Picture())); // what the box shows
    }

    void transferEndsWithTheFullBarAndTheTitleSaysHowPrivateItWas()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source.bin")), target = dir.filePath(QStringLiteral("target.bin"));
        QVERIFY(writeFile(source, randomBytes(300000)));
        const quint16 port = freePort();
        Side receiver(TransferSettings::Receive, port, target);
        QVERIFY(receiver.listening());
        Side sender(TransferSettings::Send, port, source);
        for (ProcWin *win : {&sender.win, &receiver.win}) {
            QTRY_COMPARE(win->StatBox->text(), finished("293"));
            QCOMPARE(win->CDBut->text(), QStringLiteral("Done"));
            QVERIFY(rgb(win->ProcBar->Picture()).copy(4, 0, 199, 13) == fullBarFrom4());
            QVERIFY2(CodeTitle.match(win->Caption()).hasMatch(), qPrintable(win->Caption()));
        }
        QCOMPARE(sender.win.Caption(), receiver.win.Caption());

        // A peer of the design sends no probe.
        WindowRig rig;
        QVERIFY(rig.open(TransferSettings::Receive, rig.dir.filePath(QStringLiteral("saved"))));
        rig.peer->write("RC");
        QTRY_COMPARE(rig.side->win.Caption(), QStringLiteral("Veltrane (not encrypted)"));
    }
};

QTEST_MAIN(TestProgress)
#include "tst_progress.moc"
