#include "transferrig.h"

#include <QDeadlineTimer>

class TstSink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { QFAIL("the program ended"); }); }

    void targetHoldsExactlyTheAnnouncedBytesWhateverTheSplit()
    {
        constexpr int Size = 10000;
        // Blocks, the length of a target that exists before, bytes past the size (in the last block and after it).
        const QList<std::tuple<QList<int>, int, int>> rows = {{{Size}, 0, 0},           {{4096, 4096, 1808}, 0, 0},
                                                              {QList<int>(Size, 1), 0, 0}, {{5000, 5000}, 3 * Size, 0},
                                                              {{6000, 4000}, 0, 3000}};
        for (const auto &[split, oldLength, surplus] : rows) {
            RawRig rig;
            const QString target = rig.dir.filePath(QStringLiteral("out.bin"));
            const QByteArray content = randomBytes(Size);
            QVERIFY(!oldLength || writeFile(target, QByteArray(oldLength, 'x')));
            QVERIFY(rig.open(MainWin::Receive, target));
            ProcWin &r = rig.win();
            rig.peer->write("RCFNdata.bin\\ 10000");
            QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
            // Created or emptied when opened; the event that carried the offer wrote nothing.
            QCOMPARE(QFileInfo(target).size(), 0);
            // Each piece is taken before the next goes, so that every one arrives as a block of its own;
            // the wait skips qWaitFor's 10 ms naps, so that thousands of 1-byte blocks stay quick.
            for (qint32 length : split) {
                const qint32 at = r.BytesDone + length;
                rig.peer->write(content.mid(r.BytesDone, length) + (at == Size ? randomBytes(surplus) : ""));
                for (QDeadlineTimer deadline(5000); r.BytesDone < at && !deadline.hasExpired();)
                    QCoreApplication::processEvents();
                QCOMPARE(r.BytesDone, at);
            }
            if (surplus)
                rig.peer->write("CC" + randomBytes(surplus));
            QTest::qWait(50);

            QCOMPARE(r.BytesDone, Size);
            QCOMPARE(r.XferState, quint8(ProcWin::ControlMessages));
            QCOMPARE(contentOf(target), content);
            QCOMPARE(r.StatBox->text(), finished("9.8"));
            QCOMPARE(r.CDBut->text(), QStringLiteral("Done"));
            // Nothing goes back when the file is complete, and the connection stays.
            QCOMPARE(rig.wire, QByteArray("OKSD"));
            QCOMPARE(r.NT->State(), int(TcpControl::Connected));
        }
    }
};

QTEST_MAIN(TstSink)
#include "tst_sink.moc"
