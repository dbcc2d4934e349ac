#include "bartables.h"
#include "datarows.h"
#include "transferrig.h"

#include <QElapsedTimer>

namespace {
int programEnds = 0;
// A size, and the kilobytes "Finished." shows for it.
using Sized = std::pair<qint64, QString>;
}

class TstPump : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { ++programEnds; }); }

    void fileGoesOutWholeOnceAndNothingMoreEvenWhenDoneIsPressedAtOnce_data()
    {
        constexpr qint64 piece = ProcWin::PieceSize, bound = ProcWin::QueueBound;
        addRows(QList<Sized>{{1, "0"}, {4095, "4"}, {4096, "4"}, {4097, "4"}, {piece - 1, "256"},
                                                  {piece, "256"}, {piece + 1, "256"}, {bound + 1, "1024"},
                                                  {3 * bound + 5000, "3076.9"}},
                [](const auto &row) { return QString::number(row.first) + " bytes"; });
    }
    void fileGoesOutWholeOnceAndNothingMoreEvenWhenDoneIsPressedAtOnce()
    {
        QFETCH(Sized, row);
        const auto &[size, kb] = row;
        RawRig rig;
        const QString path = rig.dir.filePath(QStringLiteral("data.bin"));
        const QByteArray content = randomBytes(int(size)), offer = "RCFNdata.bin\\ " + QByteArray::number(size);
        QVERIFY(writeFile(path, content) && rig.open(MainWin::Send, path));
        rig.peer->write("OK");
        QTRY_VERIFY(rig.wire == offer);
        ProcWin &s = rig.win();
        // The completions of "RC" and the offer start nothing.
        QTest::qWait(3 * ProcWin::TickMs);
        QCOMPARE(s.BytesDone, qint64(0));

        // Done is pressed the moment "Finished." shows, which drops whatever the socket still held:
        // the peer getting the whole file, each byte once, shows none waited. By then the file is closed.
        QString said;
        const auto watch = [&] {
            if (!s.isLoaded() || !s.StatBox->text().startsWith(u"Finished."))
                return;
            said = s.StatBox->text() + u'/' + s.CDBut->text();
            QVERIFY(!isOpenHere(path));
            s.CDBut->click();
        };
        QObject::connect(s.STM, &QTimer::timeout, &s, watch);
        rig.peer->write("SD");
        QTRY_VERIFY_WITH_TIMEOUT(!s.isLoaded() && rig.peer->state() == QAbstractSocket::UnconnectedState, 20000);
        rig.wire += rig.peer->readAll();
        QCOMPARE(rig.wire.size(), offer.size() + size);
        QVERIFY(rig.wire == offer + content);
        QCOMPARE(said, finished(kb) + "/Done");
        QCOMPARE(programEnds, 0);
    }

    void displayRunsAtMostOncePerTickAndAlwaysShowsTheEnd_data()
    {
        addRows(QList<quint8>{MainWin::Send, MainWin::Receive},
                [](quint8 mode) { return mode == MainWin::Send ? "sender" : "receiver"; });
    }
    void displayRunsAtMostOncePerTickAndAlwaysShowsTheEnd()
    {
        QFETCH(quint8, row);
        // The receiving side's peer sends in many small writes, so blocks arrive far more often than a tick.
        const qint64 size = 8 * ProcWin::QueueBound;
        RawRig rig;
        const QByteArray content = randomBytes(int(size));
        const QString source = rig.dir.filePath(QStringLiteral("data.bin")), target = rig.dir.filePath(QStringLiteral("out.bin"));
        QVERIFY(writeFile(source, content));
        QVERIFY(rig.open(row, row == MainWin::Send ? source : target));
        ProcWin &w = rig.win();
        // What the status line said at each display tick, and whether it ever changed in between.
        QElapsedTimer clock;
        clock.start();
        QList<qint64> ticks;
        QString drawn = w.StatBox->text();
        bool changedBetweenTicks = false;
        QObject::connect(w.STM, &QTimer::timeout, &w, [&] { ticks << clock.nsecsElapsed(), drawn = w.StatBox->text(); });
        const auto between = [&] { changedBetweenTicks |= !ticks.isEmpty() && w.StatBox->text() != drawn; };
        QObject::connect(w.NT, &TcpControl::DataArrival, &w, between);
        QObject::connect(w.NT, &TcpControl::SendComplete, &w, between);
        if (row == MainWin::Send) {
            rig.peer->write("OK");
            QVERIFY(QTest::qWaitFor([&] { return rig.wire.startsWith("RCFN"); }));
            rig.peer->write("SD");
        } else {
            rig.peer->write("RCFNdata.bin\\ " + QByteArray::number(size));
            QVERIFY(QTest::qWaitFor([&] { return rig.wire == "OKSD"; }));
            for (qint64 at = 0; at < size; at += 16384) {
                rig.peer->write(content.mid(at, 16384));
                rig.peer->flush();
                QCoreApplication::processEvents();
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(w.CDBut->text() == u"Done", 20000);
        QCOMPARE(w.StatBox->text(), finished("8192"));
        // Drawn at a tick, so at least one ran.
        QCOMPARE(drawn, finished("8192"));
        QVERIFY(!changedBetweenTicks);
        for (qsizetype i = 1; i < ticks.size(); ++i)
            QVERIFY2(ticks[i] - ticks[i - 1] >= ProcWin::TickMs * 1000000LL, qPrintable(QString::number(i)));
        QVERIFY(rgb(w.ProcBar->Picture()).copy(4, 0, 199, 13) == fullBarFrom4());
        if (row == MainWin::Receive)
            QVERIFY(contentOf(target) == content);
    }
};

QTEST_MAIN(TstPump)
#include "tst_pump.moc"
