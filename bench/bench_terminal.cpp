// The terminal commands as people start them: the built program in processes of its own, each
// figure beside a plain program doing the least of the same over the same path in the same run.
//   help   `veltrane --help`: wall time to exit and peak RSS, against /bin/true.
//   probe  `veltrane send --to 127.0.0.1 FILE`: from its start to its probe on the wire, with its
//          CPU seconds by then, against bash writing two bytes to /dev/tcp on the same port.
// (A whole transfer between two terminals, beside two windows and the peers, is bench_e2e's.)
// Runs in a network namespace of its own (as root), so the product's port 1001 is free.
// Arguments: [help | probe] [--runs N]; without a mode, both.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double wallMs = 0;
    double cpuMs = 0;
    long peakKiB = 0;
};

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

pid_t launch(const std::vector<std::string> &words, bool quiet)
{
    std::vector<char *> argv;
    for (const std::string &word : words)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // No display, as over SSH.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("QT_QPA_PLATFORM");
        if (quiet) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0), dup2(null, 1), dup2(null, 2);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

Run reap(pid_t pid, Clock::time_point start, bool kill)
{
    Run run;
    // A program that runs on is timed to now; one that ends, to its end.
    if (kill) {
        run.wallMs = msSince(start);
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!kill)
        run.wallMs = msSince(start);
    run.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    run.peakKiB = usage.ru_maxrss;
    return run;
}

Run runToExit(const std::vector<std::string> &words)
{
    const Clock::time_point start = Clock::now();
    return reap(launch(words, true), start, false);
}

// Starts `words`, which connect to `listener`, and times it until the first two bytes arrive.
Run runToFirstBytes(const std::vector<std::string> &words, int listener, std::string &firstBytes)
{
    const Clock::time_point start = Clock::now();
    const pid_t pid = launch(words, true);
    Run run;
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 10000) != 1)
        return reap(pid, start, true);
    const int peer = accept(listener, nullptr, nullptr);
    char bytes[2];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t count = read(peer, bytes + got, sizeof bytes - got);
        if (count <= 0)
            break;
        got += size_t(count);
    }
    run = reap(pid, start, true);
    firstBytes.assign(bytes, got);
    close(peer);
    return run;
}

int listenOn1001()
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(1001);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 8) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void report(const char *what, const std::vector<Run> &ours, const std::vector<Run> &plain)
{
    std::vector<double> wall, cpu, plainWall, plainCpu;
    long peak = 0, plainPeak = 0;
    for (const Run &run : ours)
        wall.push_back(run.wallMs), cpu.push_back(run.cpuMs), peak = std::max(peak, run.peakKiB);
    for (const Run &run : plain)
        plainWall.push_back(run.wallMs), plainCpu.push_back(run.cpuMs), plainPeak = std::max(plainPeak, run.peakKiB);
    std::printf("%-8s veltrane %7.1f ms wall (median of %zu), %6.1f ms CPU, peak RSS %6.1f MiB\n", what, median(wall),
                wall.size(), median(cpu), peak / 1024.0);
    std::printf("%-8s plain    %7.1f ms wall, %6.1f ms CPU, peak RSS %6.1f MiB\n", "", median(plainWall),
                median(plainCpu), plainPeak / 1024.0);
    std::printf("%-8s ratio    %7.2f (wall)\n", "", median(wall) / std::max(0.001, median(plainWall)));
}

}

int main(int argc, char **argv)
{
    std::string mode;
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            mode = argv[i];
    }
    const std::string program = VELTRANE_PROGRAM;
    bool whole = true;

    if (mode.empty() || mode == "help") {
        std::vector<Run> ours, plain;
        runToExit({program, "--help"});
        for (int i = 0; i < (runs ? runs : 20); ++i) {
            ours.push_back(runToExit({program, "--help"}));
            plain.push_back(runToExit({"/bin/true"}));
        }
        report("--help", ours, plain);
    }

    if (mode != "help" && (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0)) {
        std::fprintf(stderr, "needs root for a network namespace of its own\n");
        return 1;
    }
    if (mode.empty() || mode == "probe") {
        char file[] = "/tmp/bench_terminal.XXXXXX";
        const int fd = mkstemp(file);
        whole = fd >= 0 && write(fd, "notes", 5) == 5;
        close(fd);
        const int listener = listenOn1001();
        if (listener < 0) {
            std::fprintf(stderr, "probe: cannot listen on port 1001\n");
            return 1;
        }
        std::vector<Run> ours, plain;
        std::string first;
        for (int i = 0; i <= (runs ? runs : 20); ++i) {
            const Run run = runToFirstBytes({program, "send", "--to", "127.0.0.1", file}, listener, first);
            // The probe starts with the request for privacy.
            whole = whole && first == "TL";
            if (i > 0)
                ours.push_back(run);
            plain.push_back(runToFirstBytes({"/bin/bash", "-c", "printf TL >/dev/tcp/127.0.0.1/1001"}, listener, first));
        }
        report("probe", ours, plain);
        unlink(file);
        close(listener);
    }

    return whole ? 0 : 1;
}
