#include "transferrig.h"

namespace {
int programEnds = 0;

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

    void fileGoesOutInWholeChunksThenTheRemainderAndNothingMoreEvenWhenDoneIsPressedAtOnce()
    {
        // 10,000 bytes go as whole chunks on two ticks, the 1,808 left with the second.
        const QList<std::tuple<int, QList<int>, QString>> rows = {
            {1, {1}, "0"},       {4095, {4095}, "4"},       {4096, {4096}, "4"},
            {4097, {4097}, "4"}, {8192, {4096, 8192}, "8"}, {10000, {4096, 10000}, "9.8"}};
        for (const auto &[size, steps, kb] : rows) {
            PumpRig rig;
            QVERIFY(rig.offerRead(size));
            ProcWin &s = rig.win();
            // The completions of "RC" and the offer start nothing.
            QTest::qWait(3 * ProcWin::TickMs);
            QCOMPARE(s.XferState, quint8(ProcWin::ControlMessages));

            // The last tick's bytes wait in the sender's socket a while. Done is pressed the moment
            // "Finished." shows: by then no byte may wait there, the timer is off and the file closed.
            const QPointer<QTcpSocket> own = s.NT->findChild<QTcpSocket *>();
            bool lastQueued = false;
            QString said;
            const auto watch = [&] {
                lastQueued = lastQueued || (own->bytesToWrite() > 0 && s.BytesDone == size);
                if (!s.StatBox->text().startsWith(u"Finished."))
                    return;
                said = s.StatBox->text() + u'/' + s.CDBut->text();
                QVERIFY(own->bytesToWrite() == 0 && !s.STM->isActive() && !isOpenHere(rig.path));
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
        }
        QCOMPARE(programEnds, 0);
    }
};

QTEST_MAIN(TstPump)
#include "tst_pump.moc"
