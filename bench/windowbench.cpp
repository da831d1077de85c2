// Prints what the station window costs its own thread while 16 and 64 slots flash at once, and
// the boards per hour of the same 16-slot station with the window and with lumedra-cli --station.
// Unpaced loaders: boards come as fast as the host takes them, the worst case for the window.
// A harness thread plays the operator: once a board's loader has answered the finish frame, it
// unplugs the board (the link in the fixture's folder goes, the loader closes its line) and plugs
// in a fresh one. The same harness serves both runs.
//   QT_QPA_PLATFORM=offscreen lumedra-bench-window
#include "stationui/stationwindow.h"
#include "testing/kit/images.h"
#include "testing/simloader/simloader.h"
#include "bench/usage.h"
#include "testing/kit/waitfor.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace
{

constexpr int ImageSize = 16 << 10;
constexpr int FewSlots = 16;
constexpr int ManySlots = 64;
constexpr int WarmUpMs = 3000;
constexpr int MeasureMs = 10000;
constexpr int SettleMs = 100; // after the finish frame's reply, before the board is taken away
constexpr int HarnessTickMs = 5;
constexpr double SecondsPerHour = 3600;
constexpr double MostCpuShare = 0.05;
constexpr double MostRateGap = 0.02;

// The fixture: a link per slot to the board plugged in there, swapped on a thread of its own.
class Fixture
{
public:
    Fixture(const QTemporaryDir &dir, int slotCount) : dir(dir), boards(size_t(slotCount)) {}
    ~Fixture() { stop(); }

    QString link(int slot) const { return dir.filePath(QString("slot-%1").arg(slot + 1)); }

    bool start()
    {
        for (size_t s = 0; s < boards.size(); ++s)
            if (!plug(int(s)))
                return false;
        worker = std::thread([this] { run(); });
        return true;
    }

    void stop()
    {
        over = true;
        if (worker.joinable())
            worker.join();
    }

    int flashed() const { return count; }

private:
    struct Board {
        std::unique_ptr<SimLoader> loader;
        std::chrono::steady_clock::time_point finishedAt{};
    };

    bool plug(int slot)
    {
        SimLoader::Faults line;
        line.recordBlocks = false;
        Board &board = boards[size_t(slot)];
        board.loader = std::make_unique<SimLoader>(line);
        board.finishedAt = {};
        return board.loader->start() && QFile::link(board.loader->portName(), link(slot));
    }

    void run()
    {
        while (!over) {
            const auto now = std::chrono::steady_clock::now();
            for (size_t s = 0; s < boards.size(); ++s) {
                Board &board = boards[s];
                if (board.finishedAt == std::chrono::steady_clock::time_point{}) {
                    if (board.loader->count(SimLoader::Frame::Finish) > 0)
                        board.finishedAt = now;
                    continue;
                }
                if (now - board.finishedAt < std::chrono::milliseconds(SettleMs))
                    continue;
                QFile::remove(link(int(s)));
                board.loader->stop();
                ++count;
                plug(int(s));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(HarnessTickMs));
        }
    }

    const QTemporaryDir &dir;
    std::vector<Board> boards;
    std::thread worker;
    std::atomic<bool> over{false};
    std::atomic<int> count{0};
};

QString writeJob(const QTemporaryDir &dir, const QString &imagePath, int slotCount)
{
    QByteArray text =
        "[job]\nversion = 1\nimage = " + QFile::encodeName(imagePath) + "\ngone-after = 1\n";
    for (int s = 1; s <= slotCount; ++s)
        text += QString("[slot.%1]\nport = %2\n")
                    .arg(s)
                    .arg(dir.filePath(QString("slot-%1").arg(s)))
                    .toUtf8();
    return writeFile(dir.path(), "bench.job", text);
}

struct Run {
    double cpuShare = 0; // of one core, the window's own thread
    double perHour = 0;
    bool ok = false;
};

// Lets the event loop run for `ms` without waking it: waitFor's polling would be counted as the
// window's own time.
void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Boards flashed while the station runs, after a warm-up; `during` says the boards per hour.
double measure(Fixture &fixture, double *wallSeconds)
{
    idle(WarmUpMs);
    const int before = fixture.flashed();
    QElapsedTimer clock;
    clock.start();
    idle(MeasureMs);
    *wallSeconds = clock.nsecsElapsed() / 1e9;
    return (fixture.flashed() - before) * SecondsPerHour / *wallSeconds;
}

Run windowRun(const QString &imagePath, int slotCount)
{
    Run run;
    QTemporaryDir dir;
    const QString job = writeJob(dir, imagePath, slotCount);
    StationWindow window(false);
    window.resize(1280, 820);
    window.show();
    bool loaded = false;
    QObject::connect(&window, &StationWindow::jobLoaded, [&](bool ok) { loaded = ok; });
    window.openJob(job, true);
    Fixture fixture(dir, slotCount);
    if (!waitFor([&] { return loaded; }, MeasureMs) || !fixture.start())
        return run;
    idle(WarmUpMs);
    // Measured over the second warm-up and the boards' count together.
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = threadCpuSeconds();
    double wall = 0;
    run.perHour = measure(fixture, &wall);
    run.cpuShare = (threadCpuSeconds() - cpuBefore) / (clock.nsecsElapsed() / 1e9);
    fixture.stop();
    bool stopped = false;
    QObject::connect(&window, &StationWindow::stopped, [&] { stopped = true; });
    window.stop();
    run.ok = run.perHour > 0 && waitFor([&] { return stopped; }, MeasureMs);
    return run;
}

Run cliRun(const QString &imagePath, int slotCount)
{
    Run run;
    QTemporaryDir dir;
    const QString job = writeJob(dir, imagePath, slotCount);
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setStandardErrorFile(QProcess::nullDevice());
    cli.start(LUMEDRA_CLI, {"--station", "--quiet", "--job", job});
    Fixture fixture(dir, slotCount);
    if (!cli.waitForStarted() || !fixture.start())
        return run;
    double wall = 0;
    run.perHour = measure(fixture, &wall);
    fixture.stop();
    ::kill(pid_t(cli.processId()), SIGINT);
    run.ok = run.perHour > 0 && cli.waitForFinished(MeasureMs) && cli.exitCode() == 130;
    return run;
}

bool verdict(const char *target, double value, const char *relation, double limit, bool held)
{
    std::printf("%-40s %8.2f %% %s %7.2f %%  %s\n", target, value * 100, relation, limit * 100,
                held ? "PASS" : "FAIL");
    return held;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("lumedra-bench");
    QLoggingCategory::setFilterRules("lumedra.engine.debug=false");
    QTemporaryDir dir;
    const QString imagePath = writeFile(dir.path(), "image.bin", randomImage(ImageSize, 42));

    const Run few = windowRun(imagePath, FewSlots);
    const Run many = windowRun(imagePath, ManySlots);
    const Run cli = cliRun(imagePath, FewSlots);

    const double gap = cli.perHour > 0 ? std::abs(few.perHour / cli.perHour - 1) : 1;
    std::printf("%-40s %12s\n", "measure", "value");
    std::printf("%-40s %10.2f %%\n", "window's thread, 16 slots, one core", few.cpuShare * 100);
    std::printf("%-40s %10.2f %%\n", "window's thread, 64 slots, one core", many.cpuShare * 100);
    std::printf("%-40s %10.0f /h\n", "boards per hour, 16 slots, window", few.perHour);
    std::printf("%-40s %10.0f /h\n", "boards per hour, 16 slots, command line", cli.perHour);
    std::printf("%-40s %10.0f /h\n", "boards per hour, 64 slots, window", many.perHour);
    std::printf("\n");
    bool ok = few.ok && many.ok && cli.ok;
    ok &= verdict("window's CPU, 16 slots", few.cpuShare, "<=", MostCpuShare,
                  few.cpuShare <= MostCpuShare);
    ok &= verdict("boards per hour, window vs command line", gap, "<=", MostRateGap,
                  gap <= MostRateGap);
    std::printf("BENCH_WINDOW ok=%d cpu_16=%.4f cpu_64=%.4f per_hour_window=%.0f "
                "per_hour_cli=%.0f per_hour_64=%.0f\n",
                ok, few.cpuShare, many.cpuShare, few.perHour, cli.perHour, many.perHour);
    return ok ? 0 : 1;
}
