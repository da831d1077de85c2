// Prints what the record store costs: the time to reserve a board's serial number, note that it
// went out and write the board's record, through the recorder that keeps its status up to date,
// p50 and p99, on SQLite and on a PostgreSQL server of its own (a throwaway cluster on a Unix
// socket), and the boards per hour of a 16-slot station of unpaced simulated loaders with serial
// numbers in each store against one without.
//   lumedra-bench-store
#include "bench/stationfixture.h"
#include "bench/verdict.h"
#include "records/recorder.h"
#include "records/recordstore.h"
#include "records/serialscheme.h"
#include "testing/kit/images.h"
#include "testing/simloader/simloader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

#include <unistd.h>

namespace
{
constexpr int Allocations = 1000;
constexpr int Rounds = 3; // each setup in turn, the median kept: the machine is shared
constexpr int Slots = 16;
constexpr int BoardsPerSlot = 8;
constexpr int ImageSize = 3000;
constexpr int TimeoutMs = 60000;
constexpr double SecondsPerHour = 3600;
constexpr double MostLoss = 0.02; // boards per hour given up for numbers and a store

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

// One board's share of the store: its number reserved, noted as gone out, then its record
// written with it used.
Spread perBoard(const StoreUrl &url, const QString &spoolPath)
{
    QString error;
    const auto scheme = SerialScheme::fromFields(
        {{"at", "0"}, {"format", "dec:10"}, {"prefix", "B-"}, {"start", "1"}}, QString(), &error);
    RecordStore store(url);
    RecordSpool spool(spoolPath);
    Recorder recorder(&store, &spool, scheme);
    QVector<RecordStore::Voided> voided;
    if (!recorder.start({"bench", "bench-host", "1", "", "", ::getpid(), true}, &voided, &error))
        return {};
    std::vector<double> ms;
    for (int board = 1; board <= Allocations; ++board) {
        QElapsedTimer clock;
        clock.start();
        SerialValue value;
        if (recorder.reserve(&value, &error) != Reserved::Ok || !recorder.wentOut(value, &error))
            return {};
        BoardRecord record{.slot = 1,
                           .board = board,
                           .boardSerial = scheme->text(value),
                           .index = value.index,
                           .fate = BoardRecord::Fate::Used,
                           .result = "done",
                           .attempts = 1,
                           .seconds = 1,
                           .time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)};
        if (!recorder.record(record, &error) || recorder.status().lost)
            return {};
        ms.push_back(clock.nsecsElapsed() / 1e6);
    }
    recorder.stop();
    return {percentile(ms, 0.5), percentile(ms, 0.99), true};
}

// A station of 16 slots, each seeing its boards one after another; boards per hour from the first
// board plugged in to the last result.
double boardsPerHour(const QString &imagePath, const QByteArray &image, const QStringList &extra,
                     const QString &dataHome, bool *ok)
{
    StationFixture fixture(Slots, SimLoader::Faults());
    if (!fixture.isValid() || !fixture.prepare(BoardsPerSlot))
        return 0;
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", dataHome);
    cli.setProcessEnvironment(env);
    cli.setStandardErrorFile(QProcess::nullDevice());
    cli.start(LUMEDRA_CLI, QStringList{"--station", "--json", "--gone-after", "1", imagePath} +
                               fixture.portArguments() + extra);
    if (!cli.waitForStarted())
        return 0;
    QElapsedTimer clock;
    clock.start();
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
    ::kill(pid_t(cli.processId()), SIGINT);
    cli.waitForFinished(TimeoutMs);
    *ok = finished && exact && cli.exitCode() == 130;
    return flashed * SecondsPerHour / seconds;
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
    const StoreUrl sqliteUrl = *StoreUrl::parse("sqlite:" + dir.filePath("bench.sqlite"), &error);
    const StoreUrl pgUrl = *StoreUrl::parse(postgres, &error);

    const Spread sqlite = perBoard(sqliteUrl, dir.filePath("sqlite-spool.jsonl"));
    const Spread pg = perBoard(pgUrl, dir.filePath("pg-spool.jsonl"));

    const QByteArray image = randomImage(ImageSize, 5);
    const QString imagePath = writeFile(dir.path(), "image.bin", image);
    const QStringList serial{"--serial-at", "256", "--serial-format", "dec:10", "--serial-start",
                             "1"};
    const QVector<QStringList> setups{
        {},
        serial + QStringList{"--db", "sqlite:" + dir.filePath("line.sqlite")},
        serial + QStringList{"--db", postgres}};
    QVector<std::vector<double>> perHour(setups.size());
    bool stations = true;
    for (int round = 0; round < Rounds; ++round)
        for (int i = 0; i < setups.size(); ++i) {
            bool ok = false;
            perHour[i].push_back(boardsPerHour(imagePath, image, setups[i],
                                               dir.filePath(QString("data-%1-%2").arg(i).arg(round)),
                                               &ok));
            stations = stations && ok;
        }
    const double plain = percentile(perHour[0], 0.5);
    const double withSqlite = percentile(perHour[1], 0.5);
    const double withPg = percentile(perHour[2], 0.5);
    QProcess::execute(LUMEDRA_ROOT "/scripts/pg-cluster.sh", {"stop", cluster});

    std::printf("%-44s %10s %10s\n", "measure", "p50", "p99");
    std::printf("%-44s %7.3f ms %7.3f ms\n", "reserve, out, record per board, SQLite", sqlite.p50,
                sqlite.p99);
    std::printf("%-44s %7.3f ms %7.3f ms\n", "reserve, out, record per board, PostgreSQL", pg.p50,
                pg.p99);
    std::printf("\n%-44s %10s %10s\n", "16 unpaced slots, median of 3", "boards/h", "vs plain");
    std::printf("%-44s %10.0f\n", "no serial numbers (records in SQLite)", plain);
    std::printf("%-44s %10.0f %9.3fx\n", "serial numbers, SQLite", withSqlite, withSqlite / plain);
    std::printf("%-44s %10.0f %9.3fx\n", "serial numbers, PostgreSQL", withPg, withPg / plain);
    std::printf("\n");
    bool ok = sqlite.ok && pg.ok && stations;
    ok &= verdict("serial numbers in SQLite: at most 2 % fewer boards per hour",
                  withSqlite >= (1 - MostLoss) * plain);
    ok &= verdict("serial numbers in PostgreSQL: at most 2 % fewer boards per hour",
                  withPg >= (1 - MostLoss) * plain);
    std::printf("BENCH_STORE ok=%d sqlite_p50_ms=%.3f sqlite_p99_ms=%.3f pg_p50_ms=%.3f "
                "pg_p99_ms=%.3f per_hour_plain=%.0f per_hour_sqlite=%.0f per_hour_pg=%.0f\n",
                ok, sqlite.p50, sqlite.p99, pg.p50, pg.p99, plain, withSqlite, withPg);
    return ok ? 0 : 1;
}
