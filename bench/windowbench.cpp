// Prints what the station window costs its own thread while 16 and 64 slots flash at once, and
// the boards per hour of the same 16-slot station with the window and with lumedra-cli --station.
// Unpaced loaders: boards come as fast as the host takes them, the worst case for the window.
// A harness thread plays the operator: once a board's loader has answered the finish frame, it
// unplugs the board (the link in the fixture's folder goes, the loader closes its line) and plugs
// in a fresh one. The same harness serves both runs.
//   QT_QPA_PLATFORM=offscreen lumedra-bench-window
#include "bench/stationfixture.h"
#include "bench/usage.h"
#include "stationui/stationwindow.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"

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
#include <thread>

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

// The operator: on a thread of its own, swaps each board that took the finish frame for a fresh
// one.
class Operator
{
public:
    explicit Operator(int slotCount) : fixture(slotCount, quietLine()) {}
    ~Operator() { stop(); }

    QString slotPath(int slot) const { return fixture.slotPath(slot); }

    bool start()
    {
        if (!fixture.isValid() || !fixture.plugAll())
            return false;
        worker = std::thread([this] {
            while (!over) {
                count += fixture.swapFinished(std::chrono::milliseconds(SettleMs));
                std::this_thread::sleep_for(std::chrono::milliseconds(HarnessTickMs));
            }
        });
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
    static SimLoader::Faults quietLine()
    {
        SimLoader::Faults line;
        line.recordBlocks = false;
        return line;
    }

    StationFixture fixture;
    std::thread worker;
    std::atomic<bool> over{false};
    std::atomic<int> count{0};
};

QString writeJob(const QTemporaryDir &dir, const Operator &op, const QString &imagePath,
                 int slotCount)
{
    QByteArray text =
        "[job]\nversion = 1\nimage = " + QFile::encodeName(imagePath) + "\ngone-after = 1\n";
    for (int s = 0; s < slotCount; ++s)
        text += QString("[slot.%1]\nport = %2\n").arg(s + 1).arg(op.slotPath(s)).toUtf8();
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
double measure(Operator &op, double *wallSeconds)
{
    idle(WarmUpMs);
    const int before = op.flashed();
    QElapsedTimer clock;
    clock.start();
    idle(MeasureMs);
    *wallSeconds = clock.nsecsElapsed() / 1e9;
    return (op.flashed() - before) * SecondsPerHour / *wallSeconds;
}

Run windowRun(const QString &imagePath, int slotCount)
{
    Run run;
    QTemporaryDir dir;
    Operator op(slotCount);
    const QString job = writeJob(dir, op, imagePath, slotCount);
    StationWindow window(false);
    window.resize(1280, 820);
    window.show();
    bool loaded = false;
    QObject::connect(&window, &StationWindow::jobLoaded, [&](bool ok) { loaded = ok; });
    window.openJob(job, true);
    if (!waitFor([&] { return loaded; }, MeasureMs) || !op.start())
        return run;
    idle(WarmUpMs);
    // Measured over the second warm-up and the boards' count together.
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = threadCpuSeconds();
    double wall = 0;
    run.perHour = measure(op, &wall);
    run.cpuShare = (threadCpuSeconds() - cpuBefore) / (clock.nsecsElapsed() / 1e9);
    op.stop();
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
    Operator op(slotCount);
    const QString job = writeJob(dir, op, imagePath, slotCount);
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setStandardErrorFile(QProcess::nullDevice());
    cli.start(LUMEDRA_CLI, {"--station", "--quiet", "--job", job});
    if (!cli.waitForStarted() || !op.start())
        return run;
    double wall = 0;
    run.perHour = measure(op, &wall);
    op.stop();
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
