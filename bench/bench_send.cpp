// `veltrane send` in the clear (a fresh process of the built program, which hears no answer to its
// offer of privacy and goes on in the clear after 2 s) against sendfile(), each into the same plain
// reader over loopback, in turns in the same run, in a network namespace of its own. Also the
// sender's CPU time, faults and memory over the data. Arguments: [--size MiB] [--runs N].
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
    if (geteuid() != 0 || !Namespaces::loopback())
        return std::printf("bench_send: skipped, it needs root for a network namespace\n"), 0;
    const char *ns = Namespaces::a.c_str();
    std::printf("bench_send: %lld MiB over loopback into a plain reader (MB = 1,000,000 bytes)\n", size / MiB);
    std::vector<double> ratios, cpus;
    std::vector<double> perGiBCpu;
    double peakRss = 0, worstFaults = 0;
    bool whole = true;
    for (int run = 0; run < options.runs; ++run) {
        const Turns turns = inTurns(run, space, true, [&](bool program) {
            const Side reader = [&](const std::function<void()> &ready) {
                return plainReader(ProgramPort, size, space.target, ready);
            };
            const Side sender = [&](const std::function<void()> &) {
                return program ? programSender("127.0.0.1", false, space.source, space.target, size)
                              : plainSender("127.0.0.1", ProgramPort, space.source, size);
            };
            return runPair(reader, sender, size, ns, ns);
        });
        const Report &sender = turns.program.sender;
        std::printf("  run %d: veltrane %8.1f MB/s  plain %8.1f MB/s  ratio %.3f | sender CPU %5.1f %% of wall "
                    "(plain %5.1f %%) | peak RSS %.1f MiB\n",
                    run + 1, rate(turns.program), rate(turns.plain), rate(turns.program) / rate(turns.plain),
                    cpuShare(sender), cpuShare(turns.plain.sender), sender.maxRssMiB);
        std::printf("    per GiB: sender %.2f CPU s, %.0f minor faults (plain %.2f s, %.0f)\n", perGiB(sender.cpu, sender),
                    perGiB(sender.faults, sender), perGiB(turns.plain.sender.cpu, turns.plain.sender),
                    perGiB(turns.plain.sender.faults, turns.plain.sender));
        perGiBCpu.push_back(perGiB(sender.cpu, sender));
        worstFaults = std::max(worstFaults, perGiB(sender.faults, sender));
        whole = turns.whole() && whole;
        ratios.push_back(rate(turns.program) / rate(turns.plain));
        cpus.push_back(cpuShare(sender));
        peakRss = std::max(peakRss, sender.maxRssMiB);
    }
    std::printf("  ratio veltrane / plain: median %.3f (goal >= 0.95), lowest %.3f\n", median(ratios),
                *std::min_element(ratios.begin(), ratios.end()));
    std::printf("  sender per GiB: median %.2f CPU s; minor faults, worst run %.0f (goal < 10000)\n", median(perGiBCpu),
                worstFaults);
    std::printf("  sender CPU: median %.1f %% of wall; sender peak RSS (ru_maxrss) %.1f MiB\n", median(cpus), peakRss);
    return whole ? 0 : 1;
}
