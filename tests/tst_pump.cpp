#include "datarows.h"
#include "transferrig.h"

namespace {
int programEnds = 0;
using Pumped = std::tuple<int, QList<qint32>, QString>;

// A sending window past its offer of `size` random bytes, noting BytesDone after each tick that moved it.
struct PumpRig : RawRig {
    QString path = dir.filePath(QStringLiteral("data.bin"));
    QByteArray content, offer;
    QList<qint32> moved;

    bool offerRead(int size)
    {
        content = randomBytes(size);
        offer = "RCFNdata.bin\\ " + QByteArray::number(size);
        if (!writeFile(path, content) || !open(MainWin::Send, path))
            return false;
        QObject::connect(win().STM, &QTimer::timeout, &win(), [this] {
            if (moved.value(moved.size() - 1) != win().BytesDone)
                moved.append(win().BytesDone);
        });
        peer->write("OK");
        return QTest::qWaitFor([this] { return wire == offer; });
    }
};
}

class TstPump : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { ++programEnds; }); }

    void fileGoesOutInWholeChunksThenTheRemainderAndNothingMoreEvenWhenDoneIsPressedAtOnce_data()
    {
        // Size, BytesDone after each tick that moved it, the kilobytes "Finished." shows. 10,000 bytes go as
        // whole chunks on two ticks, the 1,808 left with the second.
        addRows(QList<Pumped>{{1, {1}, "0"}, {4095, {4095}, "4"}, {4096, {4096}, "4"}, {4097, {4097}, "4"},
                              {8192, {4096, 8192}, "8"}, {10000, {4096, 10000}, "9.8"}},
                [](const Pumped &row) { return QString::number(std::get<0>(row)) + " bytes"; });
    }
    void fileGoesOutInWholeChunksThenTheRemainderAndNothingMoreEvenWhenDoneIsPressedAtOnce()
    {
        QFETCH(Pumped, row);
        const auto &[size, steps, kb] = row;
        PumpRig rig;
        QVERIFY(rig.offerRead(size));
        ProcWin &s = rig.win();
        // The completions of "RC" and the offer start nothing.
        QTest::qWait(3 * ProcWin::TickMs);
        QCOMPARE(s.XferState, quint8(ProcWin::ControlMessages));

        // The last tick's bytes are counted before they have left. Done is pressed the moment
        // "Finished." shows, which drops whatever the socket still held: the peer getting the
        // whole file shows none waited. By then the timer is off and the file closed.
        bool lastQueued = false;
        QString said;
        const auto watch = [&] {
            const bool finishedShows = s.StatBox->text().startsWith(u"Finished.");
            lastQueued = lastQueued || (s.BytesDone == size && !finishedShows);
            if (!finishedShows)
                return;
            said = s.StatBox->text() + u'/' + s.CDBut->text();
            QVERIFY(!s.STM->isActive() && !isOpenHere(rig.path));
            s.CDBut->click();
        };
        QObject::connect(s.STM, &QTimer::timeout, &s, watch);
        QObject::connect(s.NT, &TcpControl::SendComplete, &s, watch);
        rig.peer->write("SD");
        QTRY_VERIFY(!s.isLoaded() && rig.peer->state() == QAbstractSocket::UnconnectedState);
        rig.wire += rig.peer->readAll();
        QCOMPARE(rig.wire, rig.offer + rig.content);
        QCOMPARE(rig.moved, steps);
        QCOMPARE(said, finished(kb) + "/Done");
        QVERIFY(lastQueued);
        QCOMPARE(programEnds, 0);
    }
};

QTEST_MAIN(TstPump)
#include "tst_pump.moc"
