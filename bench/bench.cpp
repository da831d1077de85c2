// Prints where a download's time and memory go, each figure beside its floor or bound, then a
// verdict for each target; exits 0 only when every run worked and every target held.
//   lumedra-bench [--quick]
#include "bench/usage.h"
#include "download/dudozerdownload.h"
#include "download/protocol.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"
#include "testing/widgets/filedialoganswer.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>

#include "ui/mainwindow.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace
{

using Frame = SimLoader::Frame;

constexpr quint32 ImageSeed = 42;
constexpr char FloodChild[] = "--flood-child";

// The targets (README, Benchmark).
constexpr double MaxTurnaroundRatio = 1.5;
constexpr double MaxCpuLinearity = 1.2;
constexpr double MinLineEfficiency = 0.98;
constexpr double MaxMemoryRatio = 1.1;
constexpr double MaxFloodMiB = 16;
constexpr double MaxFloodCpuPercent = 5;

// Data phase as the loader saw it: from the header's arrival to the finish frame's.
double dataPhaseSeconds(const QVector<Frame> &frames)
{
    qint64 header = -1, finish = -1;
    for (const Frame &f : frames) {
        if (f.kind == Frame::Header && header < 0)
            header = f.atUs;
        if (f.kind == Frame::Finish)
            finish = f.atUs;
    }
    return (finish - header) / 1e6;
}

struct Measure {
    double dataSeconds = 0;
    double cpuSeconds = 0;
    bool ok = false;
};

// A download on a fresh engine at the fast rate, waited for in a real event loop (no polling that
// would add to every block); its first result, or -1 when it did not start or did not end in
// `limitMs`.
int downloadOnce(const QByteArray &image, const QString &port, int limitMs)
{
    dudoZerDownload engine;
    QEventLoop loop;
    int result = -1;
    QObject::connect(&engine, &dudoZerDownload::backInfo, &loop,
                     [&](dudoZerDownload::E_REBACK code) {
                         result = code;
                         loop.quit();
                     });
    if (!engine.startDownload(image.size(), 0, imageChecksum(image), image, port,
                              Protocol::FastBaudRate))
        return -1;
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return result;
}

Measure engineDownload(const QByteArray &image, const SimLoader::Faults &faults)
{
    SimLoader loader(faults);
    Measure m;
    if (!loader.start())
        return m;
    const double cpu = threadCpuSeconds();
    const int TenMinutesMs = 600000;
    const int result = downloadOnce(image, loader.portName(), TenMinutesMs);
    m.cpuSeconds = threadCpuSeconds() - cpu;
    m.dataSeconds = dataPhaseSeconds(loader.frames());
    m.ok = result == dudoZerDownload::E_DONE && loader.image() == image;
    return m;
}

// The same conversation as the engine's, written as plainly as possible: blocking on poll()
// for each reply. What the engine costs beyond this is its own overhead.
bool readReply(int fd, QByteArray *reply)
{
    char buf[Protocol::ReplyLength];
    int have = 0;
    while (have < Protocol::ReplyLength) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return false;
        const ssize_t n = read(fd, buf + have, size_t(Protocol::ReplyLength - have));
        if (n <= 0)
            return false;
        have += int(n);
    }
    *reply = QByteArray(buf, Protocol::ReplyLength);
    return true;
}

bool exchange(int fd, const QByteArray &out, const QByteArray &expected)
{
    QByteArray reply;
    return write(fd, out.constData(), size_t(out.size())) == out.size() && readReply(fd, &reply) &&
           reply == expected;
}

Measure floorDownload(const QByteArray &image)
{
    SimLoader::Faults faults;
    faults.recordBlocks = false;
    SimLoader loader(faults);
    Measure m;
    if (!loader.start())
        return m;
    const int fd = open(loader.portName().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return m;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);

    const double cpu = threadCpuSeconds();
    bool ok = exchange(fd, Protocol::handshakeFrame(), Protocol::readyReply()) &&
              exchange(fd, Protocol::handshakeFrame(), Protocol::readyReply()) &&
              exchange(fd, headerFor(image), Protocol::acceptReply());
    for (qint64 offset = 0; ok && offset < image.size();) {
        const int length = Protocol::blockLength(image.size() - offset);
        ok = exchange(fd, QByteArray::fromRawData(image.constData() + offset, length),
                      Protocol::acceptReply());
        offset += length;
    }
    ok = ok && exchange(fd, Protocol::finishFrame(), Protocol::readyReply());
    m.cpuSeconds = threadCpuSeconds() - cpu;
    close(fd);
    m.dataSeconds = dataPhaseSeconds(loader.frames());
    m.ok = ok && loader.image() == image;
    return m;
}

// Peak resident memory of a whole download through the window, the loader in its own process
// so that only the tool's copies count.
double memoryRatio(const QString &simloaderPath, int size, bool *ok)
{
    *ok = false;
    QTemporaryDir dir;
    const QString path = writeFile(dir.path(), "image.bin", randomImage(size, ImageSeed));
    QProcess loader;
    loader.start(simloaderPath, {"--unpaced"});
    if (!loader.waitForStarted() || !loader.waitForReadyRead(5000))
        return 0;
    const QString port = QString::fromLocal8Bit(loader.readLine()).trimmed();

    MainWindow window;
    QApplication::processEvents();
    const qint64 baseline = statusKiB("VmRSS:");
    resetPeakMemory();

    FileDialogAnswer::answerNext(path);
    window.findChild<QPushButton *>("pushButton_open")->click();
    auto *ports = window.findChild<QComboBox *>("comboBox_serial");
    ports->addItem(port);
    ports->setCurrentText(port);
    auto *info = window.findChild<QTextBrowser *>("textBrowser");
    window.findChild<QPushButton *>("pushButton_download")->click();
    const int TenMinutesMs = 600000;
    waitFor([info] { return info->toPlainText() != QStringLiteral("开始下载"); }, TenMinutesMs);
    *ok = info->toPlainText() == QStringLiteral("下载完成");
    const qint64 peak = statusKiB("VmHWM:");
    loader.terminate();
    loader.waitForFinished();
    return (peak - baseline) * 1024.0 / size;
}

// A device that answers the first handshake, then sends garbage as fast as the host takes it,
// against the engine with a short window (about 7 s to the time-out). Runs in a process of its
// own, so the memory of the other measures cannot hide its peak; prints one line for the parent.
int floodChild(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(
        QStringLiteral("%1.debug=false").arg(engineLog().categoryName()));
    dudoZerDownload::setTiming({200, 1000, 200});
    SimLoader loader(SimLoader::Faults{.floodAfter = SimLoader::Step::Handshake});
    if (!loader.start())
        return 1;
    const QByteArray image = randomImage(64 << 10, ImageSeed);
    QCoreApplication::processEvents();
    const qint64 idle = statusKiB("VmRSS:");
    resetPeakMemory();
    const double cpu = threadCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const int SafetyMs = 60000;
    const int result = downloadOnce(image, loader.portName(), SafetyMs);
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double cpuSeconds = threadCpuSeconds() - cpu;
    const qint64 peak = statusKiB("VmHWM:");
    std::printf("result=%d timeout=%d above_idle_kib=%lld seconds=%.3f cpu_seconds=%.4f "
                "flooded=%lld\n",
                result, result == dudoZerDownload::E_TIMEOUT ? 1 : 0, peak - idle, seconds,
                cpuSeconds, qint64(loader.flooded()));
    return 0;
}

struct Flood {
    double aboveIdleMiB = NAN;
    double cpuPercent = NAN; // of one core, over the flood
    double seconds = 0;
    qint64 flooded = 0;
    bool ok = false; // ended in a time-out, with garbage taken
};

Flood flood()
{
    Flood f;
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {FloodChild});
    const int MinuteMs = 60000;
    if (!child.waitForFinished(MinuteMs) || child.exitCode() != 0)
        return f;
    QHash<QString, QString> values;
    for (const QString &pair : QString::fromLocal8Bit(child.readAllStandardOutput()).split(' '))
        values.insert(pair.section('=', 0, 0), pair.section('=', 1).trimmed());
    f.aboveIdleMiB = values.value("above_idle_kib").toDouble() / 1024;
    f.seconds = values.value("seconds").toDouble();
    f.cpuPercent = 100 * values.value("cpu_seconds").toDouble() / f.seconds;
    f.flooded = values.value("flooded").toLongLong();
    f.ok = values.value("timeout") == "1" && f.flooded > 0;
    return f;
}

// One line per target: the figure, the target and whether it held. A figure from a run that
// failed holds nothing.
struct Verdicts {
    bool held = true;

    void atMost(const char *name, double value, double limit, const char *format, bool valid)
    {
        report(name, value, "<=", limit, format, valid && value <= limit);
    }
    void atLeast(const char *name, double value, double limit, const char *format, bool valid)
    {
        report(name, value, ">=", limit, format, valid && value >= limit);
    }

private:
    void report(const char *name, double value, const char *op, double limit, const char *format,
                bool pass)
    {
        held = held && pass;
        std::printf("%-34s %12s %2s %9s  %s\n", name, qPrintable(QString::asprintf(format, value)),
                    op, qPrintable(QString::asprintf(format, limit)), pass ? "PASS" : "FAIL");
    }
};

double checksumGBps(int size)
{
    const QByteArray image = randomImage(size, ImageSeed);
    QElapsedTimer clock;
    clock.start();
    quint32 sink = 0;
    const int rounds = 10;
    for (int i = 0; i < rounds; ++i)
        sink += byteSum(image.constData(), image.size());
    const double seconds = clock.nsecsElapsed() / 1e9;
    std::fprintf(stderr, "(checksum sink %u)\n", sink);
    return double(size) * rounds / seconds / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && qstrcmp(argv[1], FloodChild) == 0)
        return floodChild(argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(
        QStringLiteral("%1.debug=false").arg(engineLog().categoryName()));
    const bool quick = app.arguments().contains("--quick");
    const int large = quick ? 4 << 20 : 16 << 20;
    const int memorySize = quick ? 16 << 20 : 64 << 20;

    std::printf("%-34s %12s %12s %10s\n", "measure", "value", "floor/bound", "ratio");

    SimLoader::Faults instant;
    instant.recordBlocks = false;
    const QByteArray small = randomImage(1 << 20, ImageSeed);
    const QByteArray big = randomImage(large, ImageSeed);
    const Measure engineSmall = engineDownload(small, instant);
    const Measure floorSmall = floorDownload(small);
    const Measure engineBig = engineDownload(big, instant);
    const Measure floorBig = floorDownload(big);
    const double blocksSmall = small.size() / 128.0, blocksBig = big.size() / 128.0;
    const double usSmall = engineSmall.dataSeconds * 1e6 / blocksSmall;
    const double usBig = engineBig.dataSeconds * 1e6 / blocksBig;
    const double floorUsSmall = floorSmall.dataSeconds * 1e6 / blocksSmall;
    const double floorUsBig = floorBig.dataSeconds * 1e6 / blocksBig;
    std::printf("%-34s %9.1f us %9.1f us %9.2fx\n", "turnaround per block, 1 MiB", usSmall,
                floorUsSmall, usSmall / floorUsSmall);
    std::printf("%-34s %9.1f us %9.1f us %9.2fx\n",
                qPrintable(QString("turnaround per block, %1 MiB").arg(large >> 20)), usBig,
                floorUsBig, usBig / floorUsBig);
    const double cpuSmall = engineSmall.cpuSeconds * 1e6 / blocksSmall;
    const double cpuBig = engineBig.cpuSeconds * 1e6 / blocksBig;
    std::printf("%-34s %9.1f us %9.1f us %9.2fx\n", "host CPU per block, large vs 1 MiB", cpuBig,
                cpuSmall, cpuBig / cpuSmall);

    SimLoader::Faults line;
    line.throttleBaud = 115200;
    line.recordBlocks = false;
    const QByteArray lineImage = randomImage(quick ? 16 << 10 : 64 << 10, ImageSeed);
    const Measure onLine = engineDownload(lineImage, line);
    const double blocks = lineImage.size() / 128.0;
    // Every block with its accept reply, plus the header's accept and the finish frame.
    const double bound = (lineImage.size() + 3 * blocks + 6) * 10.0 / 115200;
    std::printf("%-34s %10.3f s %10.3f s %9.1f%%\n", "data phase at 115200 baud",
                onLine.dataSeconds, bound, 100 * bound / onLine.dataSeconds);

    bool memoryOk = false;
    const QString simloader =
        QDir(QCoreApplication::applicationDirPath()).filePath("../tools/lumedra-simloader");
    const double memory = memoryRatio(simloader, memorySize, &memoryOk);
    std::printf("%-34s %9.2f x image %22s\n",
                qPrintable(QString("peak memory, %1 MiB download").arg(memorySize >> 20)), memory,
                memoryOk ? "" : "(download failed)");

    const Flood flooded = flood();
    std::printf("%-34s %9.2f MiB %23s\n", "flood: peak memory above idle", flooded.aboveIdleMiB,
                flooded.ok ? "" : "(no time-out)");
    std::printf("%-34s %10.2f %%  of one core, %.1f s, %lld bytes taken\n", "flood: host CPU",
                flooded.cpuPercent, flooded.seconds, flooded.flooded);

    const double gbps = checksumGBps(64 << 20);
    std::printf("%-34s %8.2f GB/s\n", "byteSum over 64 MiB", gbps);

    const double turnaround = std::max(usBig / floorUsBig, usSmall / floorUsSmall);
    const double linearity = cpuBig / cpuSmall;
    const double efficiency = bound / onLine.dataSeconds;
    const bool turnaroundRan = engineSmall.ok && engineBig.ok && floorSmall.ok && floorBig.ok;
    std::printf("\n%-34s %12s %2s %9s\n", "target", "value", "", "limit");
    Verdicts verdicts;
    verdicts.atMost("turnaround vs floor", turnaround, MaxTurnaroundRatio, "%.2fx", turnaroundRan);
    verdicts.atMost("CPU per block, large vs 1 MiB", linearity, MaxCpuLinearity, "%.2fx",
                    engineSmall.ok && engineBig.ok);
    verdicts.atLeast("share of the line's rate", 100 * efficiency, 100 * MinLineEfficiency,
                     "%.1f%%", onLine.ok);
    verdicts.atMost("peak memory vs image", memory, MaxMemoryRatio, "%.2fx", memoryOk);
    verdicts.atMost("flood: memory above idle", flooded.aboveIdleMiB, MaxFloodMiB, "%.1f MiB",
                    flooded.ok);
    verdicts.atMost("flood: host CPU, one core", flooded.cpuPercent, MaxFloodCpuPercent, "%.2f%%",
                    flooded.ok);

    const bool ok = turnaroundRan && onLine.ok && memoryOk && flooded.ok && verdicts.held;
    std::printf("BENCH ok=%d turnaround_ratio=%.2f cpu_linearity=%.2f line_efficiency=%.3f "
                "memory_ratio=%.2f flood_mib=%.2f flood_cpu_percent=%.2f checksum_gbps=%.2f\n",
                ok, turnaround, linearity, efficiency, memory, flooded.aboveIdleMiB,
                flooded.cpuPercent, gbps);
    return ok ? 0 : 1;
}
