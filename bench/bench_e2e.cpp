// The built program as the user starts it: `veltrane receive --yes` and `veltrane send --private`,
// freshly started processes with no display, against a plain copy over the same path in the same
// run (sendfile into a reader that writes a file; for a folder, tar into and out of the socket),
// and against the encrypted peers people use instead, when sshd and rsync are installed: scp with
// AES-128-GCM and rsync over ssh (for a folder: tar over ssh and rsync -a over ssh). Each side
// runs in a network namespace of the benchmark's own, where the program's port 1001 is free.
// Clocks, CPU seconds and faults run from the moment what is received appears on disk until the
// side exits, for every kind alike; the program's start-up and handshake are left out as ssh's are.
// Arguments: loopback | link | large | bundle [link], then [--size MiB] [--runs N] [--files N]
// [--windows] [--no-peers].
//   loopback  1 GiB over loopback.
//   link      1 GiB across a 1 Gbit/s link: two namespaces joined by a veth pair with a tbf
//             qdisc each way.
//   large     a 3 GiB sparse file with random islands at its ends and around 2^31 (and 2^32...
//             when the size reaches them), the program only: is it identical, and does memory stay flat.
//   bundle    a folder of 10,000 files of 4 KiB (--files) and one of 512 MiB (--size), over
//             loopback, or across the link with "bundle link".
//   --windows adds a turn of two transfer windows (the benchmark started afresh in a window's role
//             with a scripted dialog), to compare the window's figures with the terminal's;
//   --no-peers leaves out scp and rsync, for a quicker look.
// Needs root, iproute2, and for the peers openssh-server and rsync.
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


struct Path {
    const char *receiverIp;
    const char *receiverNs;
    const char *senderNs;
};

// sshd in the receiver's namespace, for root with a key of its own, gone with the benchmark.
struct Sshd {
    QTemporaryDir dir;
    pid_t pid = -1;
    std::vector<std::string> ssh; // the client's command and options

    explicit Sshd(const char *netns)
    {
        if (!netns || ::access("/usr/sbin/sshd", X_OK) != 0 || ::access("/usr/bin/rsync", X_OK) != 0)
            return;
        const std::string at = QFile::encodeName(dir.path()).toStdString();
        const std::string config = "HostKey " + at + "/host\nAuthorizedKeysFile " + at + "/client.pub\nPidFile "
                                   + at + "/pid\nPermitRootLogin yes\nPasswordAuthentication no\nStrictModes no\n"
                                   + "UsePAM no\nSubsystem sftp internal-sftp\n";
        QFile file(dir.filePath(QStringLiteral("config")));
        if (std::system(("mkdir -p /run/sshd && ssh-keygen -q -t ed25519 -N '' -f " + at + "/host && ssh-keygen -q "
                         "-t ed25519 -N '' -f " + at + "/client").c_str()) != 0
            || !file.open(QIODevice::WriteOnly) || file.write(config.c_str()) < 0)
            return;
        file.close();
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int ns = ::open((std::string("/var/run/netns/") + netns).c_str(), O_RDONLY);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
                _exit(1);
            ::execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-q", "-f", (at + "/config").c_str(), nullptr);
            _exit(127);
        }
        ssh = {"ssh", "-q", "-i", at + "/client", "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
               "-o", "BatchMode=yes"};
        ::usleep(500000);
    }
    ~Sshd()
    {
        if (pid > 0)
            ::kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    }
    bool ready() const { return pid > 0; }
    std::string sshLine() const
    {
        std::string line;
        for (const std::string &word : ssh)
            line += (line.empty() ? "" : " ") + word;
        return line;
    }
};

// What moves the bytes in a turn.
enum class Kind { Program, Windows, Plain, Scp, Rsync };

const char *nameOf(Kind kind)
{
    switch (kind) {
    case Kind::Program: return "veltrane (terminal, private)";
    case Kind::Windows: return "veltrane (windows, private)";
    case Kind::Plain: return "plain copy";
    case Kind::Scp: return "scp -c aes128-gcm";
    case Kind::Rsync: return "rsync over ssh";
    }
    return "";
}

// A peer's turn: its client is the sender, the receiving end is sshd, always ready.
Pair peerTurn(const std::vector<std::string> &words, const Path &path, const QString &arrives, qint64 bytes)
{
    const Side receiver = [](const std::function<void()> &ready) {
        ready();
        Report report;
        report.ok = true;
        return report;
    };
    const Side sender = [&](const std::function<void()> &) {
        return commandSide(words, false, arrives, bytes, arrives + QStringLiteral(".log"), [] {});
    };
    Pair pair = runPair(receiver, sender, bytes, path.receiverNs, path.senderNs);
    // Only the client is seen: its clock stands for both.
    pair.receiver = pair.sender;
    pair.receiver.cpu = 0, pair.receiver.faults = 0;
    return pair;
}

Pair fileTurn(Kind kind, const Path &path, const Sshd &sshd, const QString &source, const QString &into, qint64 size)
{
    const QString target = into + QStringLiteral("/source.bin");
    const std::string remote = std::string("root@") + path.receiverIp + ":" + QFile::encodeName(target).toStdString();
    const std::string from = QFile::encodeName(source).toStdString();
    std::vector<std::string> words = sshd.ssh;
    switch (kind) {
    case Kind::Program:
        return runPair([&](const std::function<void()> &ready) { return programReceiver(into, QStringLiteral("source.bin"), size, ready); },
                       [&](const std::function<void()> &) { return programSender(path.receiverIp, true, source, target, size); },
                       size, path.receiverNs, path.senderNs);
    case Kind::Windows:
        return runPair([&](const std::function<void()> &ready) { return windowSide(MainWin::Receive, {}, ProgramPort, target, ready); },
                       [&](const std::function<void()> &ready) {
                           return windowSide(MainWin::Send, QString::fromLatin1(path.receiverIp), ProgramPort, source, ready);
                       },
                       size, path.receiverNs, path.senderNs);
    case Kind::Plain:
        return runPair([&](const std::function<void()> &ready) { return plainReader(ProgramPort, size, target, ready); },
                       [&](const std::function<void()> &) { return plainSender(path.receiverIp, ProgramPort, source, size); },
                       size, path.receiverNs, path.senderNs);
    case Kind::Scp:
        words[0] = "scp";
        words.insert(words.end(), {"-c", "aes128-gcm@openssh.com", from, remote});
        return peerTurn(words, path, into, size);
    case Kind::Rsync:
        return peerTurn({"rsync", "--inplace", "-e", sshd.sshLine(), from, remote}, path, into, size);
    }
    return {};
}

// A turn of every kind in each run, their order turning from run to run so that none always comes
// first; a received file is compared with the source and removed.
bool compare(const char *name, const Path &path, const Options &options, bool windows, bool peers, const char *goals)
{
    const qint64 size = options.size;
    const Workspace space(size, 3);
    const QString into = QFileInfo(space.target).absolutePath() + QStringLiteral("/into");
    if (!space.ready || !QDir().mkpath(into))
        return false;
    const Sshd sshd(peers ? path.receiverNs : nullptr);
    std::vector<Kind> kinds{Kind::Program, Kind::Plain};
    if (windows)
        kinds.push_back(Kind::Windows);
    if (sshd.ready())
        kinds.push_back(Kind::Scp), kinds.push_back(Kind::Rsync);
    std::printf("bench_e2e %s: %lld MiB, fresh processes, each kind against the plain copy in the same run "
                "(MB = 1,000,000 bytes)\n", name, size / MiB);
    struct Figures {
        std::vector<double> ratio, senderCpu, receiverCpu;
        double worstFaults = 0;
        bool privately = true;
    };
    std::vector<Figures> figures(kinds.size());
    bool whole = true;
    for (int run = 0; run < options.runs; ++run) {
        std::vector<Pair> pairs(kinds.size());
        for (size_t turn = 0; turn < kinds.size(); ++turn) {
            const size_t k = (turn + size_t(run)) % kinds.size();
            pairs[k] = fileTurn(kinds[k], path, sshd, space.source, into, size);
            const bool identical = sameContent(space.source, into + QStringLiteral("/source.bin"));
            QDir(into).removeRecursively(), QDir().mkpath(into);
            printFailure(nameOf(kinds[k]), pairs[k]);
            whole = whole && identical && pairs[k].ok();
            if (!identical)
                std::printf("    %s: the file is not identical\n", nameOf(kinds[k]));
        }
        const size_t plain = 1;
        std::printf("  run %d:", run + 1);
        for (size_t k = 0; k < kinds.size(); ++k) {
            const Pair &pair = pairs[k];
            Figures &f = figures[k];
            f.ratio.push_back(rate(pair) / rate(pairs[plain]));
            f.senderCpu.push_back(perGiB(pair.sender.cpu, pair.sender));
            f.receiverCpu.push_back(perGiB(pair.receiver.cpu, pair.receiver));
            f.worstFaults = std::max({f.worstFaults, perGiB(pair.sender.faults, pair.sender),
                                      perGiB(pair.receiver.faults, pair.receiver)});
            if (kinds[k] == Kind::Program)
                f.privately = f.privately && pair.sender.privately && pair.receiver.privately;
            std::printf(" %s %.1f MB/s%s", nameOf(kinds[k]), rate(pair), k + 1 < kinds.size() ? "," : "\n");
        }
    }
    std::printf("  medians over %d runs, ratio to the plain copy; CPU s per GiB; minor faults per GiB, worst side and run:\n",
                options.runs);
    for (size_t k = 0; k < kinds.size(); ++k) {
        const Figures &f = figures[k];
        std::printf("    %-30s ratio %.3f (lowest %.3f)", nameOf(kinds[k]), median(f.ratio),
                    *std::min_element(f.ratio.begin(), f.ratio.end()));
        if (kinds[k] == Kind::Scp || kinds[k] == Kind::Rsync)
            std::printf(" | client CPU %.2f s\n", median(f.senderCpu));
        else
            std::printf(" | CPU sender %.2f s, receiver %.2f s | faults %.0f%s\n", median(f.senderCpu),
                        median(f.receiverCpu), f.worstFaults,
                        kinds[k] == Kind::Program ? (f.privately ? " | private: yes" : " | private: NO") : "");
    }
    if (sshd.ready())
        std::printf("    veltrane / scp -c aes128-gcm: %.2f\n", median(figures[0].ratio) / median(figures[kinds.size() - 2].ratio));
    std::printf("  (%s)\n", goals);
    return whole && figures[0].privately;
}

bool bundle(const Path &path, const Options &options, int files)
{
    QTemporaryDir dir;
    const QString parent = dir.filePath(QStringLiteral("src")), into = dir.filePath(QStringLiteral("out"));
    const QString source = parent + QStringLiteral("/tree"), target = into + QStringLiteral("/tree");
    QDir().mkpath(source), QDir().mkpath(into);
    const qint64 bytes = makeTree(source, files, options.size);
    if (bytes < 0)
        return false;
    ::sync();
    const Sshd sshd(path.receiverNs);
    const std::string from = QFile::encodeName(source).toStdString(), out = QFile::encodeName(into).toStdString();
    const std::string host = std::string("root@") + path.receiverIp;
    std::vector<std::string> names{"veltrane (terminal, private)", "tar into plain TCP"};
    if (sshd.ready())
        names.insert(names.end(), {"tar over ssh", "rsync -a over ssh"});
    std::printf("bench_e2e bundle: %d files of 4 KiB and one of %lld MiB, fresh processes (MB = 1,000,000 content "
                "bytes)\n", files, options.size / MiB);
    std::vector<std::vector<double>> ratios(names.size());
    std::vector<Pair> pairs(names.size());
    bool whole = true, privately = true;
    for (int run = 0; run < options.runs; ++run) {
        for (size_t turn = 0; turn < names.size(); ++turn) {
            const size_t k = (turn + size_t(run)) % names.size();
            if (k == 0) {
                pairs[k] = runPair([&](const std::function<void()> &ready) { return programReceiver(into, QStringLiteral("tree"), bytes, ready); },
                                   [&](const std::function<void()> &) { return programSender(path.receiverIp, true, source, target, bytes); },
                                   bytes, path.receiverNs, path.senderNs);
                privately = privately && pairs[k].sender.privately && pairs[k].receiver.privately;
            } else if (k == 1) {
                const Side receiver = [&](const std::function<void()> &ready) {
                    quint16 port = ProgramPort;
                    const int listener = listenOn("0.0.0.0", &port);
                    ready();
                    const int in = ::accept(listener, nullptr, nullptr);
                    ::close(listener);
                    return plainTar(in, true, target, bytes);
                };
                const Side sender = [&](const std::function<void()> &) {
                    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
                    const sockaddr_in to = address(path.receiverIp, ProgramPort);
                    if (::connect(socket, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
                        return failed("plain sender: no connection");
                    return plainTar(socket, false, source, bytes);
                };
                pairs[k] = runPair(receiver, sender, bytes, path.receiverNs, path.senderNs);
            } else if (k == 2) {
                pairs[k] = peerTurn({"sh", "-c", "tar -c -C " + QFile::encodeName(parent).toStdString() + " tree | " + sshd.sshLine()
                                     + " " + host + " tar -x -C " + out}, path, target, bytes);
            } else {
                pairs[k] = peerTurn({"rsync", "-a", "--inplace", "-e", sshd.sshLine(), from, host + ":" + out + "/"}, path, target, bytes);
            }
            const bool identical = QProcess::execute(QStringLiteral("diff"), {"-r", "-q", source, target}) == 0;
            QProcess::execute(QStringLiteral("rm"), {"-rf", target});
            whole = whole && identical && pairs[k].ok();
            printFailure(names[k].c_str(), pairs[k]);
        }
        std::printf("  run %d:", run + 1);
        for (size_t k = 0; k < names.size(); ++k) {
            ratios[k].push_back(rate(pairs[k]) / rate(pairs[1]));
            std::printf(" %s %.1f MB/s%s", names[k].c_str(), rate(pairs[k]), k + 1 < names.size() ? "," : "\n");
        }
        std::printf("    veltrane: sender RSS at the start %.1f MiB, peak %.1f MiB | CPU s: sender %.2f, receiver %.2f\n",
                    pairs[0].sender.idleMiB, pairs[0].sender.peakMiB, pairs[0].sender.cpu, pairs[0].receiver.cpu);
    }
    for (size_t k = 0; k < names.size(); ++k)
        std::printf("  %-30s ratio to tar into plain TCP: median %.3f, lowest %.3f\n", names[k].c_str(),
                    median(ratios[k]), *std::min_element(ratios[k].begin(), ratios[k].end()));
    std::printf("  private: %s (goal: >= 0.9 across the link; sender growth <= 32 MiB with 100,000 files)\n",
                privately ? "yes" : "NO");
    return whole && privately;
}

bool large(const Options &options)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("sparse.bin")), into = dir.filePath(QStringLiteral("into"));
    const QString target = into + QStringLiteral("/sparse.bin");
    const qint64 size = options.size;
    if (!writeSparseFile(source, size) || !QDir().mkpath(into)) {
        std::fprintf(stderr, "bench_e2e: cannot write %s\n", qPrintable(source));
        return false;
    }
    std::printf("bench_e2e large: a %lld MiB sparse file between two fresh programs over loopback, privately\n",
                size / MiB);
    bool whole = true;
    for (int run = 0; run < options.runs; ++run) {
        const Pair pair = runPair([&](const std::function<void()> &ready) { return programReceiver(into, QStringLiteral("sparse.bin"), size, ready); },
                                  [&](const std::function<void()> &) { return programSender("127.0.0.1", true, source, target, size); },
                                  size, Namespaces::a.c_str(), Namespaces::a.c_str());
        const bool identical = sameContent(source, target);
        QFile::remove(target);
        std::printf("  run %d: %8.1f MB/s | identical %s | private %s\n", run + 1, rate(pair), identical ? "yes" : "NO",
                    pair.sender.privately && pair.receiver.privately ? "yes" : "NO");
        for (const auto &[side, report] : {std::pair{"sender", pair.sender}, std::pair{"receiver", pair.receiver}})
            std::printf("    %-8s RSS at the start %6.1f MiB, peak %6.1f MiB, growth %5.1f MiB (goal <= 8)\n", side,
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
    const auto has = [&](const char *word) {
        return std::find(options.words.begin(), options.words.end(), word) != options.words.end();
    };
    const bool acrossLink = mode == "link" || (mode == "bundle" && has("link"));
    if (mode != "loopback" && mode != "link" && mode != "large" && mode != "bundle") {
        std::fprintf(stderr, "usage: bench_e2e loopback|link|large|bundle [link] [--files N] [--size MiB] [--runs N] "
                             "[--windows]\n");
        return 2;
    }
    if (geteuid() != 0 || !(acrossLink ? Namespaces::link() : Namespaces::loopback())) {
        std::printf("bench_e2e %s: skipped, it needs root for network namespaces\n", mode.c_str());
        return 0;
    }
    const Path path = acrossLink ? Path{"10.231.0.1", Namespaces::a.c_str(), Namespaces::b.c_str()}
                                 : Path{"127.0.0.1", Namespaces::a.c_str(), Namespaces::a.c_str()};
    bool whole = false;
    if (mode == "loopback")
        whole = compare("loopback", path, options, has("--windows"), !has("--no-peers"),
                        "goals, private: ratio >= 0.5 and >= 2.5 x scp -c aes128-gcm; faults < 10000 per GiB");
    else if (mode == "link")
        whole = compare("link (1 Gbit/s tbf)", path, options, has("--windows"), !has("--no-peers"),
                        "goals, private: ratio >= 0.97; sender <= 1.0 and receiver <= 1.5 CPU s per GiB");
    else if (mode == "large")
        whole = large(options);
    else {
        int files = 10000;
        for (size_t i = 0; i + 1 < options.words.size(); ++i)
            if (options.words[i] == "--files")
                files = std::atoi(options.words[i + 1].c_str());
        whole = bundle(path, options, files);
    }
    Namespaces::remove();
    return whole ? 0 : 1;
}
