// Times DrawProcess over whole 0 to 100 % runs: captions and bar painting, no screen repaint.
// Prints nanoseconds per call; it asserts nothing.

#include "app/mainwin.h"
#include "app/procwin.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    // Runs unattended: the window is never shown, so no display is needed.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();

    MainWin main;
    main.XferMode = MainWin::Send;
    main.PeerIP = QStringLiteral("127.0.0.1");
    ProcWin win(main, main, port);
    win.Load();
    const QImage empty = win.ProcBar->Picture();
    if (empty.isNull())
        std::fprintf(stderr, "warning: the empty bar did not load; painting is not measured\n");

    // One chunk per percent: 101 calls from 0 % to 100 %.
    constexpr qint32 Steps = 100;
    constexpr int Runs = 2000;
    win.transfer().FileSize = Steps * 4096;
    std::vector<double> perCall;
    perCall.reserve(Runs);
    QElapsedTimer clock;
    for (int run = 0; run < Runs; ++run) {
        win.ProcBar->setPicture(empty);
        win.BarDrawn = 0;
        clock.start();
        for (qint32 i = 0; i <= Steps; ++i) {
            win.transfer().BytesDone = i * 4096;
            win.DrawProcess();
        }
        perCall.push_back(double(clock.nsecsElapsed()) / (Steps + 1));
    }

    std::sort(perCall.begin(), perCall.end());
    std::printf("DrawProcess, %d runs of %d calls (0 to 100 %% in 1 %% steps):\n", Runs, Steps + 1);
    std::printf("  median %.0f ns per call, best run %.0f ns, slowest run %.0f ns\n", perCall[perCall.size() / 2],
                perCall.front(), perCall.back());
    return 0;
}
