// The sender's pace: a 4 MiB transfer between two instances over loopback. The receiver runs in
// a process of its own, so the CPU time measured here is the sender's alone.
#include "pickdialog.h"
#include "app/mainwin.h"
#include "transfer/filedialogcontrol.h"
#include "transfer/procwin.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {
constexpr qint32 Size = 4 * 1024 * 1024;
// One 4096-byte chunk per 10 ms tick.
constexpr double CeilingBytesPerSecond = 4096.0 / 0.010;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int receive(int argc, char **argv, quint16 port, const QString &target, int readyPipe)
{
    QApplication app(argc, argv);
    Form::setProgramEnd([] {});
    MainWin main;
    main.XferMode = MainWin::Receive;
    ProcWin window(main, main, port, std::make_shared<PickDialog>(target));
    window.Show();
    QTimer watch;
    bool told = false;
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        if (!told && window.NT->State() == TcpControl::Listening) {
            told = write(readyPipe, "r", 1) == 1;
            watch.setInterval(20);
        }
        if (window.CDBut->text() == QLatin1String("Done"))
            QCoreApplication::exit(0);
    });
    watch.start(1);
    // exit, not quit: quit closes the windows, and a closed transfer window ends the transfer.
    QTimer::singleShot(120000, &app, [] { QCoreApplication::exit(1); });
    app.exec();
    if (window.BytesDone != Size)
        std::fprintf(stderr, "bench_pace: the receiver ended on \"%s\"\n", qPrintable(window.StatBox->text()));
    return window.BytesDone == Size ? 0 : 1;
}
}

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.bin"));
    const QString target = dir.filePath(QStringLiteral("target.bin"));
    QByteArray content(Size, '\0');
    QRandomGenerator gen{1};
    for (char &b : content)
        b = char(gen.generate());
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != Size)
        return 1;
    file.close();
    quint16 port;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
    }

    int ready[2];
    if (pipe(ready) != 0)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        _exit(receive(argc, argv, port, target, ready[1]));
    }
    close(ready[1]);
    char started;
    if (read(ready[0], &started, 1) != 1) {
        std::fprintf(stderr, "bench_pace: the receiver did not start\n");
        return 1;
    }

    QApplication app(argc, argv);
    Form::setProgramEnd([] {});
    MainWin main;
    main.XferMode = MainWin::Send;
    main.PeerIP = QStringLiteral("127.0.0.1");
    ProcWin sender(main, main, port, std::make_shared<PickDialog>(source));
    sender.Load();
    QElapsedTimer wall;
    double cpuAtStart = 0, cpu = 0;
    qint64 nanoseconds = 0;
    // The clock runs from the go-ahead, when the pump starts, to the tick that hands over the last byte.
    QObject::connect(sender.NT, &TcpControl::DataArrival, &app, [&] {
        if (!wall.isValid() && sender.XferState == ProcWin::ReadyForChunk) {
            wall.start();
            cpuAtStart = cpuSeconds();
        }
    });
    QObject::connect(sender.STM, &QTimer::timeout, &app, [&] {
        if (sender.BytesDone == Size && nanoseconds == 0) {
            nanoseconds = wall.nsecsElapsed();
            cpu = cpuSeconds() - cpuAtStart;
        }
    });
    // The last chunks still have to leave this process: run until the receiver is done.
    int status = 0;
    QTimer reap;
    QObject::connect(&reap, &QTimer::timeout, &app, [&] {
        if (waitpid(child, &status, WNOHANG) == child)
            QCoreApplication::exit(0);
    });
    reap.start(50);
    sender.Show();
    app.exec();
    QFile received(target);
    const bool identical = received.open(QIODevice::ReadOnly) && received.readAll() == content;
    if (nanoseconds == 0) {
        std::fprintf(stderr, "bench_pace: the transfer did not finish (%s)\n", qPrintable(sender.StatBox->text()));
        return 1;
    }
    const double seconds = double(nanoseconds) / 1e9;
    const double rate = Size / seconds;
    std::printf("bench_pace: %d bytes (4 MiB) sent over loopback in %.3f s\n", Size, seconds);
    std::printf("  sender rate:      %.1f KB/s (KB = 1000 bytes; %.1f KiB/s)\n", rate / 1000, rate / 1024);
    std::printf("  design ceiling:   %.1f KB/s (4096 bytes per 10 ms tick)\n", CeilingBytesPerSecond / 1000);
    std::printf("  ratio to ceiling: %.3f (goal >= 0.97)\n", rate / CeilingBytesPerSecond);
    std::printf("  sender CPU time:  %.3f s = %.2f %% of wall time (goal < 5 %%)\n", cpu, 100 * cpu / seconds);
    std::printf("  target identical: %s, receiver exit status %d\n", identical ? "yes" : "NO",
                WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
    return identical ? 0 : 1;
}
