// Prints what lumedra-cli's production station costs per board beyond the download itself, how
// its boards per hour scale from one slot to 16, and its CPU per block and peak memory against a
// plain run of 16 boards at once. Boards come one after another on each slot: the benchmark plugs a
// simulated loader in (a link in the fixture's folder), waits until the station reports it,
// unplugs it (the link goes, the loader closes its line) and plugs in the next.
//   lumedra-bench-station
#include "bench/clirun.h"
#include "bench/stationfixture.h"
#include "bench/usage.h"
#include "bench/verdict.h"
#include "download/protocol.h"
#include "testing/kit/images.h"
#include "testing/simloader/simloader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>

namespace
{

constexpr int ImageSize = 16 << 10;
constexpr int LineBaud = 115200;
constexpr int Slots = 16;
constexpr int BoardsPerSlot = 4;
constexpr int TimeoutMs = 30000;
constexpr double SecondsPerHour = 3600;

struct Run {
    int boards = 0;
    double wallSeconds = 0;     // from the first board plugged in to the last one flashed
    double downloadSeconds = 0; // mean, from a board's first handshake to its finish frame
    double wakeSeconds = 0;     // mean, of which before the header
    double cpuSeconds = 0;
    qint64 peakKiB = 0;
    bool ok = false;
};

// A board's download as its loader saw it: from the first handshake to the finish frame, and the
// part of it before the header (the handshakes and the pause after the rate switch).
struct Download {
    double seconds = 0;
    double wakeSeconds = 0;
};

Download downloadOf(const SimLoader &loader)
{
    qint64 first = -1, header = -1, finish = -1;
    for (const SimLoader::Frame &f : loader.frames()) {
        if (f.kind == SimLoader::Frame::Handshake && first < 0)
            first = f.atUs;
        if (f.kind == SimLoader::Frame::Header && header < 0)
            header = f.atUs;
        if (f.kind == SimLoader::Frame::Finish)
            finish = f.atUs;
    }
    if (first < 0 || header < 0 || finish < 0)
        return {};
    return {(finish - first) / 1e6, (header - first) / 1e6};
}

SimLoader::Faults pacedLine()
{
    SimLoader::Faults line;
    line.throttleBaud = LineBaud;
    line.recordBlocks = false;
    return line;
}

// A station of `slotCount` slots, each seeing `perSlot` boards one after another.
Run station(const QString &imagePath, const QByteArray &image, int slotCount, int perSlot)
{
    Run run;
    StationFixture fixture(slotCount, pacedLine());
    if (!fixture.isValid() || !fixture.prepare(perSlot))
        return run;
    QProcess cli;
    cli.setStandardErrorFile(QProcess::nullDevice());
    const double cpuBefore = childCpuSeconds();
    cli.start(LUMEDRA_CLI, QStringList{"--station", "--gone-after", "1", "--json", imagePath} +
                               fixture.portArguments());
    if (!cli.waitForStarted())
        return run;

    QElapsedTimer clock;
    clock.start();
    if (!fixture.plugAll())
        return run;
    bool exact = true;
    const bool finished = fixture.serve(
        cli, perSlot, TimeoutMs, [&](const QJsonObject &event, const SimLoader &board) {
            exact = exact && event["result"] == "done" && board.image() == image;
            ++run.boards;
        });
    run.wallSeconds = clock.nsecsElapsed() / 1e9;
    // The high-water mark, read while the process lives: once it has ended, /proc no longer has it.
    run.peakKiB = statusKiB("VmHWM:", cli.processId());
    ::kill(pid_t(cli.processId()), SIGINT);
    cli.waitForFinished(TimeoutMs);
    run.cpuSeconds = childCpuSeconds() - cpuBefore;
    for (int s = 0; s < slotCount; ++s)
        for (const auto &board : fixture.boards(s)) {
            const Download download = downloadOf(*board);
            run.downloadSeconds += download.seconds / run.boards;
            run.wakeSeconds += download.wakeSeconds / run.boards;
        }
    run.ok = finished && exact && cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 130;
    return run;
}

// A plain run of `boards` boards at once, one a port; JSON, as the station's run has it for its
// harness.
Run plain(const QString &imagePath, const QByteArray &image, int boards)
{
    const CliRun cli = runCli(LUMEDRA_CLI, imagePath, image, boards, pacedLine(), {"--json"});
    Run run;
    run.boards = boards;
    run.wallSeconds = cli.wallSeconds;
    run.cpuSeconds = cli.cpuSeconds;
    run.peakKiB = cli.peakKiB;
    run.ok = cli.ok;
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QByteArray image = randomImage(ImageSize, 42);
    QTemporaryDir dir;
    const QString imagePath = writeFile(dir.path(), "image.bin", image);
    const double blocks = double(ImageSize) / Protocol::MaxBlockLength;

    const Run one = station(imagePath, image, 1, BoardsPerSlot);
    const Run many = station(imagePath, image, Slots, BoardsPerSlot);
    const Run flat = plain(imagePath, image, Slots);

    const auto perBoard = [](const Run &run, int slotCount) {
        return run.wallSeconds / (double(run.boards) / slotCount);
    };
    const auto perHour = [](const Run &run) {
        return run.boards * SecondsPerHour / run.wallSeconds;
    };
    const auto cpuPerBlock = [blocks](const Run &run) {
        return run.cpuSeconds * 1e6 / (run.boards * blocks);
    };
    const double costOne = perBoard(one, 1) - one.downloadSeconds;
    const double costMany = perBoard(many, Slots) - many.downloadSeconds;

    std::printf("%-40s %12s %12s %10s\n", "measure", "value", "against", "ratio");
    std::printf("%-40s %10.3f s %10.3f s\n", "wall per board, 1 slot (vs download)",
                perBoard(one, 1), one.downloadSeconds);
    std::printf("%-40s %10.3f s %10.3f s\n", "wall per board, 16 slots (vs download)",
                perBoard(many, Slots), many.downloadSeconds);
    std::printf("%-40s %10.3f s\n", "station's cost per board, 1 slot", costOne);
    std::printf("%-40s %10.3f s\n", "station's cost per board, 16 slots", costMany);
    std::printf("%-40s %10.3f s\n", "of the download: handshakes and pause", many.wakeSeconds);
    std::printf("%-40s %10.0f /h %9.0f /h %9.2fx\n", "boards per hour, 16 slots vs 1",
                perHour(many), perHour(one), perHour(many) / perHour(one));
    std::printf("%-40s %9.1f us %9.1f us %9.2fx\n", "CPU per block, station vs plain run",
                cpuPerBlock(many), cpuPerBlock(flat), cpuPerBlock(many) / cpuPerBlock(flat));
    std::printf("%-40s %8lld KiB %8lld KiB %9.2fx\n", "peak memory, station vs plain run",
                many.peakKiB, flat.peakKiB, double(many.peakKiB) / flat.peakKiB);

    bool ok = one.ok && many.ok && flat.ok;
    ok &= verdict("station's own cost per board at most 0.5 s (16 slots)", costMany <= 0.5);
    ok &= verdict("16 slots at least 0.9 x 16 x one slot's boards per hour",
                  perHour(many) >= 0.9 * Slots * perHour(one));
    std::printf("BENCH_STATION ok=%d cost_1=%.3f cost_16=%.3f per_hour_1=%.0f per_hour_16=%.0f "
                "scaling=%.2f cpu_ratio=%.2f memory_ratio=%.2f\n",
                ok, costOne, costMany, perHour(one), perHour(many),
                perHour(many) / perHour(one) / Slots, cpuPerBlock(many) / cpuPerBlock(flat),
                double(many.peakKiB) / flat.peakKiB);
    return ok ? 0 : 1;
}
