// Prints how fast an Intel HEX file becomes the image a run sends, against srec_cat converting
// the same file to binary, side by side: a 16 MiB HEX file of one contiguous region, read five
// times each in turn; then the verdict. Exits 0 only when both gave the same bytes and the
// target held.
//   lumedra-bench-image
#include "bench/usage.h"
#include "bench/verdict.h"
#include "download/image.h"
#include "testing/kit/images.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace
{

constexpr qint64 HexFileBytes = qint64(16) << 20;
// srec_cat's lines: 32 data bytes in 76 characters.
constexpr int DataBytes = int(HexFileBytes * 32 / 76);
constexpr int Runs = 5;
const QString Base = QStringLiteral("0x08000000");

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

bool srecCat(const QStringList &args)
{
    QProcess process;
    process.start("srec_cat", args);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString data = writeFile(dir.path(), "data.bin", randomImage(DataBytes, 7));
    const QString hex = dir.filePath("fw.hex"), out = dir.filePath("out.bin");
    if (!srecCat({data, "-binary", "-offset", Base, "-o", hex, "-intel"})) {
        std::fprintf(stderr, "srec_cat (Debian package srecord) did not write the HEX file\n");
        return 1;
    }
    const double megabytes = QFileInfo(hex).size() / 1e6;

    QVector<double> oursWall, oursCpu, theirsWall, theirsCpu;
    bool same = true;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        double cpu = threadCpuSeconds();
        QString error;
        const std::optional<Image> image = Image::load(hex, {}, &error);
        oursCpu.append(threadCpuSeconds() - cpu);
        oursWall.append(clock.nsecsElapsed() / 1e9);

        clock.start();
        cpu = childCpuSeconds();
        same &= srecCat({hex, "-intel", "-offset", "-" + Base, "-o", out, "-binary"});
        theirsCpu.append(childCpuSeconds() - cpu);
        theirsWall.append(clock.nsecsElapsed() / 1e9);

        QFile file(out);
        same &= image && file.open(QIODevice::ReadOnly) && file.readAll() == image->bytes;
    }

    const double ours = megabytes / median(oursWall), theirs = megabytes / median(theirsWall);
    const double oursByCpu = megabytes / median(oursCpu);
    const double theirsByCpu = megabytes / median(theirsCpu);
    std::printf("%-44s %10s %10s %10s\n", "measure (median of 5)", "Lumedra", "srec_cat", "ratio");
    std::printf("%-44s %5.1f MB/s %5.1f MB/s %9.2fx\n",
                qPrintable(QString("%1 MB HEX to its image, wall").arg(megabytes, 0, 'f', 1)), ours,
                theirs, ours / theirs);
    std::printf("%-44s %5.1f MB/s %5.1f MB/s %9.2fx\n", "  by processor time", oursByCpu,
                theirsByCpu, oursByCpu / theirsByCpu);
    std::printf("%-44s %10s\n", "the same bytes", same ? "yes" : "no");
    std::printf("\n");
    bool ok = same;
    ok &= verdict("reading a 16 MiB HEX file at least as fast as srec_cat", ours >= theirs);
    std::printf("BENCH_IMAGE ok=%d megabytes=%.1f mbps=%.1f srec_cat_mbps=%.1f ratio=%.2f "
                "cpu_mbps=%.1f srec_cat_cpu_mbps=%.1f\n",
                ok, megabytes, ours, theirs, ours / theirs, oursByCpu, theirsByCpu);
    return ok ? 0 : 1;
}
