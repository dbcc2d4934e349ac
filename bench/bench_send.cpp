// The sending window against sendfile(), each into the same plain reader in a process of its own
// over loopback, in turns in the same run. Also the sender's CPU time and memory, and the latest a
// 20 ms timer in its event loop fired. Arguments: [--size MiB] [--runs N].
#include "benchpeer.h"

using namespace bench;

int main(int argc, char **argv)
{
    prepareEnvironment(argc, argv);
    const Options options = parseOptions(argc, argv, 1024 * MiB, 3);
    const qint64 size = options.size;
    const Workspace space(size, 1);
    if (!space.ready)
        return 1;
    std::printf("bench_send: %lld MiB over loopback into a plain reader (MB = 1,000,000 bytes)\n", size / MiB);
    std::vector<double> ratios, cpus;
    std::vector<double> perGiBCpu;
    double peakRss = 0, latest = 0, worstFaults = 0;
    bool whole = true;
    for (int run = 0; run < options.runs; ++run) {
        const Turns turns = inTurns(run, space, false, [&](bool window) {
            const quint16 port = freePort();
            const Side reader = [&](const std::function<void()> &ready) { return plainReader(port, size, {}, ready); };
            const Side sender = [&](const std::function<void()> &ready) {
                return window ? windowSide(MainWin::Send, QStringLiteral("127.0.0.1"), port, space.source, ready)
                              : plainSender("127.0.0.1", port, space.source, size);
            };
            return runPair(reader, sender, size);
        });
        const Report &sender = turns.window.sender;
        std::printf("  run %d: window %8.1f MB/s  plain %8.1f MB/s  ratio %.3f | sender CPU %5.1f %% of wall "
                    "(plain %5.1f %%) | peak RSS %.1f MiB | probe timer %.1f ms late\n",
                    run + 1, rate(turns.window), rate(turns.plain), rate(turns.window) / rate(turns.plain),
                    cpuShare(sender), cpuShare(turns.plain.sender), sender.maxRssMiB, sender.probeLateMs);
        std::printf("    per GiB: sender %.2f CPU s, %.0f minor faults (plain %.2f s, %.0f)\n", perGiB(sender.cpu, sender),
                    perGiB(sender.faults, sender), perGiB(turns.plain.sender.cpu, turns.plain.sender),
                    perGiB(turns.plain.sender.faults, turns.plain.sender));
        perGiBCpu.push_back(perGiB(sender.cpu, sender));
        worstFaults = std::max(worstFaults, perGiB(sender.faults, sender));
        whole = turns.whole() && whole;
        ratios.push_back(rate(turns.window) / rate(turns.plain));
        cpus.push_back(cpuShare(sender));
        peakRss = std::max(peakRss, sender.maxRssMiB);
        latest = std::max(latest, sender.probeLateMs);
    }
    std::printf("  ratio window / plain: median %.3f (goal >= 0.95), lowest %.3f\n", median(ratios),
                *std::min_element(ratios.begin(), ratios.end()));
    std::printf("  sender per GiB: median %.2f CPU s; minor faults, worst run %.0f (goal < 10000)\n", median(perGiBCpu),
                worstFaults);
    std::printf("  sender CPU: median %.1f %% of wall; sender peak RSS (ru_maxrss) %.1f MiB\n", median(cpus), peakRss);
    std::printf("  20 ms probe timer: at most %.1f ms late (goal <= 20 ms)\n", latest);
    return whole ? 0 : 1;
}
