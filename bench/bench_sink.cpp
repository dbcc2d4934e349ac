// `veltrane receive --yes` (a fresh process of the built program) against a plain socket-to-file
// copy, each fed by the same plain sender (sendfile) over loopback, in turns in the same run, in a
// network namespace of its own. Arguments: [--size MiB] [--runs N].
#include "benchpeer.h"

using namespace bench;

int main(int argc, char **argv)
{
    prepareEnvironment(argc, argv);
    const Options options = parseOptions(argc, argv, 1024 * MiB, 3);
    const qint64 size = options.size;
    const Workspace space(size, 2);
    const QString into = QFileInfo(space.target).absolutePath() + QStringLiteral("/into");
    if (!space.ready || !QDir().mkpath(into))
        return 1;
    if (geteuid() != 0 || !Namespaces::loopback())
        return std::printf("bench_sink: skipped, it needs root for a network namespace\n"), 0;
    const char *ns = Namespaces::a.c_str();
    std::printf("bench_sink: %lld MiB over loopback from a plain sender into a file (MB = 1,000,000 bytes)\n",
                size / MiB);
    std::vector<double> ratios, perGiBCpu;
    double worstFaults = 0;
    bool whole = true;
    for (int run = 0; run < options.runs; ++run) {
        const Turns turns = inTurns(run, space, true, [&](bool program) {
            const Side receiver = [&](const std::function<void()> &ready) {
                if (!program)
                    return plainReader(ProgramPort, size, space.target, ready);
                const Report report = programReceiver(into, QStringLiteral("source.bin"), size, ready);
                QFile::rename(into + QStringLiteral("/source.bin"), space.target);
                return report;
            };
            const Side sender = [&](const std::function<void()> &) {
                return plainSender("127.0.0.1", ProgramPort, space.source, size);
            };
            return runPair(receiver, sender, size, ns, ns);
        });
        const Report &receiver = turns.program.receiver;
        std::printf("  run %d: veltrane %8.1f MB/s  plain %8.1f MB/s  ratio %.3f | receiver CPU %5.1f %% of wall "
                    "(plain %5.1f %%) | RSS at the start %.1f MiB, peak %.1f MiB | identical %s\n",
                    run + 1, rate(turns.program), rate(turns.plain), rate(turns.program) / rate(turns.plain),
                    cpuShare(receiver), cpuShare(turns.plain.receiver), receiver.idleMiB, receiver.peakMiB,
                    turns.identical ? "yes" : "NO");
        std::printf("    per GiB: receiver %.2f CPU s, %.0f minor faults (plain %.2f s, %.0f)\n",
                    perGiB(receiver.cpu, receiver), perGiB(receiver.faults, receiver),
                    perGiB(turns.plain.receiver.cpu, turns.plain.receiver),
                    perGiB(turns.plain.receiver.faults, turns.plain.receiver));
        perGiBCpu.push_back(perGiB(receiver.cpu, receiver));
        worstFaults = std::max(worstFaults, perGiB(receiver.faults, receiver));
        whole = turns.whole() && whole;
        ratios.push_back(rate(turns.program) / rate(turns.plain));
    }
    std::printf("  ratio veltrane / plain: median %.3f, lowest %.3f (goal >= 0.85)\n", median(ratios),
                *std::min_element(ratios.begin(), ratios.end()));
    std::printf("  receiver per GiB: median %.2f CPU s; minor faults, worst run %.0f (goal < 10000)\n",
                median(perGiBCpu), worstFaults);
    return whole ? 0 : 1;
}
