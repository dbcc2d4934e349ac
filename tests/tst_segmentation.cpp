#include "transferrig.h"

namespace {
const QString SaveCancelled = QStringLiteral("Saving file cancelled. Connection closed.");

// Stands between a sending and a receiving window and re-cuts the stream the way networks do:
// Split sends every handshake byte as a segment of its own after a pause; Merge holds bytes and
// lets each message go only together with everything after it up to the next answer.
class Relay : public QObject
{
public:
    enum Mode { Split, Merge };

    // `toReceiver` and `toSender` mark where the messages end each way: Split cuts every byte
    // before the first mark, Merge releases only at a mark.
    Relay(Mode mode, quint16 receiverPort, QList<qint64> toReceiver, QList<qint64> toSender)
        : m_mode(mode)
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [=, this] {
            m_sender = server.nextPendingConnection();
            m_receiver.connectToHost(QHostAddress::LocalHost, receiverPort);
            m_legs = {{m_sender, &m_receiver, {}, 0, toReceiver}, {&m_receiver, m_sender, {}, 0, toSender}};
            for (QTcpSocket *socket : {m_sender, &m_receiver}) {
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                connect(socket, &QTcpSocket::readyRead, this, [this] {
                    for (Leg &leg : m_legs)
                        leg.held += leg.in->readAll();
                });
            }
            m_tick.start(2);
        });
        connect(&m_tick, &QTimer::timeout, this, [this] {
            for (Leg &leg : m_legs)
                pass(leg);
        });
    }

    QTcpServer server;
    int writes = 0;

private:
    struct Leg {
        QTcpSocket *in, *out;
        QByteArray held;
        qint64 passed;
        QList<qint64> marks;
    };

    void pass(Leg &leg)
    {
        if (leg.out->state() != QAbstractSocket::ConnectedState || leg.held.isEmpty())
            return;
        const qint64 handshake = leg.marks.first();
        qint64 count = leg.held.size();
        if (m_mode == Split && leg.passed < handshake) {
            count = 1;
        } else if (m_mode == Merge) {
            // Up to the furthest mark the held bytes reach, nothing before the first.
            count = 0;
            for (const qint64 mark : std::as_const(leg.marks))
                if (leg.passed + leg.held.size() >= mark)
                    count = mark - leg.passed;
            if (leg.passed + leg.held.size() > leg.marks.last())
                count = leg.held.size();
            if (count <= 0)
                return;
        }
        leg.out->write(leg.held.left(count));
        leg.out->flush();
        leg.held.remove(0, count);
        leg.passed += count;
        ++writes;
    }

    Mode m_mode;
    QTcpSocket *m_sender = nullptr;
    QTcpSocket m_receiver;
    QList<Leg> m_legs;
    QTimer m_tick;
};
}

class tst_Segmentation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Form::setProgramEnd([] { QFAIL("the program ended"); }); }

    void twoWindowsMoveAFileThroughARelayThatRecutsTheStream_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("every handshake byte alone") << int(Relay::Split);
        QTest::newRow("messages held and merged") << int(Relay::Merge);
    }

    void twoWindowsMoveAFileThroughARelayThatRecutsTheStream()
    {
        QFETCH(int, mode);
        QTemporaryDir dir;
        const QByteArray content = randomBytes(50000, 13);
        const QString source = dir.filePath(QStringLiteral("report.bin")), target = dir.filePath(QStringLiteral("copy.bin"));
        QVERIFY(writeFile(source, content));
        const qint64 offer = QByteArray("FNreport.bin\\ 50000").size();

        const quint16 port = freePort();
        const TransferTiming timing{.offerSettleMs = 300};
        Side receiver(MainWin::Receive, port, target, timing);
        QVERIFY(receiver.listening());
        // Split cuts everything before the file data; Merge holds "RC" until the offer joins it.
        Relay relay(Relay::Mode(mode), port, {2 + offer, 2 + offer + content.size()},
                    mode == Relay::Split ? QList<qint64>{4} : QList<qint64>{2, 4});
        Side sender(MainWin::Send, relay.server.serverPort(), source, timing);

        QTRY_VERIFY_WITH_TIMEOUT(sender.win.CDBut->text() == u"Done" && receiver.win.CDBut->text() == u"Done", 20000);
        QCOMPARE(sender.win.StatBox->text(), finished("48.8"));
        QCOMPARE(receiver.win.StatBox->text(), finished("48.8"));
        QCOMPARE(receiver.dg->shown.size(), 1);
        QCOMPARE(receiver.dg->shown.first().FileName, QStringLiteral("report.bin"));
        QCOMPARE(contentOf(target), content);
        // Split really cut the handshake into single bytes; Merge really held messages together.
        QVERIFY(mode == Relay::Split ? relay.writes > 2 + offer : relay.writes <= 5);
    }

    void rawPeerSplitsMessagesAndOffers_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<int>("settleMs");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("preset");

        const QByteArray offer = "FNcaf\xe9.bin\\ 100";
        QTest::newRow("OK split") << int(MainWin::Send) << QByteArrayList{"O", "K"} << 300 << "RC" + offer
                                  << "Sending request ..." << QString();
        QTest::newRow("SD split") << int(MainWin::Send) << QByteArrayList{"OK", "S", "D"} << 300 << "RC" + offer
                                  << finished("0.1") << QString();
        QTest::newRow("CC split") << int(MainWin::Send) << QByteArrayList{"OK", "C", "C"} << 300 << "RC" + offer
                                  << "Error ! Connection closed by reciever." << QString();
        QTest::newRow("RC split") << int(MainWin::Receive) << QByteArrayList{"R", "C"} << 300 << QByteArray("OK")
                                  << "Connected. Waiting for file ..." << QString();
        QTest::newRow("before the backslash") << int(MainWin::Receive) << QByteArrayList{"RCFNrep", "ort.bin\\ 12", "34"}
                                              << 300 << QByteArray("OKSD") << finished("1.2") << "report.bin";
        QTest::newRow("inside the name") << int(MainWin::Receive) << QByteArrayList{"RC", "FNda", "ta.bin\\ 5000"} << 300
                                         << QByteArray("OKSD") << finished("4.9") << "data.bin";
        QTest::newRow("inside the size") << int(MainWin::Receive) << QByteArrayList{"RCFNdata.bin\\ 50", "00"} << 300
                                         << QByteArray("OKSD") << finished("4.9") << "data.bin";
        QTest::newRow("Latin-1 name") << int(MainWin::Receive) << QByteArrayList{"RCFNcaf\xe9", ".bin\\ 5000"} << 300
                                      << QByteArray("OKSD") << finished("4.9") << "caf\u00e9.bin";
        QTest::newRow("UTF-8 name") << int(MainWin::Receive) << QByteArrayList{"RCFN\xd0", "\xb6.bin\\ 5000"} << 300
                                    << QByteArray("OKSD") << finished("4.9") << "\u0436.bin";
        QTest::newRow("malformed size") << int(MainWin::Receive) << QByteArrayList{"RCFNdata.bin\\ ", "many"} << 20
                                        << QByteArray("OKCC") << SaveCancelled << QString();
        QTest::newRow("no backslash") << int(MainWin::Receive) << QByteArrayList{"RCFNdata", ".bin 5000"} << 20
                                      << QByteArray("OKCC") << SaveCancelled << QString();
        QTest::newRow("size 0") << int(MainWin::Receive) << QByteArrayList{"RCFNdata.bin\\", " 0"} << 20
                                << QByteArray("OKCC") << SaveCancelled << QString();
    }

    void rawPeerSplitsMessagesAndOffers()
    {
        QFETCH(int, mode);
        QFETCH(QByteArrayList, pieces);
        QFETCH(int, settleMs);
        QFETCH(QByteArray, reply);
        QFETCH(QString, status);
        QFETCH(QString, preset);

        RawRig rig;
        const QString file = rig.dir.filePath(mode == MainWin::Send ? QStringLiteral("caf\u00e9.bin") : QStringLiteral("saved"));
        const QByteArray content = randomBytes(mode == MainWin::Send ? 100 : 5000);
        QVERIFY(mode == MainWin::Receive || writeFile(file, content));
        QVERIFY(rig.open(quint8(mode), file, {.offerSettleMs = settleMs}));
        ProcWin &win = rig.win();
        // Each piece is taken by the window before the next one goes.
        for (const QByteArray &piece : std::as_const(pieces)) {
            rig.peer->write(piece);
            QTRY_VERIFY(win.InMsg.endsWith(QString::fromLatin1(piece)) || win.XferState != ProcWin::ControlMessages);
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.wire.left(reply.size()), reply, 5000);
        if (reply.endsWith("SD")) {
            QCOMPARE(win.StatBox->text(), QStringLiteral("Recieving file ..."));
            const qint32 size = win.FileSize;
            rig.peer->write(content.left(size));
            QTRY_COMPARE(win.StatBox->text(), status);
            // Not one byte of the offer reaches the file.
            QCOMPARE(contentOf(file), content.left(size));
        }
        QTRY_COMPARE_WITH_TIMEOUT(win.StatBox->text(), status, 5000);
        QCOMPARE(rig.wire, reply + (mode == MainWin::Send && status.startsWith(u"Finished") ? content : QByteArray()));
        if (mode == MainWin::Receive)
            QCOMPARE(rig.side->dg->shown.isEmpty() ? QString() : rig.side->dg->shown.first().FileName, preset);
    }

    void restOfTheSizeArrivingWhileTheDialogIsOpenCounts()
    {
        RawRig rig;
        const QString target = rig.dir.filePath(QStringLiteral("saved"));
        QVERIFY(rig.open(MainWin::Receive, target, {.offerSettleMs = 20}));
        ProcWin &win = rig.win();
        rig.side->dg->whileOpen = [&] {
            rig.peer->write("00");
            QTRY_VERIFY(win.InMsg.endsWith(u"5000"));
        };
        rig.peer->write("RCFNdata.bin\\ 50");
        QTRY_COMPARE(rig.wire, QByteArray("OKSD"));
        QCOMPARE(win.FileSize, 5000);
        const QByteArray content = randomBytes(5000);
        rig.peer->write(content);
        QTRY_COMPARE(win.StatBox->text(), finished("4.9"));
        QCOMPARE(contentOf(target), content);

        // An offer that the late bytes spoil is refused after the dialog, and nothing is written.
        RawRig spoilt;
        const QString other = spoilt.dir.filePath(QStringLiteral("saved"));
        QVERIFY(spoilt.open(MainWin::Receive, other, {.offerSettleMs = 20}));
        spoilt.side->dg->whileOpen = [&] {
            spoilt.peer->write("\\x");
            QTRY_VERIFY(spoilt.win().InMsg.endsWith(u"\\x"));
        };
        spoilt.peer->write("RCFNdata.bin\\ 50");
        QTRY_COMPARE(spoilt.wire, QByteArray("OKCC"));
        QCOMPARE(spoilt.win().StatBox->text(), SaveCancelled);
        QVERIFY(!QFile::exists(other));
    }
};

QTEST_MAIN(tst_Segmentation)
#include "tst_segmentation.moc"
