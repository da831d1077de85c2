#include "records/boardnumbering.h"
#include "records/labelhistory.h"
#include "records/recorder.h"
#include "records/recordspool.h"
#include "records/recordstore.h"

#include <QtTest>

#include <QSqlDatabase>
#include <QSqlQuery>

#include <unistd.h>

// A board's printed label in the store: which earlier board a label finds, on SQLite and on the
// PostgreSQL fixture, and what a reflash does to the number it keeps.
class tst_Labels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void earlierBoard_data();
    void earlierBoard();
    void reflash_data();
    void reflash();

private:
    StoreUrl fresh(bool postgres);
    QVariant scalar(const StoreUrl &url, const QString &sql);

    QTemporaryDir dir;
    int stores = 0;
};

namespace
{
constexpr int FieldAt = 16; // the number's first byte: blocks before it are not the number's
const QString PostgresVariable = QStringLiteral("LUMEDRA_TEST_POSTGRES");

SerialScheme scheme()
{
    QString error;
    return *SerialScheme::fromFields(
        {{"at", QString::number(FieldAt)}, {"format", "dec:8"}, {"prefix", "SN"}, {"start", "7"}},
        QString(), &error);
}

// A second pool, as a line gives each board a MAC address: a reflash keeps it too.
QVector<SerialScheme> macPool()
{
    QString error;
    return {*SerialScheme::fromFields({{"at", "64"}, {"format", "be48"}, {"start", "02:00:00:00:00:01"}},
                                      QString(), &error, "mac")};
}

RecordStore::Run runOn(const QString &station)
{
    return {station, "test-host", "1.1", "job", "abc", ::getpid(), true};
}

QByteArray base()
{
    QByteArray bytes(256, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7);
    return bytes;
}
} // namespace

void tst_Labels::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!qEnvironmentVariableIsEmpty(qPrintable(PostgresVariable)),
             "the PostgreSQL fixture (scripts/pg-cluster.sh) sets LUMEDRA_TEST_POSTGRES");
}

// A store of the test's own: a new file, or a new database on the fixture's server.
StoreUrl tst_Labels::fresh(bool postgres)
{
    QString error;
    ++stores;
    if (!postgres)
        return *StoreUrl::parse(QString("sqlite:%1/labels%2.sqlite").arg(dir.path()).arg(stores),
                                &error);
    const StoreUrl server =
        *StoreUrl::parse(qEnvironmentVariable(qPrintable(PostgresVariable)), &error);
    const QString name = QString("labels_%1_%2").arg(::getpid()).arg(stores);
    scalar(server, "DROP DATABASE IF EXISTS " + name);
    scalar(server, "CREATE DATABASE " + name);
    return *StoreUrl::parse(qEnvironmentVariable(qPrintable(PostgresVariable)).section('/', 0, -2) +
                                '/' + name,
                            &error);
}

// The first column of the first row, read past the library.
QVariant tst_Labels::scalar(const StoreUrl &url, const QString &sql)
{
    QVariant value;
    {
        const bool postgres = url.kind == StoreUrl::Kind::Postgres;
        QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? "QPSQL" : "QSQLITE", "raw");
        db.setDatabaseName(postgres ? url.database : url.path);
        if (postgres) {
            db.setHostName(url.host);
            db.setUserName(url.user);
            if (url.port > 0)
                db.setPort(url.port);
        }
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(sql) && query.next())
                value = query.value(0);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("raw");
    return value;
}

void tst_Labels::earlierBoard_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::addColumn<QStringList>("boards"); // station:label:result, in time order
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("found"); // the board (from 1) the label finds; 0: none
    for (const bool postgres : {false, true}) {
        const QString on = postgres ? "PostgreSQL: " : "SQLite: ";
        const auto row = [&](const char *name) {
            return &(QTest::newRow(qPrintable(on + name)) << postgres);
        };
        *row("never seen") << QStringList{"A:L1:done"} << "L2" << 0;
        *row("done once") << QStringList{"A:L1:done", "A:L2:done"} << "L2" << 2;
        *row("failed only") << QStringList{"A:L1:timeout", "B:L1:download_error"} << "L1" << 0;
        *row("done, then failed elsewhere")
            << QStringList{"A:L1:done", "B:L1:timeout"} << "L1" << 1;
        *row("done on another station") << QStringList{"B:L1:done"} << "L1" << 1;
        *row("done twice: the later") << QStringList{"A:L1:done", "B:L1:done"} << "L1" << 2;
        *row("no label is no label") << QStringList{"A::done"} << "" << 0;
    }
}

void tst_Labels::earlierBoard()
{
    QFETCH(bool, postgres);
    QFETCH(QStringList, boards);
    QFETCH(QString, label);
    QFETCH(int, found);
    const StoreUrl url = fresh(postgres);
    RecordStore store(url);
    QString error;
    QVERIFY2(store.open(&error), qPrintable(error));
    QVector<RecordStore::Voided> voided;
    QMap<QString, qint64> runs;
    for (int i = 0; i < boards.size(); ++i) {
        const QStringList parts = boards[i].split(':');
        if (!runs.contains(parts[0])) {
            const std::optional<qint64> run = store.startRun(runOn(parts[0]), &voided, &error);
            QVERIFY2(run, qPrintable(error));
            runs.insert(parts[0], *run);
        }
        QVERIFY2(store.record({.run = runs[parts[0]],
                               .slot = 1,
                               .board = i + 1,
                               .result = parts[2],
                               .time = QDateTime::currentDateTimeUtc()
                                           .addSecs(i - boards.size())
                                           .toString(Qt::ISODateWithMs),
                               .label = parts[1]},
                              &error),
                 qPrintable(error));
    }
    std::optional<EarlierBoard> earlier;
    QVERIFY2(store.earlierBoard(label, &earlier, &error), qPrintable(error));
    QCOMPARE(earlier.has_value(), found > 0);
    if (found > 0) {
        QCOMPARE(earlier->board, found);
        QCOMPARE(earlier->station, boards[found - 1].section(':', 0, 0));
        QVERIFY(earlier->refusal(label).startsWith(
            QString("label %1 was flashed as board %2 at ").arg(label).arg(found)));
        QVERIFY(
            earlier->refusal(label).endsWith(" on station " + earlier->station + "; remove it"));
    }
    store.closeThread();
}

void tst_Labels::reflash_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::addColumn<bool>("done");
    QTest::addColumn<qint64>("accepted"); // bytes the loader took before the result
    for (const bool postgres : {false, true}) {
        const QString on = postgres ? "PostgreSQL: " : "SQLite: ";
        QTest::newRow(qPrintable(on + "done again")) << postgres << true << qint64(256);
        QTest::newRow(qPrintable(on + "failed past the number"))
            << postgres << false << qint64(128);
        QTest::newRow(qPrintable(on + "failed before the number"))
            << postgres << false << qint64(0);
    }
}

// A board done under a label comes back and is flashed again under it: it gets the very bytes
// it had, its number is neither reserved again nor voided nor given back whatever the reflash
// comes to, and the label's history holds both.
void tst_Labels::reflash()
{
    QFETCH(bool, postgres);
    QFETCH(bool, done);
    QFETCH(qint64, accepted);
    const StoreUrl url = fresh(postgres);
    RecordStore store(url);
    RecordSpool spool(dir.filePath(QString("spool%1.jsonl").arg(stores)));
    Recorder first(&store, &spool, scheme(), macPool());
    QString error;
    QVector<RecordStore::Voided> voided;
    QVERIFY2(first.start(runOn("A"), &voided, &error), qPrintable(error));
    const Image image = Image::fromBytes(base(), "fw.bin");

    BoardNumbering numbering(&first, image);
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    numbering.goesOut();
    const QByteArray firstBytes = numbering.image().bytes;
    const QString serial = numbering.text();
    const qint64 index = numbering.value().index;
    const QString mac = numbering.texts().value("mac");
    QVERIFY(!mac.isEmpty());
    const QVector<BoardRecord::Number> used = numbering.settle(true, base().size());
    QCOMPARE(used.size(), 2);
    QCOMPARE(used.first().fate, BoardRecord::Fate::Used);
    QVERIFY(first.record({.slot = 1,
                          .board = 1,
                          .boardSerial = serial,
                          .pool = used.first().pool,
                          .index = index,
                          .fate = BoardRecord::Fate::Used,
                          .result = "done",
                          .time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                          .numbers = used,
                          .label = "PCB-1"},
                         &error));
    first.stop();
    const QVariant events = scalar(url, "SELECT COUNT(*) FROM number_events");

    Recorder again(&store, &spool, scheme(), macPool());
    QVERIFY2(again.start(runOn("B"), &voided, &error), qPrintable(error));
    std::optional<EarlierBoard> earlier;
    QVERIFY2(again.earlierBoard("PCB-1", &earlier, &error), qPrintable(error));
    QVERIFY(earlier);
    QCOMPARE(earlier->serial, serial);
    BoardNumbering kept(&again, image);
    kept.adopt(earlier->numbers);
    QVERIFY(kept.adopted());
    // Taken again across the board's attempts: still the kept number, none reserved.
    QCOMPARE(kept.take(&error), Reserved::Ok);
    QCOMPARE(kept.text(), serial);
    QCOMPARE(kept.texts().value("mac"), mac);
    QCOMPARE(kept.image().bytes, firstBytes);
    kept.goesOut();
    const QVector<BoardRecord::Number> still = kept.settle(done, accepted);
    QCOMPARE(still.size(), 2);
    for (const BoardRecord::Number &number : still)
        QCOMPARE(number.fate, BoardRecord::Fate::Kept);
    QVERIFY(again.record({.slot = 2,
                          .board = 1,
                          .boardSerial = serial,
                          .pool = still.first().pool,
                          .index = index,
                          .fate = BoardRecord::Fate::Kept,
                          .result = done ? "done" : "download_error",
                          .time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                          .numbers = still,
                          .label = "PCB-1",
                          .reflash = true},
                         &error));
    again.stop();

    QCOMPARE(scalar(url, "SELECT COUNT(*) FROM numbers WHERE state = 'used'").toInt(), 2);
    QCOMPARE(scalar(url, "SELECT COUNT(*) FROM numbers").toInt(), 2);
    QCOMPARE(scalar(url, "SELECT SUM(next_index) FROM pools").toInt(), 2);
    QCOMPARE(scalar(url, "SELECT COUNT(*) FROM number_events"), events);
    QCOMPARE(scalar(url, "SELECT COUNT(*) FROM boards WHERE reflash = 1 AND idx = " +
                             QString::number(index))
                 .toInt(),
             1);
    // The next board is numbered as usual.
    Recorder third(&store, &spool, scheme(), macPool());
    QVERIFY2(third.start(runOn("C"), &voided, &error), qPrintable(error));
    BoardNumbering next(&third, image);
    QCOMPARE(next.take(&error), Reserved::Ok);
    QVERIFY(next.text() != serial);
    next.giveBack();
    third.stop();

    LabelHistory history(url);
    const auto boards = history.of("PCB-1", &error);
    QVERIFY2(boards, qPrintable(error));
    QCOMPARE(boards->size(), 2);
    QCOMPARE(boards->at(0).station, QString("A"));
    QVERIFY(!boards->at(0).reflash);
    QCOMPARE(boards->at(1).station, QString("B"));
    QVERIFY(boards->at(1).reflash);
    QCOMPARE(boards->at(1).serial, serial);
    history.closeThread();
    store.closeThread();
}

QTEST_GUILESS_MAIN(tst_Labels)
#include "tst_labels.moc"
