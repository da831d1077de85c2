// Prints what the station window and lumedra-cli --station cost their main thread, read from
// /proc outside the program, each figure against its target, in two regimes:
// - mid-image: 64 slots on loaders paced at 115200 baud (a 512 KiB image, the window and the
//   command line, with the share of the machine the loaders take), and 16 unpaced slots (4 MiB);
// - boards turning over: 16 and 64 unpaced slots with a 16 KiB image, the worst case for a view,
//   and the boards per hour of the 16-slot station with the window and with the command line.
// A harness thread plays the operator: once a board's loader has answered the finish frame, it
// unplugs the board (the link in the fixture's folder goes, the loader closes its line) and plugs
// in a fresh one. The same harness serves every run.
//   QT_QPA_PLATFORM=offscreen lumedra-bench-window [--turnover]
// --turnover: the two window runs with boards turning over alone, for a profiler.
#include "bench/clirun.h"
#include "bench/figures.h"
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
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace
{

constexpr int ShortImageSize = 16 << 10;
constexpr int PacedImageSize = 512 << 10;
constexpr int LongImageSize = 4 << 20;
constexpr int LineBaud = 115200;
constexpr int FewSlots = 16;
constexpr int ManySlots = 64;
constexpr int WarmUpMs = 3000;
constexpr int MeasureMs = 10000;
constexpr int ShortWarmUpMs = 1500;
constexpr int ShortMeasureMs = 4000;
constexpr int SettleMs = 100; // after the finish frame's reply, before the board is taken away
constexpr int HarnessTickMs = 5;
constexpr double SecondsPerHour = 3600;
constexpr double MostPacedShare = 0.02;
constexpr double MostFewShare = 0.03;
constexpr double MostManyShare = 0.08;
constexpr double MostLongShare = 0.03;
constexpr double MostRateGap = 0.02;

SimLoader::Faults unpacedLine()
{
    SimLoader::Faults line;
    line.recordBlocks = false;
    return line;
}

SimLoader::Faults pacedLine()
{
    SimLoader::Faults line = unpacedLine();
    line.throttleBaud = LineBaud;
    return line;
}

// The operator: on a thread of its own, swaps each board that took the finish frame for a fresh
// one.
class Operator
{
public:
    Operator(int slotCount, const SimLoader::Faults &line) : fixture(slotCount, line) {}
    ~Operator() { stop(); }

    QString slotPath(int slot) const { return fixture.slotPath(slot); }

    // Boards turning over: a thread swaps them; mid-image, they stay as plugged in.
    bool start(bool turnover)
    {
        if (!fixture.isValid() || !fixture.plugAll())
            return false;
        if (!turnover)
            return true;
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
    // Mid-image only: the fixture is not the thread's then.
    int underWay() const { return fixture.underWay(); }

private:
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

// What a station is asked to do: its slots, their loaders and image, and whether the boards
// should turn over while it is measured or all stay mid-image.
struct Load {
    int slotCount = 0;
    SimLoader::Faults line;
    QString imagePath;
    bool turnover = true;
    // An unpaced image of 4 MiB is soon through.
    int warmUpMs = WarmUpMs;
    int measureMs = MeasureMs;
};

struct Run {
    double mainShare = NAN;    // of one core, the view's main thread, from /proc
    double harnessShare = NAN; // of the machine, the simulated loaders and the operator
    double stationShare = NAN; // of the machine, the view and its slots: all its threads
    double wakeUps = 0;        // of the main thread, a second
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

// Measures the main thread `tid` of process `pid` (0: this one) after a warm-up; mid-image,
// only when every board was under way all along.
Run measure(const Load &load, Operator &op, qint64 pid, qint64 tid)
{
    Run run;
    idle(load.warmUpMs);
    const bool busyBefore = load.turnover || op.underWay() == load.slotCount;
    const int flashedBefore = op.flashed();
    const double mainBefore = taskCpuSeconds(pid, tid);
    const qint64 wakeUpsBefore = taskWakeUps(pid, tid);
    const double harnessBefore = harnessCpuSeconds();
    const double processBefore = processCpuSeconds(pid);
    QElapsedTimer clock;
    clock.start();
    idle(load.measureMs);
    const double wall = clock.nsecsElapsed() / 1e9;
    run.mainShare = (taskCpuSeconds(pid, tid) - mainBefore) / wall;
    run.wakeUps = (taskWakeUps(pid, tid) - wakeUpsBefore) / wall;
    const double harness = harnessCpuSeconds() - harnessBefore;
    // In this process, the window's share is what the harness leaves.
    const double station = processCpuSeconds(pid) - processBefore - (pid == 0 ? harness : 0);
    run.harnessShare = harness / wall / QThread::idealThreadCount();
    run.stationShare = station / wall / QThread::idealThreadCount();
    run.perHour = (op.flashed() - flashedBefore) * SecondsPerHour / wall;
    run.ok = load.turnover ? run.perHour > 0 : busyBefore && op.underWay() == load.slotCount;
    return run;
}

Run windowRun(const Load &load)
{
    QTemporaryDir dir;
    Operator op(load.slotCount, load.line);
    const QString job = writeJob(dir, op, load.imagePath, load.slotCount);
    StationWindow window(false);
    window.resize(1280, 820);
    window.show();
    bool loaded = false;
    QObject::connect(&window, &StationWindow::jobLoaded, [&](bool ok) { loaded = ok; });
    window.openJob(job, true);
    if (!waitFor([&] { return loaded; }, MeasureMs) || !op.start(load.turnover))
        return {};
    Run run = measure(load, op, 0, currentTid());
    op.stop();
    bool stopped = false;
    QObject::connect(&window, &StationWindow::stopped, [&] { stopped = true; });
    window.stop();
    // Boards mid-image: the window asks first.
    for (QMessageBox *box : window.findChildren<QMessageBox *>())
        box->button(QMessageBox::Yes)->click();
    run.ok = run.ok && waitFor([&] { return stopped; }, MeasureMs);
    return run;
}

// `view`: the command line's options for what it prints.
Run cliRun(const Load &load, const QStringList &view)
{
    QTemporaryDir dir;
    Operator op(load.slotCount, load.line);
    const QString job = writeJob(dir, op, load.imagePath, load.slotCount);
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setStandardErrorFile(QProcess::nullDevice());
    cli.start(LUMEDRA_CLI, QStringList{"--station", "--job", job} + view);
    if (!cli.waitForStarted() || !op.start(load.turnover))
        return {};
    const qint64 pid = cli.processId();
    Run run = measure(load, op, pid, pid);
    op.stop();
    interrupt(cli);
    run.ok = run.ok && cli.waitForFinished(MeasureMs) && cli.exitCode() == 130;
    return run;
}

double checked(const Run &run, double value)
{
    return run.ok ? value : NAN;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The boards' records go to a store of the benchmark's own, not the user's.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    QCoreApplication::setOrganizationName("lumedra-bench");
    QLoggingCategory::setFilterRules("lumedra.engine.debug=false");
    QTemporaryDir dir;
    const QString shortImage = writeFile(dir.path(), "short.bin", randomImage(ShortImageSize, 42));
    const QString pacedImage = writeFile(dir.path(), "paced.bin", randomImage(PacedImageSize, 43));
    const QString longImage = writeFile(dir.path(), "long.bin", randomImage(LongImageSize, 44));

    const Load paced{ManySlots, pacedLine(), pacedImage, false};
    const Load longFew{FewSlots, unpacedLine(), longImage, false, ShortWarmUpMs, ShortMeasureMs};
    const Load turnFew{FewSlots, unpacedLine(), shortImage, true};
    const Load turnMany{ManySlots, unpacedLine(), shortImage, true};

    if (app.arguments().contains("--turnover")) {
        for (const Load &load : {turnFew, turnMany}) {
            const Run run = windowRun(load);
            std::printf("window, %d unpaced slots, turning over: main thread %.2f %% of one core, "
                        "%.0f boards per hour%s\n",
                        load.slotCount, run.mainShare * 100, run.perHour,
                        run.ok ? "" : " (did not run as asked)");
        }
        return 0;
    }
    const Run pacedWindow = windowRun(paced);
    const Run pacedCli = cliRun(paced, {"--json"});
    const Run longWindow = windowRun(longFew);
    const Run few = windowRun(turnFew);
    const Run many = windowRun(turnMany);
    const Run cli = cliRun(turnFew, {"--quiet"});

    std::printf("%-52s %10s %8s %10s %10s %10s\n", "measure", "main", "main", "station", "loaders",
                "boards");
    std::printf("%-52s %10s %8s %10s %10s %10s\n", "", "one core", "wakes/s", "machine", "machine",
                "per hour");
    const auto row = [](const char *name, const Run &run) {
        std::printf("%-52s %8.2f %% %8.0f %8.2f %% %8.2f %% %10.0f%s\n", name, run.mainShare * 100,
                    run.wakeUps, run.stationShare * 100, run.harnessShare * 100, run.perHour,
                    run.ok ? "" : "  (did not run as asked)");
    };
    row("window, 64 slots at 115200, mid-image", pacedWindow);
    row("command line --json, 64 slots at 115200, mid-image", pacedCli);
    row("window, 16 unpaced slots, mid-image (4 MiB)", longWindow);
    row("window, 16 unpaced slots, boards turning over", few);
    row("window, 64 unpaced slots, boards turning over", many);
    row("command line --quiet, 16 unpaced slots, turning over", cli);
    std::printf("\n");

    const double gap = cli.perHour > 0 ? std::abs(few.perHour / cli.perHour - 1) : NAN;
    Figures figures;
    figures.add("window's main thread, 64 slots at 115200, mid-image",
                checked(pacedWindow, pacedWindow.mainShare), Figures::Bound::AtMost, MostPacedShare,
                Figures::Unit::Percent);
    figures.add("command line's main thread, 64 slots at 115200, mid-image",
                checked(pacedCli, pacedCli.mainShare), Figures::Bound::AtMost, MostPacedShare,
                Figures::Unit::Percent);
    figures.add("window's main thread, 16 unpaced slots, turning over", checked(few, few.mainShare),
                Figures::Bound::AtMost, MostFewShare, Figures::Unit::Percent);
    figures.add("window's main thread, 64 unpaced slots, turning over",
                checked(many, many.mainShare), Figures::Bound::AtMost, MostManyShare,
                Figures::Unit::Percent);
    figures.add("window's main thread, 16 unpaced slots, mid-image (4 MiB)",
                checked(longWindow, longWindow.mainShare), Figures::Bound::AtMost, MostLongShare,
                Figures::Unit::Percent);
    figures.add("boards per hour, window vs command line, 16 slots (gap)",
                few.ok && cli.ok ? gap : NAN, Figures::Bound::AtMost, MostRateGap,
                Figures::Unit::Percent);
    const bool ok = figures.print();
    std::printf("BENCH_WINDOW ok=%d paced_64=%.4f paced_64_cli=%.4f loaders_64=%.4f "
                "cpu_16=%.4f cpu_64=%.4f long_16=%.4f per_hour_window=%.0f per_hour_cli=%.0f "
                "per_hour_64=%.0f\n",
                ok, pacedWindow.mainShare, pacedCli.mainShare, pacedWindow.harnessShare,
                few.mainShare, many.mainShare, longWindow.mainShare, few.perHour, cli.perHour,
                many.perHour);
    return ok ? 0 : 1;
}
