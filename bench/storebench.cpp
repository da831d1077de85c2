// Prints what the record store costs: the time to reserve a board's serial number, note that it
// went out and write the board's record, through the recorder that keeps its status up to date,
// p50 and p99, on SQLite and on a PostgreSQL server of its own (a throwaway cluster on a Unix
// socket), and the boards per hour of a 16-slot station with serial numbers in each store against
// one without, on simulated loaders paced at 115200 baud (as a line runs) and unpaced, each ratio
// against its target; the same with a second pool of numbers (MAC addresses) on PostgreSQL,
// per board and in boards per hour against the run with serial numbers alone; and the boards per
// hour of a 16-slot station on PostgreSQL whose boards' labels are scanned through a FIFO, looked
// up in the store and recorded, against one that scans none, with the look-up's own time.
//   lumedra-bench-store [--labels]     --labels: the label's figure alone
#include "bench/clirun.h"
#include "bench/figures.h"
#include "bench/stationfixture.h"
#include "records/recorder.h"
#include "records/recordstore.h"
#include "records/serialscheme.h"
#include "testing/kit/images.h"
#include "testing/simloader/simloader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int Allocations = 1000;
constexpr int Rounds = 3; // each setup in turn, the median kept: the machine is shared
constexpr int Slots = 16;
constexpr int BoardsPerSlot = 24; // a line runs for hours: each slot's first board is one in many
constexpr int ImageSize = 3000;
constexpr int TimeoutMs = 60000;
constexpr double SecondsPerHour = 3600;
constexpr int LineBaud = 115200;
// Boards per hour kept with numbers and a store, against without.
constexpr double LeastPacedRatio = 0.99;
constexpr double LeastUnpacedRatio = 0.97;
// Boards per hour kept with each board's label scanned and looked up, against without.
constexpr double LeastLabelRatio = 0.99;

struct Spread {
    double p50 = 0;
    double p99 = 0;
    bool ok = false;
};

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[size_t(share * double(values.size() - 1))];
}

// The MAC pool beside the serial numbers, in the field after theirs.
const QMap<QString, QString> MacFields{
    {"at", "300"}, {"format", "mac"}, {"start", "02:00:00:00:00:00"}};

// One board's share of the store: its numbers reserved (one pool or two), noted as gone out, then
// its record written with them used.
Spread perBoard(const StoreUrl &url, const QString &spoolPath, bool mac = false)
{
    QString error;
    const auto scheme = SerialScheme::fromFields(
        {{"at", "0"}, {"format", "dec:10"}, {"prefix", "B-"}, {"start", "1"}}, QString(), &error);
    QVector<SerialScheme> named;
    if (mac)
        named << *SerialScheme::fromFields(MacFields, QString(), &error, "mac");
    RecordStore store(url);
    RecordSpool spool(spoolPath);
    Recorder recorder(&store, &spool, scheme, named);
    QVector<RecordStore::Voided> voided;
    if (!recorder.start({"bench", "bench-host", "1", "", "", ::getpid(), true}, &voided, &error))
        return {};
    std::vector<double> ms;
    for (int board = 1; board <= Allocations; ++board) {
        QElapsedTimer clock;
        clock.start();
        SerialValue value, address;
        if (recorder.reserve(&value, &error) != Reserved::Ok || !recorder.wentOut(value, &error))
            return {};
        QVector<BoardRecord::Number> numbers;
        if (mac) {
            if (recorder.reserve("mac", &address, &error) != Reserved::Ok ||
                !recorder.wentOut("mac", address, &error))
                return {};
            numbers << BoardRecord::Number{"mac", recorder.poolOf("mac"), address.index,
                                           named.first().text(address), BoardRecord::Fate::Used};
        }
        BoardRecord record{.slot = 1,
                           .board = board,
                           .boardSerial = scheme->text(value),
                           .index = value.index,
                           .fate = BoardRecord::Fate::Used,
                           .result = "done",
                           .attempts = 1,
                           .seconds = 1,
                           .time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                           .numbers = numbers};
        if (!recorder.record(record, &error) || recorder.status().lost)
            return {};
        ms.push_back(clock.nsecsElapsed() / 1e6);
    }
    recorder.stop();
    return {percentile(ms, 0.5), percentile(ms, 0.99), true};
}

// A station of 16 slots, each seeing its boards one after another; boards per hour from the first
// board plugged in, once every slot is looking, to the last result. `startSeconds`: from the
// station's start until then, which a line pays once a shift.
double boardsPerHour(const SimLoader::Faults &line, const QString &imagePath,
                     const QByteArray &image, const QStringList &extra, const QString &dataHome,
                     bool *ok, double *startSeconds)
{
    StationFixture fixture(Slots, line);
    if (!fixture.isValid() || !fixture.prepare(BoardsPerSlot))
        return 0;
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", dataHome);
    cli.setProcessEnvironment(env);
    cli.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    cli.start(LUMEDRA_CLI, QStringList{"--station", "--json", "--gone-after", "1", imagePath} +
                               fixture.portArguments() + extra);
    if (!cli.waitForStarted() || !fixture.awaitLooking(cli, TimeoutMs))
        return 0;
    *startSeconds = clock.restart() / 1e3;
    if (!fixture.plugAll())
        return 0;
    int flashed = 0;
    bool exact = true;
    // Each board's own number is patched in: its image is as long as the file, not the same.
    const bool finished = fixture.serve(
        cli, BoardsPerSlot, TimeoutMs, [&](const QJsonObject &event, const SimLoader &board) {
            exact = exact && event["result"] == "done" && board.image().size() == image.size();
            ++flashed;
        });
    const double seconds = clock.nsecsElapsed() / 1e9;
    interrupt(cli);
    cli.waitForFinished(TimeoutMs);
    *ok = finished && exact && cli.exitCode() == 130;
    return flashed * SecondsPerHour / seconds;
}

// How a run's boards get their labels: none; scanned while each board flashes (scan =
// optional), the store's look-up and the label's record the only cost; or each board waiting
// for its label before it starts (scan = required), the scan's hand-over from the slot's request
// to this scanner and back on the board's path as well.
enum class Labels { None, Optional, Required };

// One 16-slot station run from a job on PostgreSQL, with serial numbers; with labels, this
// scanner writes a new label for each board into the run's FIFO as soon as the slot takes one,
// so that the store's look-up finds none and the board is numbered as usual.
double labelledPerHour(const QString &postgres, const QString &imagePath, const QByteArray &image,
                       Labels labels, const QString &folder, bool *ok)
{
    SimLoader::Faults paced;
    paced.throttleBaud = LineBaud;
    StationFixture fixture(Slots, paced);
    if (!fixture.isValid() || !fixture.prepare(BoardsPerSlot) || !QDir().mkpath(folder))
        return 0;
    const bool scans = labels != Labels::None;
    QByteArray job = "[job]\nversion = 1\nimage = " + QFile::encodeName(imagePath) +
                     "\ngone-after = 1\ndb = " + postgres.toUtf8() + "\n" +
                     (labels == Labels::Optional   ? "scan = optional\n"
                      : labels == Labels::Required ? "scan = required\n"
                                                   : "") +
                     "[serial]\nat = 256\nformat = dec:10\nstart = 1\n";
    for (int s = 0; s < Slots; ++s)
        job += QString("[slot.%1]\nport = %2\n").arg(s + 1).arg(fixture.slotPath(s)).toUtf8();
    const QString jobPath = writeFile(folder, "line.job", job);
    const QString fifo = folder + "/scans";
    if (scans && ::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
        return 0;
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", folder);
    cli.setProcessEnvironment(env);
    cli.setStandardErrorFile(QProcess::nullDevice());
    cli.start(LUMEDRA_CLI, QStringList{"--station", "--json", "--job", jobPath} +
                               (scans ? QStringList{"--scan-from", fifo} : QStringList()));
    if (!cli.waitForStarted() || !fixture.awaitLooking(cli, TimeoutMs))
        return 0;
    QElapsedTimer clock;
    clock.start();
    if (!fixture.plugAll())
        return 0;
    int flashed = 0, scanned = 0;
    bool exact = true;
    int scanner = -1; // the FIFO's writing end, opened once the run reads it (its first event)
    const bool finished = fixture.serve(
        cli, BoardsPerSlot, TimeoutMs,
        [&](const QJsonObject &event, const SimLoader &board) {
            exact = exact && event["result"] == "done" && board.image().size() == image.size() &&
                    (!scans || event["board_label"].toString().startsWith("L-"));
            ++flashed;
        },
        [&](const QJsonObject &event) {
            const bool asks =
                labels == Labels::Required
                    ? event["event"] == "waiting" && event["reason"] == "scan the board's label"
                    : labels == Labels::Optional && event["event"] == "started";
            if (!asks)
                return;
            if (scanner < 0)
                scanner = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
            // The store is the line's, kept across runs: a label is new in every run.
            const QByteArray line = QByteArray::number(event["slot"].toInt()) + " L-" +
                                    folder.section('/', -1).toUtf8() + "-" +
                                    QByteArray::number(++scanned) + "\n";
            exact = exact && ::write(scanner, line.constData(), size_t(line.size())) == line.size();
        });
    const double seconds = clock.nsecsElapsed() / 1e9;
    interrupt(cli);
    cli.waitForFinished(TimeoutMs);
    if (scanner >= 0)
        ::close(scanner);
    *ok = finished && exact && cli.exitCode() == 130;
    return flashed * SecondsPerHour / seconds;
}

// Each way's median boards per hour over the rounds, the runs that did not finish as asked, and
// the look-up's own time on a store that holds every board of those runs.
struct LabelCost {
    double without = 0, optional = 0, required = 0;
    int failed = 0;
    Spread lookUp;
};

LabelCost labelCost(const QString &postgres, const QString &imagePath, const QByteArray &image,
                    const QString &dir)
{
    std::vector<double> perHour[3];
    LabelCost cost;
    for (int round = 0; round < Rounds; ++round)
        for (const Labels labels : {Labels::None, Labels::Optional, Labels::Required}) {
            bool ok = false;
            perHour[int(labels)].push_back(labelledPerHour(
                postgres, imagePath, image, labels,
                QString("%1/labels-%2-%3").arg(dir).arg(int(labels)).arg(round), &ok));
            cost.failed += !ok;
        }
    cost.without = percentile(perHour[0], 0.5);
    cost.optional = percentile(perHour[1], 0.5);
    cost.required = percentile(perHour[2], 0.5);
    QString error;
    RecordStore store(*StoreUrl::parse(postgres, &error));
    std::vector<double> ms;
    for (int i = 1; i <= Allocations; ++i) {
        QElapsedTimer clock;
        clock.start();
        std::optional<EarlierBoard> earlier;
        // Half the labels the runs flashed, half never seen.
        const QString label = QString("L-labels-%1-0-%2").arg(1 + i % 2).arg(i);
        if (!store.earlierBoard(label, &earlier, &error))
            return cost;
        ms.push_back(clock.nsecsElapsed() / 1e6);
    }
    store.closeThread();
    cost.lookUp = {percentile(ms, 0.5), percentile(ms, 0.99), true};
    return cost;
}

void printLabels(const LabelCost &labels)
{
    std::printf("\n%-44s %7.3f ms %7.3f ms\n", "a label's look-up, PostgreSQL", labels.lookUp.p50,
                labels.lookUp.p99);
    std::printf("\n%-44s %10s %10s\n", "16 slots at 115200, PostgreSQL, median of 3", "boards/h",
                "vs plain");
    std::printf("%-44s %10.0f\n", "serial numbers, no labels", labels.without);
    std::printf("%-44s %10.0f %9.3fx\n", "labels scanned while flashing (optional)",
                labels.optional, labels.optional / labels.without);
    std::printf("%-44s %10.0f %9.3fx\n", "each board waits for its label (required)",
                labels.required, labels.required / labels.without);
}

void addLabels(Figures *figures, const LabelCost &labels, bool ran)
{
    figures->add("boards per hour with labels vs without, PostgreSQL, 115200",
                 ran && labels.lookUp.ok ? labels.optional / labels.without : NAN,
                 Figures::Bound::AtLeast, LeastLabelRatio, Figures::Unit::Times);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString cluster = QString("/tmp/lumedra-pg-bench-%1").arg(::getpid());
    if (QProcess::execute(LUMEDRA_ROOT "/scripts/pg-cluster.sh", {"start", cluster}) != 0) {
        std::fprintf(stderr, "lumedra-bench-store: no PostgreSQL cluster\n");
        return 1;
    }
    QString error;
    const QString postgres = QString("postgresql://lumedra@%1/lumedra")
                                 .arg(QString::fromLatin1(QUrl::toPercentEncoding(cluster)));
    const QByteArray image = randomImage(ImageSize, 5);
    const QString imagePath = writeFile(dir.path(), "image.bin", image);
    // --labels: the label's figure alone.
    if (app.arguments().contains("--labels")) {
        const LabelCost labels = labelCost(postgres, imagePath, image, dir.path());
        QProcess::execute(LUMEDRA_ROOT "/scripts/pg-cluster.sh", {"stop", cluster});
        printLabels(labels);
        std::printf("\nstation runs that did not finish as asked: %d of %d\n\n", labels.failed,
                    3 * Rounds);
        Figures figures;
        addLabels(&figures, labels, true);
        const bool ok = figures.print() && labels.failed == 0;
        std::printf("BENCH_LABELS ok=%d lookup_p50_ms=%.3f lookup_p99_ms=%.3f without=%.0f "
                    "optional=%.0f required=%.0f\n",
                    ok, labels.lookUp.p50, labels.lookUp.p99, labels.without, labels.optional,
                    labels.required);
        return ok ? 0 : 1;
    }
    const StoreUrl sqliteUrl = *StoreUrl::parse("sqlite:" + dir.filePath("bench.sqlite"), &error);
    const StoreUrl pgUrl = *StoreUrl::parse(postgres, &error);

    const Spread sqlite = perBoard(sqliteUrl, dir.filePath("sqlite-spool.jsonl"));
    const Spread pg = perBoard(pgUrl, dir.filePath("pg-spool.jsonl"));
    const Spread pgMac = perBoard(pgUrl, dir.filePath("pg-mac-spool.jsonl"), true);

    const QStringList serial{"--serial-at",    "256", "--serial-format", "dec:10",
                             "--serial-start", "1"};
    // The MAC pool comes from a job; the rest is the command line's.
    QString macJob = "[job]\nversion = 1\nimage = image.bin\n[slot.1]\nport = none\n[serial.mac]\n";
    for (auto it = MacFields.cbegin(); it != MacFields.cend(); ++it)
        macJob += it.key() + " = " + it.value() + "\n";
    const QString macJobPath = writeFile(dir.path(), "mac.ini", macJob.toUtf8());
    const QVector<QStringList> setups{
        {},
        serial + QStringList{"--db", "sqlite:" + dir.filePath("line.sqlite")},
        serial + QStringList{"--db", postgres},
        serial + QStringList{"--db", postgres, "--job", macJobPath}};
    SimLoader::Faults paced;
    paced.throttleBaud = LineBaud;
    const QVector<SimLoader::Faults> lines{paced, SimLoader::Faults()};
    // perHour[line][setup]: each round runs every setup on every line in turn.
    QVector<QVector<std::vector<double>>> perHour(lines.size(),
                                                  QVector<std::vector<double>>(setups.size()));
    auto starts = perHour; // seconds from the station's start until every slot looks
    int failedRuns = 0; // a board not done, a station that did not end as asked, or a timeout
    for (int round = 0; round < Rounds; ++round)
        for (int l = 0; l < lines.size(); ++l)
            for (int i = 0; i < setups.size(); ++i) {
                bool ok = false;
                double start = 0;
                const QString dataHome =
                    dir.filePath(QString("data-%1-%2-%3").arg(l).arg(i).arg(round));
                perHour[l][i].push_back(
                    boardsPerHour(lines[l], imagePath, image, setups[i], dataHome, &ok, &start));
                starts[l][i].push_back(start);
                failedRuns += !ok;
            }
    const LabelCost labels = labelCost(postgres, imagePath, image, dir.path());
    failedRuns += labels.failed;
    QProcess::execute(LUMEDRA_ROOT "/scripts/pg-cluster.sh", {"stop", cluster});
    const auto median = [&](int l, int i) { return percentile(perHour[l][i], 0.5); };
    const auto startMedian = [&](int l, int i) { return percentile(starts[l][i], 0.5); };

    std::printf("%-44s %10s %10s\n", "measure", "p50", "p99");
    std::printf("%-44s %7.3f ms %7.3f ms\n", "reserve, out, record per board, SQLite", sqlite.p50,
                sqlite.p99);
    std::printf("%-44s %7.3f ms %7.3f ms\n", "reserve, out, record per board, PostgreSQL", pg.p50,
                pg.p99);
    std::printf("%-44s %7.3f ms %7.3f ms\n", "the same with a MAC pool, PostgreSQL", pgMac.p50,
                pgMac.p99);
    std::printf("%-44s %7.3f ms\n", "the MAC pool's cost per board, p50", pgMac.p50 - pg.p50);
    const char *lineNames[] = {"16 slots at 115200 baud, median of 3",
                               "16 unpaced slots, median of 3"};
    for (int l = 0; l < lines.size(); ++l) {
        std::printf("\n%-44s %10s %10s %9s\n", lineNames[l], "boards/h", "vs plain", "start");
        const char *setupNames[] = {"no serial numbers (records in SQLite)",
                                    "serial numbers, SQLite", "serial numbers, PostgreSQL",
                                    "serial numbers and a MAC pool, PostgreSQL"};
        for (int i = 0; i < setups.size(); ++i)
            std::printf("%-44s %10.0f %9.3fx %7.3f s\n", setupNames[i], median(l, i),
                        median(l, i) / median(l, 0), startMedian(l, i));
    }
    printLabels(labels);
    std::printf("\n");
    std::printf("station runs that did not finish as asked: %d of %d\n\n", failedRuns,
                Rounds * int(lines.size() * setups.size() + 3));
    // A median stands on the runs that finished; a store that could not be measured has none.
    const bool ran = sqlite.ok && pg.ok && pgMac.ok;
    const auto ratio = [&](int l, int i) { return ran ? median(l, i) / median(l, 0) : NAN; };
    Figures figures;
    figures.add("boards per hour with numbers vs without, SQLite, 115200", ratio(0, 1),
                Figures::Bound::AtLeast, LeastPacedRatio, Figures::Unit::Times);
    figures.add("boards per hour with numbers vs without, PostgreSQL, 115200", ratio(0, 2),
                Figures::Bound::AtLeast, LeastPacedRatio, Figures::Unit::Times);
    figures.add("boards per hour with numbers vs without, SQLite, unpaced", ratio(1, 1),
                Figures::Bound::AtLeast, LeastUnpacedRatio, Figures::Unit::Times);
    figures.add("boards per hour with numbers vs without, PostgreSQL, unpaced", ratio(1, 2),
                Figures::Bound::AtLeast, LeastUnpacedRatio, Figures::Unit::Times);
    figures.add("boards per hour with MAC pool vs without, PostgreSQL, 115200",
                ran ? median(0, 3) / median(0, 2) : NAN, Figures::Bound::AtLeast, LeastPacedRatio,
                Figures::Unit::Times);
    addLabels(&figures, labels, ran);
    const bool ok = figures.print() && failedRuns == 0;
    std::printf("BENCH_STORE ok=%d sqlite_p50_ms=%.3f sqlite_p99_ms=%.3f pg_p50_ms=%.3f "
                "pg_p99_ms=%.3f paced_plain=%.0f paced_sqlite=%.0f paced_pg=%.0f "
                "unpaced_plain=%.0f unpaced_sqlite=%.0f unpaced_pg=%.0f pg_mac_p50_ms=%.3f "
                "paced_pg_mac=%.0f labels_pg_without=%.0f labels_pg_optional=%.0f "
                "labels_pg_required=%.0f\n",
                ok, sqlite.p50, sqlite.p99, pg.p50, pg.p99, median(0, 0), median(0, 1),
                median(0, 2), median(1, 0), median(1, 1), median(1, 2), pgMac.p50, median(0, 3),
                labels.without, labels.optional, labels.required);
    return ok ? 0 : 1;
}
