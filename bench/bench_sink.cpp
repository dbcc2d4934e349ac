// The receiving sink against a peer that sends as fast as loopback takes it, compared with a
// plain socket-to-file copy of the same size in the same run.
#include "pickdialog.h"
#include "app/mainwin.h"
#include "transfer/filedialogcontrol.h"
#include "transfer/procwin.h"

#include <QApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace {
using Clock = std::chrono::steady_clock;
constexpr qint64 MiB = 1024 * 1024;
// A prime length, so a block written at the wrong place cannot match by chance.
constexpr qint64 PatternSize = 65521;
// The sink's socket takes at most this much per read, so the plain copy reads as much at once.
constexpr size_t CopyBuffer = 256 * 1024;

// The pattern twice over, so any offset can be sent or checked in one piece.
QByteArray makePattern()
{
    QByteArray twice(2 * PatternSize, '\0');
    QRandomGenerator gen{7};
    for (qint64 i = 0; i < PatternSize; ++i)
        twice[i] = twice[i + PatternSize] = char(gen.generate());
    return twice;
}
const QByteArray Pattern = makePattern();

bool sendAll(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        length -= size_t(sent);
    }
    return true;
}

bool expect(int fd, const char *text)
{
    char got[8] = {};
    const size_t length = std::strlen(text);
    for (size_t at = 0; at < length;) {
        const ssize_t n = ::recv(fd, got + at, length - at, 0);
        if (n <= 0)
            return false;
        at += size_t(n);
    }
    return std::memcmp(got, text, length) == 0;
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The clock starts with the first byte of the file.
void stream(int fd, qint64 size, std::atomic<Clock::rep> &start)
{
    start = Clock::now().time_since_epoch().count();
    for (qint64 done = 0; done < size;) {
        const qint64 offset = done % PatternSize;
        const size_t piece = size_t(qMin(PatternSize, size - done));
        if (!sendAll(fd, Pattern.constData() + offset, piece))
            return;
        done += qint64(piece);
    }
}

bool holdsPattern(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    QByteArray block(int(MiB), '\0');
    for (qint64 at = 0; at < size;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got <= 0)
            return false;
        for (qint64 i = 0; i < got;) {
            const qint64 offset = (at + i) % PatternSize;
            const qint64 run = qMin(got - i, PatternSize);
            if (std::memcmp(block.constData() + i, Pattern.constData() + offset, size_t(run)) != 0)
                return false;
            i += run;
        }
        at += got;
    }
    return true;
}

double seconds(Clock::rep from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - Clock::time_point(Clock::duration(from))).count();
}

double peakMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// MB/s through a receiving transfer window, or a negative figure when the file did not arrive whole.
double throughSink(QApplication &app, const QString &target, qint64 size)
{
    quint16 port;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
    }
    MainWin main;
    main.XferMode = MainWin::Receive;
    ProcWin receiver(main, main, port, std::make_shared<PickDialog>(target));
    receiver.Show();
    while (receiver.NT->State() != TcpControl::Listening)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    std::atomic<Clock::rep> start{0};
    std::atomic<int> peerFd{-1};
    std::thread peer([&] {
        const int fd = connectTo(port);
        peerFd = fd;
        const QByteArray offer = "FNbig.bin\\ " + QByteArray::number(size);
        if (fd >= 0 && expect(fd, "OK") && sendAll(fd, "RC", 2) && sendAll(fd, offer.constData(), size_t(offer.size()))
            && expect(fd, "SD"))
            stream(fd, size, start);
    });
    Clock::time_point end;
    QObject::connect(receiver.NT, &TcpControl::DataArrival, &app, [&] {
        if (receiver.BytesDone == size) {
            end = Clock::now();
            QCoreApplication::exit(0);
        }
    });
    // A failed transfer ends with "Done" before the size is reached.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        if (receiver.CDBut->text() == QLatin1String("Done") && receiver.BytesDone != size)
            QCoreApplication::exit(0);
    });
    watch.start(100);
    // exit, not quit: quit would close the window, and with it the transfer.
    app.exec();
    peer.join();
    if (peerFd >= 0)
        ::close(peerFd);
    if (receiver.BytesDone != size || !holdsPattern(target, size))
        return -1;
    QFile::remove(target);
    return double(size) / seconds(start, end) / 1e6;
}

double plainCopy(const QString &target, qint64 size)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    std::atomic<Clock::rep> start{0};
    std::thread peer([&] {
        const int fd = connectTo(ntohs(address.sin_port));
        if (fd >= 0) {
            stream(fd, size, start);
            ::close(fd);
        }
    });
    const int in = ::accept(listener, nullptr, nullptr);
    const int out = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::unique_ptr<char[]> buffer(new char[CopyBuffer]);
    qint64 done = 0;
    while (done < size) {
        const ssize_t got = ::recv(in, buffer.get(), CopyBuffer, 0);
        if (got <= 0 || ::write(out, buffer.get(), size_t(got)) != got)
            break;
        done += got;
    }
    const Clock::time_point end = Clock::now();
    peer.join();
    ::close(out);
    ::close(in);
    ::close(listener);
    if (done != size || !holdsPattern(target, size))
        return -1;
    QFile::remove(target);
    return double(size) / seconds(start, end) / 1e6;
}
}

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Form::setProgramEnd([] {});
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("target.bin"));

    std::printf("bench_sink (MB = 1,000,000 bytes; memory in MiB)\n");
    const double small = throughSink(app, target, 128 * MiB);
    const double peakSmall = peakMiB();
    std::printf("  sink, 128 MiB:        %8.1f MB/s   peak memory so far %.1f MiB\n", small, peakSmall);
    const double plain = plainCopy(target, 1024 * MiB);
    std::printf("  plain copy, 1 GiB:    %8.1f MB/s   (blocking recv of 256 KiB, write)\n", plain);
    const double sink = throughSink(app, target, 1024 * MiB);
    const double peak = peakMiB();
    std::printf("  sink, 1 GiB:          %8.1f MB/s   peak memory %.1f MiB\n", sink, peak);
    std::printf("  ratio sink / plain:   %8.3f (goal >= 0.5)\n", sink / plain);
    std::printf("  peak memory growth from 128 MiB to 1 GiB: %.1f MiB (goal: none; peak < 64 MiB)\n",
                peak - peakSmall);
    if (small < 0 || plain < 0 || sink < 0) {
        std::fprintf(stderr, "bench_sink: a file did not arrive whole\n");
        return 1;
    }
    return 0;
}
