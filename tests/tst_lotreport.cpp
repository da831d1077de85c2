#include "records/lotreport.h"
#include "records/recordstore.h"

#include <QtTest>

#include <QSqlDatabase>
#include <QSqlQuery>

#include <unistd.h>

Q_DECLARE_METATYPE(QVector<LotReport::Used>)

// The report by lot, on SQLite and on a real PostgreSQL server (started by the test fixture):
// each lot's boards, yields, operators, the serial numbers it used and its first and last board,
// over a time range or one lot whole; and a lot's numbers as ranges a person reads.
class tst_LotReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lots_data();
    void lots();
    void ranges_data();
    void ranges();

private:
    StoreUrl fresh(const QString &backend);

    QTemporaryDir dir;
    int stores = 0;
};

namespace
{
const QString PostgresVariable = "LUMEDRA_TEST_POSTGRES";

SerialScheme counter()
{
    QString error;
    return *SerialScheme::fromFields(
        {{"at", "0"}, {"format", "dec:8"}, {"prefix", "SN"}, {"start", "100"}}, QString(), &error);
}

// A lot as one line: "lot | operators | boards done failed first-pass yield first-pass-yield |
// numbers as ranges | first board - last board".
QString line(const LotReport::Lot &lot)
{
    return QString("%1 | %2 | %3 %4 %5 %6 %7 %8 | %9 | %10 - %11")
        .arg(lot.lot, lot.operators.join(","))
        .arg(lot.boards)
        .arg(lot.done)
        .arg(lot.failed)
        .arg(lot.firstPass)
        .arg(lot.yield)
        .arg(lot.firstPassYield)
        .arg(LotReport::ranges(lot.serials).join(' '), lot.first.toString("HH:mm"),
             lot.last.toString("HH:mm"));
}
} // namespace

void tst_LotReport::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!qEnvironmentVariableIsEmpty(qPrintable(PostgresVariable)),
             "the PostgreSQL fixture (scripts/pg-cluster.sh) sets LUMEDRA_TEST_POSTGRES");
}

StoreUrl tst_LotReport::fresh(const QString &backend)
{
    QString error;
    if (backend == "sqlite")
        return *StoreUrl::parse(QString("sqlite:%1/store%2.sqlite").arg(dir.path()).arg(++stores),
                                &error);
    const StoreUrl url =
        *StoreUrl::parse(qEnvironmentVariable(qPrintable(PostgresVariable)), &error);
    QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "raw");
    db.setDatabaseName(url.database);
    db.setHostName(url.host);
    db.setUserName(url.user);
    if (db.open()) {
        QSqlQuery query(db);
        query.exec("DROP SCHEMA public CASCADE");
        query.exec("CREATE SCHEMA public");
        db.close();
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("raw");
    return url;
}

void tst_LotReport::lots_data()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << "sqlite";
    QTest::newRow("postgresql") << "postgresql";
}

// Two operators' runs on one lot, another lot, and a run without one: every board counted once
// under its run's lot, a stopped board nowhere, a number used only by a board that was done.
void tst_LotReport::lots()
{
    QFETCH(QString, backend);
    const StoreUrl url = fresh(backend);
    RecordStore store(url);
    QString error;
    QVERIFY2(store.open(&error), qPrintable(error));
    QVector<RecordStore::Voided> voided;
    const auto run = [&](const QString &who, const QString &lot) {
        RecordStore::Run run{"st-1", "h", "1", "", "img", ::getpid()};
        run.operatorName = who;
        run.lot = lot;
        return store.startRun(run, &voided, &error).value_or(0);
    };
    const qint64 ana = run("ana", "WO-1"), bo = run("bo", "WO-1"), other = run("ana", "WO-2"),
                 none = run("", "");
    QVERIFY2(ana && bo && other && none, qPrintable(error));
    const std::optional<qint64> pool = store.pool(counter(), &error);
    QVERIFY2(pool, qPrintable(error));
    const QDateTime day(QDate(2026, 3, 2), QTime(0, 0), Qt::UTC);
    int boards = 0;
    // A board at `minute` past 10:00 on the day; `numbered`: it takes the pool's next number.
    const auto board = [&](qint64 run, int minute, const char *result, int attempts,
                           bool numbered) {
        BoardRecord record{.run = run,
                           .board = ++boards,
                           .result = result,
                           .attempts = attempts,
                           .time = day.addSecs(36000 + 60 * minute).toString(Qt::ISODateWithMs)};
        if (numbered) {
            SerialValue value;
            if (store.reserve(*pool, counter(), run, &value, &error) != Reserved::Ok)
                return false;
            record.boardSerial = counter().text(value);
            record.pool = *pool;
            record.index = value.index;
            record.fate =
                QByteArray(result) == "done" ? BoardRecord::Fate::Used : BoardRecord::Fate::Voided;
        }
        return store.record(record, &error);
    };
    QVERIFY2(board(ana, 1, "done", 1, true) && board(ana, 2, "done", 2, true) &&
                 board(ana, 3, "timeout", 1, true) && board(ana, 4, "stopped", 1, false) &&
                 board(other, 5, "done", 1, true) && board(bo, 10, "done", 1, true) &&
                 board(none, 20, "done", 1, true) && board(ana, -24 * 60, "done", 1, false),
             qPrintable(error));

    LotReport report(url);
    const auto lots = report.lots(day, QDateTime(), &error);
    QVERIFY2(lots, qPrintable(error));
    QStringList seen;
    for (const LotReport::Lot &lot : *lots)
        seen << line(lot);
    QCOMPARE(seen, QStringList({"WO-1 | ana,bo | 4 3 1 2 0.75 0.5 | SN000100..SN000101 SN000104 | "
                                "10:01 - 10:10",
                                "WO-2 | ana | 1 1 0 1 1 1 | SN000103 | 10:05 - 10:05",
                                " |  | 1 1 0 1 1 1 | SN000105 | 10:20 - 10:20"}));
    // One lot whole: the day before counts too.
    const auto one = report.lot("WO-1", QDateTime(), QDateTime(), &error);
    QVERIFY2(one, qPrintable(error));
    QCOMPARE(one->size(), 1);
    QCOMPARE(line(one->first()),
             QString("WO-1 | ana,bo | 5 4 1 3 0.8 0.6 | SN000100..SN000101 SN000104 | 10:00 - "
                     "10:10"));
    QCOMPARE(one->first().first.date(), day.date().addDays(-1));
    const auto unknown = report.lot("WO-404", QDateTime(), QDateTime(), &error);
    QVERIFY(unknown && unknown->isEmpty());
    const auto before = report.lots(QDateTime(), day, &error);
    QVERIFY(before && before->size() == 1 && before->first().boards == 1);
    report.closeThread();
}

void tst_LotReport::ranges_data()
{
    QTest::addColumn<QVector<LotReport::Used>>("used");
    QTest::addColumn<QStringList>("expected");
    const auto at = [](const char *serial, qint64 pool, qint64 index) {
        return LotReport::Used{serial, pool, index};
    };
    QTest::newRow("none") << QVector<LotReport::Used>() << QStringList();
    QTest::newRow("one") << QVector<LotReport::Used>{at("A1", 1, 0)} << QStringList{"A1"};
    QTest::newRow("a run of three")
        << QVector<LotReport::Used>{at("A1", 1, 0), at("A2", 1, 1), at("A3", 1, 2)}
        << QStringList{"A1..A3"};
    QTest::newRow("a gap") << QVector<LotReport::Used>{at("A1", 1, 0), at("A2", 1, 1),
                                                       at("A4", 1, 3)}
                           << QStringList{"A1..A2", "A4"};
    QTest::newRow("next to each other, in two pools")
        << QVector<LotReport::Used>{at("A1", 1, 0), at("B2", 2, 1)} << QStringList{"A1", "B2"};
    QTest::newRow("places not known never join")
        << QVector<LotReport::Used>{at("A1", 1, -1), at("A2", 1, 0), at("A3", 1, 1)}
        << QStringList{"A1", "A2..A3"};
}

void tst_LotReport::ranges()
{
    QFETCH(QVector<LotReport::Used>, used);
    QFETCH(QStringList, expected);
    QCOMPARE(LotReport::ranges(used), expected);
}

QTEST_GUILESS_MAIN(tst_LotReport)
#include "tst_lotreport.moc"
