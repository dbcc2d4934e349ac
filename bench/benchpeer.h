#pragma once

// What the timing programs share. Every transfer runs between two processes started for it, so each
// side's CPU time, page faults and memory are its own. A window side is the timing program started
// afresh (exec) in a role, as the user starts the program: a fork would inherit malloc thresholds
// that the benchmark's own large buffers had already raised. A side is either a real
// transfer window or its plain counterpart: a reader that speaks the receiver's part of the
// handshake and then copies the socket into a file (or nowhere), and a sender that offers a file
// and hands it to the socket with sendfile(). Each side reports one Report through a pipe.
#include "freeport.h"
#include "scripteddialog.h"
#include "app/mainwin.h"
#include "app/procwin.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr qint64 MiB = 1024 * 1024;
// The sink's socket takes at most this much per read, so the plain reader reads as much at once.
constexpr size_t CopyBuffer = 256 * 1024;

struct Options {
    qint64 size;
    int runs;
    std::vector<std::string> words; // what is left: a mode
};

// --size MiB and --runs N, for a quick look (the old pump moves 400 KB/s) or a steadier median.
inline Options parseOptions(int argc, char **argv, qint64 size, int runs)
{
    Options options{size, runs, {}};
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--size" && i + 1 < argc)
            options.size = std::atoll(argv[++i]) * MiB;
        else if (word == "--runs" && i + 1 < argc)
            options.runs = std::max(1, std::atoi(argv[++i]));
        else
            options.words.push_back(word);
    }
    return options;
}

inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// What a side has used so far: CPU seconds and minor page faults.
struct Usage {
    double cpu = 0;
    double faults = 0;
};

inline Usage usage()
{
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    return {cpuSeconds(), double(self.ru_minflt)};
}

// A line of /proc/PID/status in MiB (-1 once the process is gone): VmRSS now, VmHWM the peak
// since the last resetPeak().
inline double statusMiB(pid_t pid, const char *key)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *status = std::fopen(path.c_str(), "r");
    char line[256];
    double kib = -1;
    const size_t length = std::strlen(key);
    while (status && std::fgets(line, sizeof line, status))
        if (std::strncmp(line, key, length) == 0 && line[length] == ':')
            kib = std::atof(line + length + 1);
    if (status)
        std::fclose(status);
    return kib / 1024;
}

inline void resetPeak()
{
    if (FILE *refs = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", refs);
        std::fclose(refs);
    }
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Sockets

inline bool sendAll(int fd, const char *data, size_t length)
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

inline bool readAll(int fd, void *data, size_t length)
{
    for (size_t at = 0; at < length;) {
        const ssize_t n = ::read(fd, static_cast<char *>(data) + at, length - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += size_t(n);
    }
    return true;
}

inline sockaddr_in address(const char *ip, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A listening socket on ip:port; port 0 picks one, which *port then holds.
inline int listenOn(const char *ip, quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = address(ip, *port);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}


// Files

// A file of pseudo-random bytes, flushed to disk so that later writeback does not land in a run;
// it stays in the page cache.
inline bool writeRandomFile(const QString &path, qint64 size, quint64 seed)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<quint64> block(MiB / 8);
    quint64 x = seed | 1;
    bool ok = fd >= 0;
    for (qint64 done = 0; ok && done < size;) {
        for (quint64 &word : block) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            word = x;
        }
        const size_t piece = size_t(std::min<qint64>(MiB, size - done));
        ok = ::write(fd, block.data(), piece) == ssize_t(piece);
        done += qint64(piece);
    }
    ok = ok && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

inline bool sameContent(const QString &a, const QString &b)
{
    QFile one(a), two(b);
    if (!one.open(QIODevice::ReadOnly) || !two.open(QIODevice::ReadOnly) || one.size() != two.size())
        return false;
    QByteArray x(int(4 * MiB), '\0'), y(int(4 * MiB), '\0');
    for (;;) {
        const qint64 n = one.read(x.data(), x.size());
        if (n != two.read(y.data(), y.size()) || n < 0 || std::memcmp(x.constData(), y.constData(), size_t(n)) != 0)
            return false;
        if (n == 0)
            return true;
    }
}

// Sides

// In a side's process: where its Report goes and what it waits on to end; and whether this process
// was started for a window's role.
inline int ReportFd = -1, ReleaseFd = -1;
inline bool InRole = false;

struct Report {
    bool ok = false;     // this side saw the whole file through
    qint64 bytes = 0;    // file bytes this side handed over or took
    double seconds = 0;  // from "SD" to the end, on this side's clock
    double cpu = 0;      // CPU seconds of this process over the same time
    double faults = 0;   // minor page faults of this process over the same time
    double idleMiB = -1; // resident memory once the window is shown
    double peakMiB = -1; // the highest resident memory from then on
    double maxRssMiB = 0;
    double probeLateMs = -1; // the latest a 20 ms timer fired during the transfer
    bool privately = false;  // the built program said it was private
    char status[120] = {};
};

inline Report failed(const char *why)
{
    Report report;
    std::snprintf(report.status, sizeof report.status, "%s", why);
    return report;
}

inline void finish(Report &report, Clock::time_point start, Usage from)
{
    report.seconds = seconds(start, Clock::now());
    const Usage now = usage();
    report.cpu = now.cpu - from.cpu;
    report.faults = now.faults - from.faults;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    report.maxRssMiB = double(usage.ru_maxrss) / 1024;
}

inline QByteArray offerFor(const QString &source, qint64 size)
{
    return "FN" + QFile::encodeName(QFileInfo(source).fileName()) + "\\ " + QByteArray::number(size);
}

// The receiver's part of the handshake by hand, then socket to file (or nowhere) until `size`.
inline Report plainReader(quint16 port, qint64 size, const QString &target, const std::function<void()> &ready)
{
    const int listener = listenOn("0.0.0.0", &port);
    if (listener < 0)
        return failed("plain reader: the port cannot be had");
    ready();
    const int in = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    // "RC" and the offer may come in any pieces; the offer ends with the size, which we know.
    const QByteArray end = "\\ " + QByteArray::number(size);
    QByteArray control;
    char c;
    bool ok = sendAll(in, "OK", 2);
    while (ok && !(control.startsWith("RC") && control.endsWith(end)) && control.size() < 70000) {
        ok = ::recv(in, &c, 1, 0) == 1;
        control += c;
        // A Veltrane sender first offers privacy ("TL" and 64 hex digits), which this reader ignores.
        if (control.size() == 66 && control.startsWith("TL"))
            control.clear();
    }
    if (!ok || !control.endsWith(end) || !sendAll(in, "SD", 2))
        return failed("plain reader: no offer");
    const Clock::time_point start = Clock::now();
    const Usage cpuStart = usage();
    const int out = target.isEmpty() ? -1
                                     : ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::unique_ptr<char[]> buffer(new char[CopyBuffer]);
    Report report;
    while (report.bytes < size) {
        const ssize_t got = ::recv(in, buffer.get(), std::min<qint64>(CopyBuffer, size - report.bytes), 0);
        if (got <= 0 || (out >= 0 && ::write(out, buffer.get(), size_t(got)) != got))
            break;
        report.bytes += got;
    }
    finish(report, start, cpuStart);
    report.ok = report.bytes == size;
    std::snprintf(report.status, sizeof report.status, "plain reader took %lld bytes", qlonglong(report.bytes));
    if (out >= 0)
        ::close(out);
    ::close(in);
    return report;
}

// The sender's part of the handshake by hand, then the file into the socket with sendfile().
inline Report plainSender(const char *ip, quint16 port, const QString &source, qint64 size)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in peer = address(ip, port);
    const int file = ::open(QFile::encodeName(source).constData(), O_RDONLY);
    char answer[2];
    const QByteArray hello = "RC" + offerFor(source, size);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0 || !readAll(fd, answer, 2)
        || !sendAll(fd, hello.constData(), size_t(hello.size())) || !readAll(fd, answer, 2)
        || std::memcmp(answer, "SD", 2) != 0 || file < 0)
        return failed("plain sender: no go-ahead");
    const Clock::time_point start = Clock::now();
    const Usage cpuStart = usage();
    Report report;
    off_t offset = 0;
    while (offset < size) {
        const ssize_t sent = ::sendfile(fd, file, &offset, size_t(size - offset));
        if (sent <= 0 && errno != EINTR)
            break;
    }
    report.bytes = offset;
    finish(report, start, cpuStart);
    report.ok = report.bytes == size;
    std::snprintf(report.status, sizeof report.status, "plain sender handed over %lld bytes", qlonglong(offset));
    ::close(file);
    // The socket stays open, as a window's does, until the process ends.
    return report;
}

// A real transfer window, sending `path` to peer:port or receiving into it on port.
inline Report windowSide(quint8 mode, const QString &peer, quint16 port, const QString &path,
                         const std::function<void()> &ready)
{
    // In a child forked for the side, the program starts afresh in its role and reports from there.
    if (ReportFd >= 0 && !InRole) {
        std::string words[] = {"--window-side", std::to_string(mode), peer.toStdString(), std::to_string(port),
                                     QFile::encodeName(path).toStdString(), std::to_string(ReportFd),
                                     std::to_string(ReleaseFd)};
        char self[] = "bench";
        char *argv[] = {self, words[0].data(), words[1].data(), words[2].data(), words[3].data(),
                        words[4].data(), words[5].data(), words[6].data(), nullptr};
        for (int fd : {ReportFd, ReleaseFd})
            ::fcntl(fd, F_SETFD, 0);
        ::execv("/proc/self/exe", argv);
        return failed("the window's process cannot start");
    }
    int argc = 1;
    char name[] = "bench";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    Form::setProgramEnd([] {});
    MainWin main;
    main.XferMode = mode;
    main.PeerIP = peer;
    Clock::time_point start{};
    Usage cpuStart{};
    bool started = false, ended = false;
    const auto markStart = [&] {
        started = true;
        start = Clock::now();
        cpuStart = usage();
    };
    // The person at the dialog always picks `path`; at the save dialog they note the moment, since
    // "SD" goes out right after the answer.
    auto dialog = std::make_shared<ScriptedDialog>();
    dialog->always = path;
    if (mode == MainWin::Receive)
        dialog->whileOpen = markStart;
    ProcWin window(main, main, port, dialog);
    window.Show();
    Report report;
    // The sender's clock starts with the first bytes it hands over.
    if (mode == MainWin::Send)
        QObject::connect(&window.transfer(), &Transfer::progressed, &app, [&](qint64 done) {
            if (!started && done > 0)
                markStart();
        });
    Clock::time_point lastProbe{};
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, &app, [&] {
        const Clock::time_point now = Clock::now();
        if (started && !ended && lastProbe != Clock::time_point{})
            report.probeLateMs = std::max(report.probeLateMs, seconds(lastProbe, now) * 1000 - 20);
        lastProbe = now;
    });
    probe.start(20);
    // The end shows as "Done" on the button, "Finished." in the status line when it went well.
    bool told = false;
    QTimer watch;
    watch.setTimerType(Qt::PreciseTimer);
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        if (!told && (mode == MainWin::Send || window.transfer().NT->State() == TcpControl::Listening)) {
            told = true;
            report.idleMiB = statusMiB(getpid(), "VmRSS");
            resetPeak();
            ready();
        }
        if (window.CDBut->text() == QLatin1String("Done")) {
            ended = true;
            // exit, not quit: quit would close the window, and with it the transfer.
            QCoreApplication::exit(0);
        }
    });
    watch.start(5);
    app.exec();
    if (!started)
        start = Clock::now(), cpuStart = usage();
    finish(report, start, cpuStart);
    report.peakMiB = statusMiB(getpid(), "VmHWM");
    report.bytes = window.transfer().BytesDone;
    report.ok = window.StatBox->text().startsWith(QLatin1String("Finished.")) && report.bytes == window.transfer().FileSize;
    std::snprintf(report.status, sizeof report.status, "%s window: %s", mode == MainWin::Send ? "sending" : "receiving",
                  qPrintable(window.StatBox->text()));
    return report;
}

// The built program

// A running process's CPU seconds and minor faults so far, from /proc/PID/stat.
inline Usage usageOf(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *stat = std::fopen(path.c_str(), "r");
    char line[1024] = {};
    const bool read = stat && std::fgets(line, sizeof line, stat);
    if (stat)
        std::fclose(stat);
    const char *fields = read ? std::strrchr(line, ')') : nullptr;
    unsigned long minflt = 0, utime = 0, stime = 0;
    if (!fields || std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %lu %*u %*u %*u %lu %lu", &minflt, &utime, &stime) != 3)
        return {};
    return {double(utime + stime) / double(sysconf(_SC_CLK_TCK)), double(minflt)};
}

// Whether something listens on the program's port in this process's network namespace.
inline bool portListening(quint16 port)
{
    char needle[16];
    std::snprintf(needle, sizeof needle, ":%04X ", port);
    for (const char *table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        FILE *file = std::fopen(table, "r");
        char line[512];
        bool found = false;
        while (file && std::fgets(line, sizeof line, file))
            found = found || (std::strstr(line, needle) && std::strstr(line, " 0A "));
        if (file)
            std::fclose(file);
        if (found)
            return true;
    }
    return false;
}

constexpr quint16 ProgramPort = 1001;

// A command as the user starts it (the built program: `veltrane receive ...`, `veltrane send
// ...`; or a peer such as scp), with no display and its stderr in `log`, watched from outside.
// A receiver is ready once it listens on the program's port. Its clock, CPU seconds and faults run
// from the moment `watched` (what is being received) appears, so its start-up and handshake are not
// counted (a folder counts once it holds something, as a peer's temporary file), until it says
// "Finished.", as a window's clock stops at its "Finished.", or else until it exits; its resident
// memory is sampled every 5 ms from then on.
inline Report commandSide(const std::vector<std::string> &words, bool receiving, const QString &watched, qint64 bytes,
                          const QString &log, const std::function<void()> &ready)
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        std::vector<char *> argv;
        for (const std::string &word : words)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        const int null = ::open("/dev/null", O_RDWR);
        const int err = ::open(QFile::encodeName(log).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(null, 0), ::dup2(null, 1), ::dup2(err, 2);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    if (!receiving)
        ready();
    bool told = !receiving, started = false, finished = false;
    Clock::time_point start = Clock::now(), end{};
    Usage atStart, atEnd;
    Report report;
    int status = -1;
    rusage total{};
    QFile said(log);
    while (wait4(pid, &status, WNOHANG, &total) == 0) {
        if (!told && portListening(ProgramPort)) {
            told = true;
            ready();
        }
        if (!started && QFileInfo::exists(watched) && (!QFileInfo(watched).isDir() || !QDir(watched, {}, QDir::NoSort, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty())) {
            started = true;
            start = Clock::now();
            atStart = usageOf(pid);
            report.idleMiB = statusMiB(pid, "VmRSS");
        }
        if (started && !finished) {
            report.peakMiB = std::max(report.peakMiB, statusMiB(pid, "VmRSS"));
            if (said.size() > 0 && (said.isOpen() || said.open(QIODevice::ReadOnly)) && said.readAll().contains("Finished.")) {
                finished = true;
                end = Clock::now();
                atEnd = usageOf(pid);
            }
        }
        ::usleep(5000);
    }
    if (!finished) {
        end = Clock::now();
        atEnd = {double(total.ru_utime.tv_sec + total.ru_stime.tv_sec)
                     + double(total.ru_utime.tv_usec + total.ru_stime.tv_usec) / 1e6,
                 double(total.ru_minflt)};
    }
    report.seconds = seconds(start, end);
    report.cpu = atEnd.cpu - atStart.cpu;
    report.faults = atEnd.faults - atStart.faults;
    report.maxRssMiB = double(total.ru_maxrss) / 1024;
    report.ok = started && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    report.bytes = report.ok ? bytes : 0;
    said.close();
    const QByteArray text = said.open(QIODevice::ReadOnly) ? said.readAll() : QByteArray();
    report.privately = text.contains("Private. Code");
    const QByteArray last = text.trimmed().split('\n').last();
    std::snprintf(report.status, sizeof report.status, "%s exited %d: %s", words[0].c_str(), status, last.constData());
    if (!told)
        ready();
    return report;
}

#ifdef VELTRANE_PROGRAM
// `veltrane receive --yes --into FOLDER`: what arrives is `name` in FOLDER.
inline Report programReceiver(const QString &folder, const QString &name, qint64 bytes, const std::function<void()> &ready)
{
    return commandSide({VELTRANE_PROGRAM, "receive", "--yes", "--into", QFile::encodeName(folder).toStdString()}, true,
                       folder + QLatin1Char('/') + name, bytes, folder + QStringLiteral("/../receiver.log"), ready);
}

// `veltrane send --to IP [--private] PATH`, watching where it arrives.
inline Report programSender(const char *ip, bool privately, const QString &path, const QString &arrives, qint64 bytes)
{
    std::vector<std::string> words{VELTRANE_PROGRAM, "send", "--to", ip};
    if (privately)
        words.push_back("--private");
    words.push_back(QFile::encodeName(path).toStdString());
    return commandSide(words, false, arrives, bytes, QFileInfo(path).absolutePath() + QStringLiteral("/sender.log"),
                       [] {});
}
#endif

// Network namespaces of the benchmark's own, gone again at exit, also when interrupted: one with
// just its loopback, where the program's port is free, or two joined by a veth pair with a
// 1 Gbit/s tbf qdisc each way. Needs root and iproute2.
struct Namespaces {
    inline static std::string a, b;

    static void remove()
    {
        for (const std::string &name : {a, b})
            if (!name.empty())
                std::system(("ip netns del " + name + " 2>/dev/null").c_str());
        a.clear(), b.clear();
    }

    static bool run(const std::vector<std::string> &steps)
    {
        std::atexit(remove);
        signal(SIGINT, [](int) { remove(), _exit(130); });
        signal(SIGTERM, [](int) { remove(), _exit(130); });
        for (const std::string &step : steps)
            if (std::system(step.c_str()) != 0) {
                std::printf("skipped: \"%s\" failed (it needs root and iproute2)\n", step.c_str());
                remove();
                return false;
            }
        return true;
    }

    static bool loopback()
    {
        a = "vbench" + std::to_string(getpid()) + "l";
        return run({"ip netns add " + a, "ip -n " + a + " link set lo up"});
    }

    static bool link()
    {
        const std::string id = std::to_string(getpid());
        a = "vbench" + id + "a", b = "vbench" + id + "b";
        const std::string vethA = "vb" + id + "a", vethB = "vb" + id + "b";
        const std::string tbf = " root tbf rate 1gbit burst 256kb latency 10ms";
        return run({
            "ip netns add " + a,
            "ip netns add " + b,
            "ip link add " + vethA + " type veth peer name " + vethB,
            "ip link set " + vethA + " netns " + a,
            "ip link set " + vethB + " netns " + b,
            "ip -n " + a + " addr add 10.231.0.1/24 dev " + vethA,
            "ip -n " + b + " addr add 10.231.0.2/24 dev " + vethB,
            "ip -n " + a + " link set lo up",
            "ip -n " + b + " link set lo up",
            "ip -n " + a + " link set " + vethA + " up",
            "ip -n " + b + " link set " + vethB + " up",
            "tc -n " + a + " qdisc add dev " + vethA + tbf,
            "tc -n " + b + " qdisc add dev " + vethB + tbf,
        });
    }
};

// Processes

using Side = std::function<Report(const std::function<void()> &ready)>;

struct Pair {
    Report receiver, sender;
    bool ok() const { return receiver.ok && sender.ok; }
};

// Runs `side` here, writing 'r' to ReportFd when it is ready (or 'x' if it ends first), then its
// Report, then waits for ReleaseFd to close.
[[noreturn]] inline void serve(const Side &side)
{
    bool told = false;
    const Report report = side([&] { told = ::write(ReportFd, "r", 1) == 1; });
    if (!told && ::write(ReportFd, "x", 1) != 1)
        _exit(1);
    if (::write(ReportFd, &report, sizeof report) != ssize_t(sizeof report))
        _exit(1);
    char c;
    while (::read(ReleaseFd, &c, 1) > 0) {
    }
    _exit(0);
}

// Runs `side` in a child, in network namespace `netns` if one is named; the child writes 'r' when
// ready (or 'x' if it ends first), then its Report, then waits for `release` to close.
inline pid_t spawn(const Side &side, const char *netns, int timeoutSeconds, int *reportFd, const int release[2])
{
    int channel[2];
    if (pipe(channel) != 0)
        return -1;
    const pid_t child = fork();
    if (child != 0) {
        ::close(channel[1]);
        *reportFd = channel[0];
        return child;
    }
    ::close(channel[0]);
    ::close(release[1]);
    // The parent's clean-up on an interrupt is the parent's alone.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    // Outlives an exec, as the namespace does.
    alarm(unsigned(timeoutSeconds));
    ReportFd = channel[1];
    ReleaseFd = release[0];
    const int ns = netns ? ::open((std::string("/var/run/netns/") + netns).c_str(), O_RDONLY) : -1;
    if (netns && (ns < 0 || setns(ns, CLONE_NEWNET) != 0))
        serve([](const std::function<void()> &) { return failed("cannot enter the network namespace"); });
    serve(side);
}

inline Report collect(int fd, pid_t child, const char *who)
{
    Report report;
    if (!readAll(fd, &report, sizeof report)) {
        ::kill(child, SIGKILL);
        report = failed(who);
    }
    ::close(fd);
    return report;
}

// One transfer: the receiving side is started and ready before the sending side starts.
inline Pair runPair(const Side &receiver, const Side &sender, qint64 size, const char *receiverNs = nullptr,
                    const char *senderNs = nullptr)
{
    // A watchdog, generous enough for the old pace of 400 KB/s.
    const int timeout = int(60 + size / 300000);
    int release[2];
    if (pipe(release) != 0)
        return {};
    Pair pair;
    int receiverFd = -1, senderFd = -1;
    const pid_t r = spawn(receiver, receiverNs, timeout, &receiverFd, release);
    char c = 0;
    pid_t s = -1;
    if (r > 0 && readAll(receiverFd, &c, 1) && c == 'r') {
        s = spawn(sender, senderNs, timeout, &senderFd, release);
        // The sender's readiness means nothing here: it starts at once.
        pair.sender = s > 0 && readAll(senderFd, &c, 1) ? collect(senderFd, s, "the sender died or timed out")
                                                         : failed("the sender did not start");
    } else {
        pair.sender = failed("not started: the receiver never listened");
    }
    pair.receiver = r > 0 ? collect(receiverFd, r, "the receiver died or timed out") : failed("no receiver");
    ::close(release[0]);
    ::close(release[1]);
    for (const pid_t child : {r, s})
        if (child > 0)
            waitpid(child, nullptr, 0);
    return pair;
}

// Also the start of a window's own process (see windowSide), which never returns from here.
inline void prepareEnvironment(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A peer that is gone shows as a short count, not as a dead side.
    signal(SIGPIPE, SIG_IGN);
    if (argc == 8 && std::strcmp(argv[1], "--window-side") == 0) {
        InRole = true;
        ReportFd = std::atoi(argv[6]);
        ReleaseFd = std::atoi(argv[7]);
        const quint8 mode = quint8(std::atoi(argv[2]));
        const QString peer = QString::fromLocal8Bit(argv[3]), path = QFile::decodeName(argv[5]);
        const quint16 port = quint16(std::atoi(argv[4]));
        serve([&](const std::function<void()> &ready) { return windowSide(mode, peer, port, path, ready); });
    }
}

// A figure of a side scaled to one GiB of the bytes it moved.
inline double perGiB(double figure, const Report &report)
{
    return report.bytes > 0 ? figure * double(1024 * MiB) / double(report.bytes) : 0;
}

inline void printFailure(const char *what, const Pair &pair)
{
    if (!pair.ok())
        std::printf("    %s did not arrive whole: receiver \"%s\", sender \"%s\"\n", what, pair.receiver.status,
                    pair.sender.status);
}

inline double rate(const Pair &pair)
{
    return double(pair.receiver.bytes) / pair.receiver.seconds / 1e6;
}

inline double cpuShare(const Report &report)
{
    return 100 * report.cpu / report.seconds;
}

// A temporary folder with a file of random bytes to send and a place to receive it.
struct Workspace {
    QTemporaryDir dir;
    QString source = dir.filePath(QStringLiteral("source.bin"));
    QString target = dir.filePath(QStringLiteral("target.bin"));
    bool ready;
    Workspace(qint64 size, quint64 seed) : ready(writeRandomFile(source, size, seed))
    {
        if (!ready)
            std::fprintf(stderr, "cannot write %s\n", qPrintable(source));
    }
};

// The program's transfer and a plain one, their order alternating from run to run so that neither
// path always comes first; a received file is compared with the source and removed.
struct Turns {
    Pair program, plain;
    bool identical = true;
    bool whole() const
    {
        printFailure("the program's transfer", program);
        printFailure("the plain copy", plain);
        return program.ok() && plain.ok() && identical;
    }
};

inline Turns inTurns(int run, const Workspace &space, bool toFile, const std::function<Pair(bool program)> &transfer)
{
    Turns turns;
    for (int turn = 0; turn < 2; ++turn) {
        const bool program = (run + turn) % 2 == 0;
        (program ? turns.program : turns.plain) = transfer(program);
        if (toFile) {
            turns.identical = sameContent(space.source, space.target) && turns.identical;
            QFile::remove(space.target);
        }
    }
    return turns;
}

} // namespace bench
