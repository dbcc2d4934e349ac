// Times the hand-over: from the sender's connection to the receiver's save dialog opening, between
// two windows, private against in the clear, in turns over the same relay in the same run. For the
// clear turns the relay keeps the sender's probe from the receiver and the sender gives up waiting
// for "TL" at once, so both turns cross the same path. Arguments: [--runs N]. It asserts nothing.
#include "benchpeer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

using namespace bench;

namespace {

// Passes bytes both ways; with `dropProbe`, the sender's first 66 bytes go nowhere.
struct Relay : QObject {
    QTcpServer server;
    std::unique_ptr<QTcpSocket> fromSender;
    QTcpSocket toReceiver;
    qint64 dropped = 0;

    Relay(quint16 receiverPort, bool dropProbe)
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [=, this] {
            fromSender.reset(server.nextPendingConnection());
            fromSender->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            toReceiver.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            toReceiver.connectToHost(QHostAddress::LocalHost, receiverPort);
            connect(fromSender.get(), &QTcpSocket::readyRead, this, [=, this] {
                QByteArray bytes = fromSender->readAll();
                const qint64 drop = dropProbe ? qMin<qint64>(66 - dropped, bytes.size()) : 0;
                dropped += drop;
                toReceiver.write(bytes.sliced(drop));
            });
            connect(&toReceiver, &QTcpSocket::readyRead, this, [this] { fromSender->write(toReceiver.readAll()); });
        });
    }
};

// Milliseconds from the sender's connection to the receiver's dialog; negative when it never opened.
double handOver(bool privately, const QString &source, const QString &target)
{
    const quint16 port = freePort();
    MainWin receiverMain, senderMain;
    receiverMain.XferMode = MainWin::Receive;
    senderMain.XferMode = MainWin::Send;
    senderMain.PeerIP = QStringLiteral("127.0.0.1");
    QElapsedTimer clock;
    double elapsed = -1;
    // The person at the receiver's dialog answers at once; the clock stops when it opens.
    auto saveDialog = std::make_shared<ScriptedDialog>(), openDialog = std::make_shared<ScriptedDialog>();
    saveDialog->always = target, openDialog->always = source;
    saveDialog->whileOpen = [&] { elapsed = double(clock.nsecsElapsed()) / 1e6; };
    ProcWin receiver(receiverMain, receiverMain, port, saveDialog);
    receiver.Show();
    Relay relay(port, !privately);
    TransferTiming timing;
    if (!privately)
        timing.clearFallbackMs = 0;
    ProcWin sender(senderMain, senderMain, relay.server.serverPort(), openDialog, timing);
    sender.Show();
    QObject::connect(sender.transfer().NT, &TcpControl::ConnectEvent, &sender, [&] { clock.start(); });
    for (QElapsedTimer limit; limit.start(), elapsed < 0;) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (receiver.CDBut->text() == u"Done" || sender.CDBut->text() == u"Done")
            break;
    }
    receiver.CDBut_Click();
    sender.CDBut_Click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return elapsed;
}

}

int main(int argc, char **argv)
{
    prepareEnvironment(argc, argv);
    const Options options = parseOptions(argc, argv, 0, 20);
    QApplication app(argc, argv);
    Form::setProgramEnd([] {});
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("notes.txt")), target = dir.filePath(QStringLiteral("copy"));
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(1000, 'x')) != 1000)
        return 1;
    file.close();
    std::printf("bench_handover: connection to the receiver's save dialog, two windows over a relay on loopback\n");
    std::vector<double> clear, secret;
    for (int run = 0; run < options.runs; ++run) {
        const double c = handOver(false, source, target), p = handOver(true, source, target);
        if (c < 0 || p < 0) {
            std::printf("  run %d: the dialog never opened\n", run + 1);
            return 1;
        }
        clear.push_back(c), secret.push_back(p);
        std::printf("  run %d: clear %6.1f ms  private %6.1f ms\n", run + 1, c, p);
    }
    std::printf("  medians: clear %.1f ms, private %.1f ms, private costs %.1f ms more (goal: <= 50)\n", median(clear),
                median(secret), median(secret) - median(clear));
    return 0;
}
