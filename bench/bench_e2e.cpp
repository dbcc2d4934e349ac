// Two real transfer windows, a receiver and a sender in processes of their own, against a plain
// copy (sendfile into a reader that writes a file) over the same path in the same run.
// Arguments: loopback | link | large, then [--size MiB] [--runs N].
//   loopback  1 GiB over loopback.
//   link      1 GiB across a 1 Gbit/s link: two network namespaces joined by a veth pair with a
//             tbf qdisc each way; needs root and iproute2.
//   large     a 3 GiB sparse file with random islands at its ends and around 2^31 (and 2^32...
//             when the size reaches them), windows only: is it identical, and does memory stay flat.
//   bundle    a folder of 10,000 files of 4 KiB and one of 512 MiB (--size), over loopback, or
//             across the link with "bundle link", against tar -c into the socket and tar -x out
//             of it; [--files N] for another count, e.g. 100,000 to see the sender's memory.
#include "benchpeer.h"

#include <QDir>
#include <QProcess>

using namespace bench;

namespace {

constexpr qint64 Island = 64 * 1024;

bool writeSparseFile(const QString &path, qint64 size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::ftruncate(fd, size) != 0)
        return false;
    std::vector<qint64> starts{0, size - Island};
    for (qint64 boundary = qint64(1) << 31; boundary < size; boundary *= 2)
        starts.push_back(boundary - Island / 2);
    QByteArray island(int(Island), '\0');
    quint64 x = 0x9e3779b97f4a7c15;
    bool ok = true;
    for (qint64 start : starts) {
        start = std::clamp<qint64>(start, 0, std::max<qint64>(0, size - Island));
        for (char &b : island) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            b = char(x);
        }
        const size_t length = size_t(std::min(Island, size - start));
        ok = ok && ::pwrite(fd, island.constData(), length, start) == ssize_t(length);
    }
    ok = ::fsync(fd) == 0 && ok;
    ::close(fd);
    return ok;
}

// Two network namespaces joined by a veth pair, each end limited to 1 Gbit/s; gone again at exit,
// also when the run is interrupted.
std::string NamespaceA, NamespaceB;

void removeLink()
{
    if (!NamespaceA.empty())
        std::system(("ip netns del " + NamespaceA + " 2>/dev/null; ip netns del " + NamespaceB + " 2>/dev/null").c_str());
    NamespaceA.clear();
}

void interrupted(int)
{
    removeLink();
    _exit(130);
}

bool makeLink()
{
    const std::string id = std::to_string(getpid());
    NamespaceA = "vbench" + id + "a";
    NamespaceB = "vbench" + id + "b";
    const std::string vethA = "vb" + id + "a", vethB = "vb" + id + "b";
    std::atexit(removeLink);
    signal(SIGINT, interrupted);
    signal(SIGTERM, interrupted);
    const std::string tbf = " root tbf rate 1gbit burst 256kb latency 10ms";
    const std::vector<std::string> steps{
        "ip netns add " + NamespaceA,
        "ip netns add " + NamespaceB,
        "ip link add " + vethA + " type veth peer name " + vethB,
        "ip link set " + vethA + " netns " + NamespaceA,
        "ip link set " + vethB + " netns " + NamespaceB,
        "ip -n " + NamespaceA + " addr add 10.231.0.1/24 dev " + vethA,
        "ip -n " + NamespaceB + " addr add 10.231.0.2/24 dev " + vethB,
        "ip -n " + NamespaceA + " link set lo up",
        "ip -n " + NamespaceB + " link set lo up",
        "ip -n " + NamespaceA + " link set " + vethA + " up",
        "ip -n " + NamespaceB + " link set " + vethB + " up",
        "tc -n " + NamespaceA + " qdisc add dev " + vethA + tbf,
        "tc -n " + NamespaceB + " qdisc add dev " + vethB + tbf,
    };
    for (const std::string &step : steps)
        if (std::system(step.c_str()) != 0) {
            std::printf("bench_e2e link: skipped, \"%s\" failed\n", step.c_str());
            return false;
        }
    return true;
}

struct Path {
    const char *receiverIp;
    const char *receiverNs;
    const char *senderNs;
    quint16 port; // 0: a free one for each transfer
};

Pair transfer(bool windows, const Path &path, const QString &source, const QString &target, qint64 size)
{
    const quint16 port = path.port ? path.port : freePort();
    const Side receiver = [&](const std::function<void()> &ready) {
        return windows ? windowSide(MainWin::Receive, {}, port, target, ready) : plainReader(port, size, target, ready);
    };
    const Side sender = [&](const std::function<void()> &ready) {
        return windows ? windowSide(MainWin::Send, QString::fromLatin1(path.receiverIp), port, source, ready)
                       : plainSender(path.receiverIp, port, source, size);
    };
    return runPair(receiver, sender, size, path.receiverNs, path.senderNs);
}

// Windows and plain copies in turns; false when a file did not arrive whole.
bool compare(const char *name, const Path &path, const Options &options, const char *goals)
{
    const qint64 size = options.size;
    const Workspace space(size, 3);
    if (!space.ready)
        return false;
    std::printf("bench_e2e %s: %lld MiB between two windows vs a plain copy (MB = 1,000,000 bytes)\n", name,
                size / MiB);
    std::vector<double> ratios, senderCpu, receiverCpu, senderPerGiB, receiverPerGiB;
    double worstFaults = 0;
    bool whole = true;
    for (int run = 0; run < options.runs; ++run) {
        const Turns turns = inTurns(run, space, true, [&](bool window) {
            return transfer(window, path, space.source, space.target, size);
        });
        const Pair &window = turns.window, &plain = turns.plain;
        std::printf("  run %d: windows %8.1f MB/s  plain %8.1f MB/s  ratio %.3f | CPU %% of wall: sender %5.1f "
                    "(plain %5.1f), receiver %5.1f (plain %5.1f) | identical %s\n",
                    run + 1, rate(window), rate(plain), rate(window) / rate(plain), cpuShare(window.sender),
                    cpuShare(plain.sender), cpuShare(window.receiver), cpuShare(plain.receiver),
                    turns.identical ? "yes" : "NO");
        std::printf("    per GiB: sender %.2f CPU s, %.0f minor faults (plain %.2f s, %.0f); receiver %.2f CPU s, %.0f "
                    "minor faults (plain %.2f s, %.0f)\n",
                    perGiB(window.sender.cpu, window.sender), perGiB(window.sender.faults, window.sender),
                    perGiB(plain.sender.cpu, plain.sender), perGiB(plain.sender.faults, plain.sender),
                    perGiB(window.receiver.cpu, window.receiver), perGiB(window.receiver.faults, window.receiver),
                    perGiB(plain.receiver.cpu, plain.receiver), perGiB(plain.receiver.faults, plain.receiver));
        whole = turns.whole() && whole;
        ratios.push_back(rate(window) / rate(plain));
        senderCpu.push_back(cpuShare(window.sender));
        receiverCpu.push_back(cpuShare(window.receiver));
        senderPerGiB.push_back(perGiB(window.sender.cpu, window.sender));
        receiverPerGiB.push_back(perGiB(window.receiver.cpu, window.receiver));
        worstFaults = std::max({worstFaults, perGiB(window.sender.faults, window.sender),
                                perGiB(window.receiver.faults, window.receiver)});
    }
    std::printf("  ratio windows / plain: median %.3f, lowest %.3f; CPU %% of wall, medians: sender %.1f, receiver "
                "%.1f (%s)\n",
                median(ratios), *std::min_element(ratios.begin(), ratios.end()), median(senderCpu),
                median(receiverCpu), goals);
    std::printf("  CPU s per GiB, medians: sender %.2f, receiver %.2f; minor faults per GiB, worst side and run: %.0f "
                "(goal < 10000)\n",
                median(senderPerGiB), median(receiverPerGiB), worstFaults);
    return whole;
}

// A folder of `files` small files in folders of a hundred, and one large one; its content bytes.
qint64 makeTree(const QString &root, int files, qint64 large)
{
    qint64 bytes = large;
    writeRandomFile(root + QStringLiteral("/large.bin"), large, 99);
    QByteArray small(4096, 's');
    for (int i = 0; i < files; ++i) {
        const QString folder = root + QStringLiteral("/part%1").arg(i / 100);
        if (i % 100 == 0)
            QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/file%1.txt").arg(i));
        small[0] = char(i);
        if (!file.open(QIODevice::WriteOnly) || file.write(small) != small.size())
            return -1;
        bytes += small.size();
    }
    return bytes;
}

// tar in a child with `fd` as its stdin (unpacking into `folder`) or stdout (packing `folder`).
Report plainTar(int fd, bool unpack, const QString &folder, qint64 bytes)
{
    const Clock::time_point start = Clock::now();
    const Usage cpuStart = usage();
    const pid_t child = fork();
    if (child == 0) {
        ::dup2(fd, unpack ? 0 : 1);
        const QByteArray parent = QFile::encodeName(QFileInfo(folder).absolutePath());
        const QByteArray name = QFile::encodeName(QFileInfo(folder).fileName());
        if (unpack)
            ::execlp("tar", "tar", "-x", "-C", parent.constData(), nullptr);
        else
            ::execlp("tar", "tar", "-c", "-C", parent.constData(), name.constData(), nullptr);
        _exit(127);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ::close(fd);
    Report report;
    finish(report, start, cpuStart);
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    report.cpu += double(children.ru_utime.tv_sec + children.ru_stime.tv_sec)
                  + double(children.ru_utime.tv_usec + children.ru_stime.tv_usec) / 1e6;
    report.faults += double(children.ru_minflt);
    report.ok = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    report.bytes = bytes;
    std::snprintf(report.status, sizeof report.status, "tar %s exited %d", unpack ? "-x" : "-c", status);
    return report;
}

bool bundle(const Path &path, const Options &options, int files)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("src/tree")), target = dir.filePath(QStringLiteral("out/tree"));
    QDir().mkpath(source), QDir().mkpath(dir.filePath(QStringLiteral("out")));
    const qint64 bytes = makeTree(source, files, options.size);
    if (bytes < 0)
        return false;
    ::sync();
    std::printf("bench_e2e bundle: %d files of 4 KiB and one of %lld MiB between two windows vs tar into and out of "
                "the socket (MB = 1,000,000 content bytes)\n", files, options.size / MiB);
    std::vector<double> ratios;
    bool whole = true;
    for (int run = 0; run < options.runs; ++run) {
        Pair pairs[2];
        for (int turn = 0; turn < 2; ++turn) {
            const bool window = (run + turn) % 2 == 0;
            const quint16 port = path.port ? path.port : freePort();
            const Side receiver = [&](const std::function<void()> &ready) {
                if (window)
                    return windowSide(MainWin::Receive, {}, port, target, ready);
                quint16 listening = port;
                const int listener = listenOn("0.0.0.0", &listening);
                ready();
                const int in = ::accept(listener, nullptr, nullptr);
                ::close(listener);
                return plainTar(in, true, target, bytes);
            };
            const Side sender = [&](const std::function<void()> &ready) {
                if (window)
                    return windowSide(MainWin::Send, QString::fromLatin1(path.receiverIp), port, source, ready);
                ready();
                const int out = ::socket(AF_INET, SOCK_STREAM, 0);
                const sockaddr_in to = address(path.receiverIp, port);
                if (::connect(out, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
                    return failed("plain sender: no connection");
                return plainTar(out, false, source, bytes);
            };
            pairs[window ? 0 : 1] = runPair(receiver, sender, bytes, path.receiverNs, path.senderNs);
            const bool identical = QProcess::execute(QStringLiteral("diff"), {"-r", "-q", source, target}) == 0;
            QProcess::execute(QStringLiteral("rm"), {"-rf", target});
            whole = whole && identical && pairs[window ? 0 : 1].ok();
            printFailure(window ? "the windows' bundle" : "the plain copy", pairs[window ? 0 : 1]);
        }
        const double windowRate = double(bytes) / pairs[0].receiver.seconds / 1e6;
        const double plainRate = double(bytes) / pairs[1].receiver.seconds / 1e6;
        ratios.push_back(windowRate / plainRate);
        std::printf("  run %d: windows %8.1f MB/s  plain %8.1f MB/s  ratio %.3f | sender RSS idle %.1f MiB, peak %.1f "
                    "MiB (growth %.1f) | CPU %% of wall: sender %5.1f, receiver %5.1f\n",
                    run + 1, windowRate, plainRate, windowRate / plainRate, pairs[0].sender.idleMiB,
                    pairs[0].sender.peakMiB, pairs[0].sender.peakMiB - pairs[0].sender.idleMiB,
                    cpuShare(pairs[0].sender), cpuShare(pairs[0].receiver));
    }
    std::printf("  ratio windows / plain: median %.3f, lowest %.3f (goals: >= 0.6 on loopback, >= 0.9 across the link; "
                "sender growth <= 32 MiB with 100,000 files)\n",
                median(ratios), *std::min_element(ratios.begin(), ratios.end()));
    return whole;
}

bool large(const Options &options)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("sparse.bin"));
    const QString target = dir.filePath(QStringLiteral("target.bin"));
    const qint64 size = options.size;
    if (!writeSparseFile(source, size)) {
        std::fprintf(stderr, "bench_e2e: cannot write %s\n", qPrintable(source));
        return false;
    }
    std::printf("bench_e2e large: a %lld MiB sparse file between two windows over loopback\n", size / MiB);
    bool whole = true;
    for (int run = 0; run < options.runs; ++run) {
        const Pair pair = transfer(true, {"127.0.0.1", nullptr, nullptr, 0}, source, target, size);
        const bool identical = sameContent(source, target);
        QFile::remove(target);
        std::printf("  run %d: %8.1f MB/s | identical %s\n", run + 1, rate(pair), identical ? "yes" : "NO");
        for (const auto &[side, report] : {std::pair{"sender", pair.sender}, std::pair{"receiver", pair.receiver}})
            std::printf("    %-8s RSS idle %6.1f MiB, peak %6.1f MiB, growth %5.1f MiB (goal <= 8)\n", side,
                        report.idleMiB, report.peakMiB, report.peakMiB - report.idleMiB);
        printFailure("the file", pair);
        whole = whole && pair.ok() && identical;
    }
    return whole;
}

}

int main(int argc, char **argv)
{
    prepareEnvironment(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    const Options options = parseOptions(argc, argv, (mode == "large" ? 3072 : mode == "bundle" ? 512 : 1024) * MiB,
                                         mode == "large" ? 1 : 3);
    if (mode == "loopback")
        return compare("loopback", {"127.0.0.1", nullptr, nullptr, 0}, options, "goal, private: ratio >= 0.5") ? 0 : 1;
    if (mode == "link") {
        if (geteuid() != 0) {
            std::printf("bench_e2e link: skipped, network namespaces need root\n");
            return 0;
        }
        if (!makeLink()) {
            removeLink();
            return 0;
        }
        const Path path{"10.231.0.1", NamespaceA.c_str(), NamespaceB.c_str(), ProcWin::Port};
        const bool whole = compare("link (1 Gbit/s tbf)", path, options,
                                   "goals, private: ratio >= 0.95, sender <= 20, receiver <= 30");
        removeLink();
        return whole ? 0 : 1;
    }
    if (mode == "large")
        return large(options) ? 0 : 1;
    if (mode == "bundle") {
        int files = 10000;
        for (size_t i = 0; i + 1 < options.words.size(); ++i)
            if (options.words[i] == "--files")
                files = std::atoi(options.words[i + 1].c_str());
        const bool acrossLink = std::find(options.words.begin(), options.words.end(), "link") != options.words.end();
        if (acrossLink && (geteuid() != 0 || !makeLink()))
            return std::printf("bench_e2e bundle link: skipped, it needs root and a link\n"), removeLink(), 0;
        const Path path = acrossLink ? Path{"10.231.0.1", NamespaceA.c_str(), NamespaceB.c_str(), ProcWin::Port}
                                     : Path{"127.0.0.1", nullptr, nullptr, 0};
        const bool whole = bundle(path, options, files);
        removeLink();
        return whole ? 0 : 1;
    }
    std::fprintf(stderr, "usage: bench_e2e loopback|link|large|bundle [link] [--files N] [--size MiB] [--runs N]\n");
    return 2;
}
