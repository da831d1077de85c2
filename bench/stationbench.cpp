// Prints what lumedra-cli's production station costs beside a plain run and beside the wire, each
// figure against its target:
// - between boards (16 KiB images at 115200 baud, boards coming one after another on 1 and 16
//   slots): boards per hour of 16 slots against 16 x one slot's, a board's own seconds against the
//   wall time from its port appearing to its record, and the CPU per block against a plain run of
//   16 boards at once, start and exit included;
// - mid-image (16 MiB images on 16 unpaced slots): the CPU per block from /proc, outside the
//   program, against a plain run's in the same state.
// The benchmark plugs a simulated loader in (a link in the fixture's folder), waits until the
// station reports it, unplugs it (the link goes, the loader closes its line) and plugs in the next.
//   lumedra-bench-station
#include "bench/clirun.h"
#include "bench/figures.h"
#include "bench/stationfixture.h"
#include "bench/usage.h"
#include "download/protocol.h"
#include "testing/kit/images.h"
#include "testing/simloader/simloader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <functional>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int ImageSize = 16 << 10;
constexpr int LongImageSize = 16 << 20; // lasts past the measure on an idle machine
constexpr int LineBaud = 115200;
constexpr int Slots = 16;
constexpr int BoardsPerSlot = 4;
constexpr int TimeoutMs = 30000;
constexpr int WarmUpMs = 3000;
constexpr int MeasureMs = 10000;
constexpr double SecondsPerHour = 3600;
constexpr double MostCpuRatio = 1.2;
constexpr double LeastOwnShare = 0.99;
constexpr double LeastScaling = 15.8;

struct Run {
    int boards = 0;
    double wallSeconds = 0;     // from the first board plugged in to the last one flashed
    double downloadSeconds = 0; // mean, from a board's first handshake to its finish frame
    double wakeSeconds = 0;     // mean, of which before the header
    double ownShare = 0;        // the boards' downloads against their ports' appearing to records
    double cpuSeconds = 0;
    qint64 peakKiB = 0;
    bool ok = false;
};

// A board's download as its loader saw it: from the first handshake to the finish frame, and the
// part of it before the header (the handshakes and the pause after the rate switch).
struct Download {
    Clock::time_point first{};
    Clock::time_point finish{};
    double wakeSeconds = 0;
    double seconds() const { return std::chrono::duration<double>(finish - first).count(); }
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
    return {loader.openedAt() + std::chrono::microseconds(first),
            loader.openedAt() + std::chrono::microseconds(finish), (header - first) / 1e6};
}

SimLoader::Faults pacedLine()
{
    SimLoader::Faults line;
    line.throttleBaud = LineBaud;
    line.recordBlocks = false;
    return line;
}

SimLoader::Faults unpacedLine()
{
    SimLoader::Faults line;
    line.recordBlocks = false;
    return line;
}

// Each board's record as the log holds it, by slot (from 0), in order.
QVector<QVector<QDateTime>> recordTimes(const QString &logPath, int slotCount)
{
    QVector<QVector<QDateTime>> times(slotCount);
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return times;
    while (!log.atEnd()) {
        const QJsonObject line = QJsonDocument::fromJson(log.readLine()).object();
        const int s = line["slot"].toInt() - 1;
        if (s >= 0 && s < slotCount)
            times[s] << QDateTime::fromString(line["time"].toString(), Qt::ISODateWithMs);
    }
    return times;
}

// The boards' own seconds against the wall time from each one's port appearing (its link made)
// to its record's time.
double ownShare(const StationFixture &fixture, const QString &logPath, int slotCount)
{
    // The records carry the system clock's time, the fixture the steady clock's.
    const qint64 epochMs = QDateTime::currentMSecsSinceEpoch();
    const Clock::time_point now = Clock::now();
    const auto sinceEpochMs = [&](Clock::time_point at) {
        return epochMs - std::chrono::duration<double, std::milli>(now - at).count();
    };
    const QVector<QVector<QDateTime>> records = recordTimes(logPath, slotCount);
    double own = 0, wall = 0;
    for (int s = 0; s < slotCount; ++s) {
        const auto &boards = fixture.boards(s);
        const auto &plugged = fixture.pluggedAt(s);
        for (int k = 0; k < records[s].size() && k < int(plugged.size()); ++k) {
            own += downloadOf(*boards[size_t(k)]).seconds();
            wall += (records[s][k].toMSecsSinceEpoch() - sinceEpochMs(plugged[size_t(k)])) / 1e3;
        }
    }
    return wall > 0 ? own / wall : 0;
}

// A station of `slotCount` slots, each seeing `perSlot` boards one after another.
Run station(const QString &imagePath, const QByteArray &image, int slotCount, int perSlot)
{
    Run run;
    StationFixture fixture(slotCount, pacedLine());
    QTemporaryDir logDir;
    const QString logPath = logDir.filePath("boards.jsonl");
    if (!fixture.isValid() || !fixture.prepare(perSlot))
        return run;
    QProcess cli;
    cli.setStandardErrorFile(QProcess::nullDevice());
    const double cpuBefore = childCpuSeconds();
    cli.start(LUMEDRA_CLI,
              QStringList{"--station", "--gone-after", "1", "--json", "--log", logPath, imagePath} +
                  fixture.portArguments());
    if (!cli.waitForStarted() || !fixture.awaitLooking(cli, TimeoutMs))
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
    interrupt(cli);
    cli.waitForFinished(TimeoutMs);
    run.cpuSeconds = childCpuSeconds() - cpuBefore;
    for (int s = 0; s < slotCount; ++s)
        for (const auto &board : fixture.boards(s)) {
            const Download download = downloadOf(*board);
            run.downloadSeconds += download.seconds() / run.boards;
            run.wakeSeconds += download.wakeSeconds / run.boards;
        }
    run.ownShare = ownShare(fixture, logPath, slotCount);
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

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The CPU per block (microseconds) of `cli` from /proc while every board is under way; NaN when
// a board was not under way all along.
double midImageCpuPerBlock(QProcess &cli, const std::function<qint64()> &accepted,
                           const std::function<bool()> &allUnderWay)
{
    if (!cli.waitForStarted())
        return std::nan("");
    idle(WarmUpMs);
    const bool before = allUnderWay();
    const double cpuBefore = processCpuSeconds(cli.processId());
    const qint64 bytesBefore = accepted();
    idle(MeasureMs);
    const double cpu = processCpuSeconds(cli.processId()) - cpuBefore;
    const qint64 bytes = accepted() - bytesBefore;
    const bool after = allUnderWay();
    interrupt(cli);
    cli.waitForFinished(TimeoutMs);
    if (!before || !after || bytes <= 0)
        return std::nan("");
    return cpu * 1e6 / (double(bytes) / Protocol::MaxBlockLength);
}

double stationMidImage(const QString &imagePath)
{
    StationFixture fixture(Slots, unpacedLine());
    if (!fixture.isValid() || !fixture.prepare(1))
        return std::nan("");
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setStandardErrorFile(QProcess::nullDevice());
    cli.start(LUMEDRA_CLI, QStringList{"--station", "--json", imagePath} + fixture.portArguments());
    if (!fixture.plugAll())
        return std::nan("");
    return midImageCpuPerBlock(
        cli,
        [&] {
            qint64 bytes = 0;
            for (int s = 0; s < Slots; ++s)
                bytes += fixture.boards(s).front()->image().size();
            return bytes;
        },
        [&] { return fixture.underWay() == Slots; });
}

double plainMidImage(const QString &imagePath)
{
    std::vector<std::unique_ptr<SimLoader>> loaders;
    QStringList args{"--json", imagePath};
    for (int i = 0; i < Slots; ++i) {
        loaders.push_back(std::make_unique<SimLoader>(unpacedLine()));
        if (!loaders.back()->start())
            return std::nan("");
        args << "-p" << loaders.back()->portName();
    }
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setStandardErrorFile(QProcess::nullDevice());
    cli.start(LUMEDRA_CLI, args);
    return midImageCpuPerBlock(
        cli,
        [&] {
            qint64 bytes = 0;
            for (const auto &loader : loaders)
                bytes += loader->image().size();
            return bytes;
        },
        [&] {
            for (const auto &loader : loaders)
                if (loader->count(SimLoader::Frame::Header) == 0 ||
                    loader->count(SimLoader::Frame::Finish) > 0)
                    return false;
            return true;
        });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The boards' records go to a store of the benchmark's own, not the user's.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    const QByteArray image = randomImage(ImageSize, 42);
    QTemporaryDir dir;
    const QString imagePath = writeFile(dir.path(), "image.bin", image);
    const QString longImagePath = writeFile(dir.path(), "long.bin", randomImage(LongImageSize, 43));
    const double blocks = double(ImageSize) / Protocol::MaxBlockLength;

    const Run one = station(imagePath, image, 1, BoardsPerSlot);
    const Run many = station(imagePath, image, Slots, BoardsPerSlot);
    const Run flat = plain(imagePath, image, Slots);
    const double stationMid = stationMidImage(longImagePath);
    const double plainMid = plainMidImage(longImagePath);

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

    std::printf("%-44s %12s %12s %10s\n", "measure", "value", "against", "ratio");
    std::printf("%-44s %10.3f s %10.3f s\n", "wall per board, 1 slot (vs download)",
                perBoard(one, 1), one.downloadSeconds);
    std::printf("%-44s %10.3f s %10.3f s\n", "wall per board, 16 slots (vs download)",
                perBoard(many, Slots), many.downloadSeconds);
    std::printf("%-44s %10.3f s\n", "station's cost per board, 1 slot", costOne);
    std::printf("%-44s %10.3f s\n", "station's cost per board, 16 slots", costMany);
    std::printf("%-44s %10.3f s\n", "of the download: handshakes and pause", many.wakeSeconds);
    std::printf("%-44s %10.0f /h %9.0f /h %9.2fx\n", "boards per hour, 16 slots vs 1",
                perHour(many), perHour(one), perHour(many) / perHour(one));
    std::printf("%-44s %9.1f us %9.1f us %9.2fx\n", "CPU per block between boards, vs plain",
                cpuPerBlock(many), cpuPerBlock(flat), cpuPerBlock(many) / cpuPerBlock(flat));
    std::printf("%-44s %9.1f us %9.1f us %9.2fx\n", "CPU per block mid-image (/proc), vs plain",
                stationMid, plainMid, stationMid / plainMid);
    std::printf("%-44s %8lld KiB %8lld KiB %9.2fx\n", "peak memory, station vs plain run",
                many.peakKiB, flat.peakKiB, double(many.peakKiB) / flat.peakKiB);
    std::printf("\n");

    const bool ran = one.ok && many.ok && flat.ok;
    Figures figures;
    const double nan = std::nan("");
    figures.add("station's CPU per block vs plain run's, between boards",
                ran ? cpuPerBlock(many) / cpuPerBlock(flat) : nan, Figures::Bound::AtMost,
                MostCpuRatio, Figures::Unit::Times);
    figures.add("station's CPU per block vs plain run's, mid-image (/proc)", stationMid / plainMid,
                Figures::Bound::AtMost, MostCpuRatio, Figures::Unit::Times);
    figures.add("board's own seconds vs port appearing to record, 16 slots",
                ran ? many.ownShare : nan, Figures::Bound::AtLeast, LeastOwnShare,
                Figures::Unit::Percent);
    figures.add("boards per hour, 16 slots vs one slot's", ran ? perHour(many) / perHour(one) : nan,
                Figures::Bound::AtLeast, LeastScaling, Figures::Unit::Times);
    const bool ok = figures.print();
    std::printf("BENCH_STATION ok=%d cost_1=%.3f cost_16=%.3f per_hour_1=%.0f per_hour_16=%.0f "
                "scaling=%.2f cpu_ratio=%.2f mid_image_cpu_ratio=%.2f own_share=%.4f "
                "memory_ratio=%.2f\n",
                ok, costOne, costMany, perHour(one), perHour(many), perHour(many) / perHour(one),
                cpuPerBlock(many) / cpuPerBlock(flat), stationMid / plainMid, many.ownShare,
                double(many.peakKiB) / flat.peakKiB);
    return ok ? 0 : 1;
}
