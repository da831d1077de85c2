// Prints how lumedra-cli scales with the number of boards: wall time and the program's CPU per
// block (start-up excluded) for 1, 8 and 32 simulated loaders, each on its own line paced at 115200
// baud, then a verdict for each target; exits 0 only when every run worked and every target held.
//   lumedra-bench-cli
#include "bench/clirun.h"
#include "bench/usage.h"
#include "download/protocol.h"
#include "testing/kit/images.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace
{

constexpr int ImageSize = 64 << 10;
constexpr int LineBaud = 115200;

// The targets (README, Many boards at once).
constexpr double MaxWallRatio8 = 1.1;
constexpr double MaxCpuRatio8 = 1.3;

struct Run {
    double wallSeconds = 0;
    double cpuUsPerBlock = 0;
    bool ok = false;
};

// The program's start and exit, measured on a port that does not exist; taken off each run's CPU
// so that what is left is the cost of the blocks.
double startupCpuSeconds(const QString &imagePath)
{
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setStandardErrorFile(QProcess::nullDevice());
    const double before = childCpuSeconds();
    cli.start(LUMEDRA_CLI, {imagePath, "-p", "lumedra-no-such-port"});
    cli.waitForFinished();
    return childCpuSeconds() - before;
}

// One lumedra-cli process downloading `image` to `boards` loaders at once.
Run measure(const QString &imagePath, const QByteArray &image, int boards, double startupCpu)
{
    SimLoader::Faults line;
    line.throttleBaud = LineBaud;
    line.recordBlocks = false;
    const CliRun cli = runCli(LUMEDRA_CLI, imagePath, image, boards, line);
    const double blocks = double(boards) * ImageSize / Protocol::MaxBlockLength;
    return {cli.wallSeconds, (cli.cpuSeconds - startupCpu) * 1e6 / blocks, cli.ok};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QByteArray image = randomImage(ImageSize, 42);
    QTemporaryDir dir;
    const QString imagePath = writeFile(dir.path(), "image.bin", image);

    const double startup = startupCpuSeconds(imagePath);
    const Run one = measure(imagePath, image, 1, startup);
    const Run eight = measure(imagePath, image, 8, startup);
    const Run many = measure(imagePath, image, 32, startup);

    std::printf("%-34s %12s %12s %10s\n", "measure", "value", "floor/bound", "ratio");
    std::printf("%-34s %10.3f s\n", "wall time, 1 board, 64 KiB", one.wallSeconds);
    std::printf("%-34s %9.1f ms\n", "CLI CPU to start and exit", startup * 1e3);
    std::printf("%-34s %10.3f s %10.3f s %9.2fx\n", "wall time, 8 boards vs 1", eight.wallSeconds,
                one.wallSeconds, eight.wallSeconds / one.wallSeconds);
    std::printf("%-34s %10.3f s %10.3f s %9.2fx\n", "wall time, 32 boards vs 1", many.wallSeconds,
                one.wallSeconds, many.wallSeconds / one.wallSeconds);
    std::printf("%-34s %9.1f us %9.1f us %9.2fx\n", "CLI CPU per block, 8 vs 1 boards",
                eight.cpuUsPerBlock, one.cpuUsPerBlock, eight.cpuUsPerBlock / one.cpuUsPerBlock);
    std::printf("%-34s %9.1f us %9.1f us %9.2fx\n", "CLI CPU per block, 32 vs 1 boards",
                many.cpuUsPerBlock, one.cpuUsPerBlock, many.cpuUsPerBlock / one.cpuUsPerBlock);

    // One line per target: the figure, the limit and whether it held; a failed run holds nothing.
    bool held = true;
    const auto atMost = [&held](const char *name, double value, double limit, bool valid) {
        const bool pass = valid && value <= limit;
        held = held && pass;
        std::printf("%-34s %11.2fx <= %8.2fx  %s\n", name, value, limit, pass ? "PASS" : "FAIL");
    };
    std::printf("\n%-34s %12s %2s %9s\n", "target", "value", "", "limit");
    atMost("wall time, 8 boards vs 1", eight.wallSeconds / one.wallSeconds, MaxWallRatio8,
           one.ok && eight.ok);
    atMost("CLI CPU per block, 8 vs 1 boards", eight.cpuUsPerBlock / one.cpuUsPerBlock,
           MaxCpuRatio8, one.ok && eight.ok);

    const bool ok = one.ok && eight.ok && many.ok && held;
    std::printf("BENCH_CLI ok=%d wall_1=%.3f wall_8=%.3f wall_32=%.3f wall_ratio_8=%.3f "
                "cpu_ratio_8=%.2f startup_cpu_ms=%.1f\n",
                ok, one.wallSeconds, eight.wallSeconds, many.wallSeconds,
                eight.wallSeconds / one.wallSeconds, eight.cpuUsPerBlock / one.cpuUsPerBlock,
                startup * 1e3);
    return ok ? 0 : 1;
}
