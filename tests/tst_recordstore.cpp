#include "records/recorder.h"
#include "records/recordstore.h"
#include "records/storeurl.h"

#include <QtConcurrent>
#include <QtTest>

#include <QSqlQuery>

#include <sys/wait.h>
#include <unistd.h>

// The record store on SQLite and on a real PostgreSQL server (started by the test fixture):
// allocation, giving back, voiding, a gone run's numbers, several writers at once, the spool and
// the schema upgrade.
class tst_RecordStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void address_data();
    void address();
    void allocation_data();
    void allocation();
    void goneRun_data();
    void goneRun();
    void concurrent_data();
    void concurrent();
    void spool_data();
    void spool();
    void upgrade_data();
    void upgrade();

private:
    StoreUrl fresh(const QString &backend);
    void backends();

    QTemporaryDir dir;
    int stores = 0;
};

namespace
{
const QString PostgresVariable = "LUMEDRA_TEST_POSTGRES";

SerialScheme counter(const QString &start = "100")
{
    QString error;
    return *SerialScheme::fromFields({{"at", "0"}, {"format", "dec:8"}, {"prefix", "SN"},
                                      {"start", start}},
                                     QString(), &error);
}

RecordStore::Run runOn(const QString &station, qint64 pid = ::getpid())
{
    return {station, "test-host", "1.1", "job", "abc", pid};
}

qint64 deadPid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

QString state(RecordStore &store, qint64 pool, qint64 index)
{
    QString error;
    QSqlDatabase db = store.connection(&error);
    QSqlQuery query(db);
    query.prepare("SELECT state FROM numbers WHERE pool = :pool AND idx = :idx");
    query.bindValue(":pool", pool);
    query.bindValue(":idx", index);
    return query.exec() && query.next() ? query.value(0).toString() : QString("none");
}
} // namespace

void tst_RecordStore::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!qEnvironmentVariableIsEmpty(qPrintable(PostgresVariable)),
             "the PostgreSQL fixture (scripts/pg-cluster.sh) sets LUMEDRA_TEST_POSTGRES");
}

StoreUrl tst_RecordStore::fresh(const QString &backend)
{
    QString error;
    if (backend == "sqlite")
        return *StoreUrl::parse(QString("sqlite:%1/store%2.sqlite").arg(dir.path()).arg(++stores),
                                &error);
    const StoreUrl url = *StoreUrl::parse(qEnvironmentVariable(qPrintable(PostgresVariable)), &error);
    RecordStore wipe(url);
    QSqlDatabase db = wipe.connection(&error);
    QSqlQuery query(db);
    query.exec("DROP SCHEMA public CASCADE");
    query.exec("CREATE SCHEMA public");
    return url;
}

void tst_RecordStore::backends()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << "sqlite";
    QTest::newRow("postgresql") << "postgresql";
}

void tst_RecordStore::address_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("error");
    QTest::newRow("socket folder percent-encoded")
        << "postgresql://lumedra@%2Frun%2Fpostgresql/boards" << "/run/postgresql" << -1
        << "lumedra" << "boards" << "";
    QTest::newRow("host and port") << "postgresql://db.line:6543/boards" << "db.line" << 6543 << ""
                                   << "boards" << "";
    QTest::newRow("host as parameter") << "postgres:///boards?host=/tmp/pg&user=x" << "/tmp/pg"
                                       << -1 << "x" << "boards" << "";
    QTest::newRow("password refused") << "postgresql://lumedra:s3cret@db/boards" << "" << -1 << ""
                                      << "" << "password";
    QTest::newRow("password parameter refused") << "postgresql://db/boards?password=s3cret" << ""
                                                << -1 << "" << "" << "password";
    QTest::newRow("no database") << "postgresql://db" << "" << -1 << "" << "" << "no database";
    QTest::newRow("neither form") << "mysql://db/boards" << "" << -1 << "" << "" << "neither";
}

void tst_RecordStore::address()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, user);
    QFETCH(QString, database);
    QFETCH(QString, error);
    QString said;
    const std::optional<StoreUrl> url = StoreUrl::parse(text, &said);
    QCOMPARE(url.has_value(), error.isEmpty());
    if (!url) {
        QVERIFY2(said.contains(error), qPrintable(said));
        QVERIFY2(!said.contains("s3cret"), qPrintable(said));
        return;
    }
    QCOMPARE(url->host, host);
    QCOMPARE(url->port, port);
    QCOMPARE(url->user, user);
    QCOMPARE(url->database, database);
}

void tst_RecordStore::allocation_data()
{
    backends();
}

void tst_RecordStore::allocation()
{
    QFETCH(QString, backend);
    RecordStore store(fresh(backend));
    const SerialScheme scheme = counter();
    QString error;
    QVERIFY2(store.open(&error), qPrintable(error));
    QVector<RecordStore::Voided> voided;
    const auto run = store.startRun(runOn("st1"), &voided, &error);
    QVERIFY2(run, qPrintable(error));
    const auto pool = store.pool(scheme, &error);
    QVERIFY2(pool, qPrintable(error));
    SerialValue a, b, c, d, e;
    for (SerialValue *v : {&a, &b, &c})
        QCOMPARE(store.reserve(*pool, scheme, *run, v, &error), RecordStore::Reserved::Ok);
    QCOMPARE(QList<quint64>({a.number, b.number, c.number}), QList<quint64>({100, 101, 102}));
    // A board that failed before its number reached the loader gives it back: the next takes it.
    QVERIFY(store.giveBack(*pool, b.index, *run, &error));
    QCOMPARE(store.reserve(*pool, scheme, *run, &d, &error), RecordStore::Reserved::Ok);
    QCOMPARE(d.number, quint64(101));
    // A voided number is never handed out again; a used one neither.
    BoardRecord voids{.run = *run, .slot = 1, .board = 1, .boardSerial = "SN000100", .pool = *pool,
                      .index = a.index, .fate = BoardRecord::Fate::Voided, .result = "timeout",
                      .time = "t"};
    BoardRecord uses{.run = *run, .slot = 2, .board = 2, .boardSerial = "SN000101", .pool = *pool,
                     .index = d.index, .fate = BoardRecord::Fate::Used, .result = "done",
                     .time = "t"};
    QVERIFY2(store.record(voids, &error), qPrintable(error));
    QVERIFY2(store.record(uses, &error), qPrintable(error));
    QCOMPARE(state(store, *pool, a.index), QString("void"));
    QCOMPARE(state(store, *pool, d.index), QString("used"));
    // The same line written twice (a spool replayed) stays one line.
    QVERIFY(store.record(uses, &error));
    QCOMPARE(store.reserve(*pool, scheme, *run, &e, &error), RecordStore::Reserved::Ok);
    QCOMPARE(e.number, quint64(103));
    // Stopping gives back what the run still holds (c, e).
    QVERIFY(store.stopRun(*run, &error));
    QCOMPARE(state(store, *pool, c.index), QString("returned"));
    QCOMPARE(state(store, *pool, e.index), QString("returned"));
    QSqlDatabase db = store.connection(&error);
    QSqlQuery count(db);
    QVERIFY(count.exec("SELECT COUNT(*) FROM boards") && count.next());
    QCOMPARE(count.value(0).toInt(), 2);
}

void tst_RecordStore::goneRun_data()
{
    backends();
}

void tst_RecordStore::goneRun()
{
    QFETCH(QString, backend);
    RecordStore store(fresh(backend));
    const SerialScheme scheme = counter();
    QString error;
    QVERIFY(store.open(&error));
    QVector<RecordStore::Voided> voided;
    const auto crashed = store.startRun(runOn("st1", deadPid()), &voided, &error);
    QVERIFY(crashed);
    const auto pool = store.pool(scheme, &error);
    SerialValue held, kept;
    QCOMPARE(store.reserve(*pool, scheme, *crashed, &held, &error), RecordStore::Reserved::Ok);
    // The next start finds the crashed run's process gone and voids what it held.
    const auto next = store.startRun(runOn("st2"), &voided, &error);
    QVERIFY2(next, qPrintable(error));
    QCOMPARE(voided.size(), 1);
    QCOMPARE(voided[0].run, *crashed);
    QCOMPARE(voided[0].serial, QString("SN000100"));
    QCOMPARE(state(store, *pool, held.index), QString("void"));
    // A live run on the same host keeps its number when another starts.
    QCOMPARE(store.reserve(*pool, scheme, *next, &kept, &error), RecordStore::Reserved::Ok);
    voided.clear();
    QVERIFY(store.startRun(runOn("st3"), &voided, &error));
    QVERIFY(voided.isEmpty());
    QCOMPARE(state(store, *pool, kept.index), QString("reserved"));
    SerialValue fresh;
    QCOMPARE(store.reserve(*pool, scheme, *next, &fresh, &error), RecordStore::Reserved::Ok);
    QCOMPARE(fresh.number, quint64(102));
}

void tst_RecordStore::concurrent_data()
{
    backends();
}

void tst_RecordStore::concurrent()
{
    QFETCH(QString, backend);
    const StoreUrl url = fresh(backend);
    const SerialScheme scheme = counter();
    constexpr int Writers = 4;
    constexpr int Each = 25;
    // Each writer is a station of its own, with its own store object and connection.
    QString error;
    RecordStore setup(url);
    QVERIFY(setup.open(&error));
    QVector<RecordStore::Voided> voided;
    const auto run = setup.startRun(runOn("st"), &voided, &error);
    const auto pool = setup.pool(scheme, &error);
    QVERIFY(run && pool);
    QThreadPool threads;
    threads.setMaxThreadCount(Writers);
    QVector<QFuture<QList<qint64>>> futures;
    for (int w = 0; w < Writers; ++w)
        futures << QtConcurrent::run(&threads, [&] {
            RecordStore store(url);
            QList<qint64> got;
            QString why;
            SerialValue value;
            for (int i = 0; i < Each; ++i)
                if (store.reserve(*pool, scheme, *run, &value, &why) == RecordStore::Reserved::Ok)
                    got << value.index;
            return got;
        });
    QList<qint64> all;
    for (auto &future : futures)
        all += future.result();
    std::sort(all.begin(), all.end());
    QCOMPARE(all.size(), Writers * Each);
    for (int i = 0; i < all.size(); ++i)
        QCOMPARE(all[i], qint64(i));
}

void tst_RecordStore::spool_data()
{
    backends();
}

void tst_RecordStore::spool()
{
    QFETCH(QString, backend);
    const QString spoolPath = dir.filePath(backend + "-spool.jsonl");
    const SerialScheme scheme = counter();
    QString error;
    RecordStore store(fresh(backend));
    QVERIFY(store.open(&error));
    QVector<RecordStore::Voided> voided;
    const auto run = store.startRun(runOn("st"), &voided, &error);
    const auto pool = store.pool(scheme, &error);
    SerialValue value;
    QCOMPARE(store.reserve(*pool, scheme, *run, &value, &error), RecordStore::Reserved::Ok);

    // The store out of reach: the line goes to the spool, and the call still succeeds.
    {
        RecordStore away(*StoreUrl::parse("postgresql://nobody@%2Fnonexistent/none", &error));
        RecordSpool spool(spoolPath);
        Recorder recorder(&away, &spool, scheme);
        BoardRecord line{.slot = 1, .board = 7, .boardSerial = "SN000100", .index = value.index,
                         .fate = BoardRecord::Fate::Used, .result = "done", .time = "t"};
        QVERIFY(!recorder.start(runOn("st"), &voided, &error));
        QVERIFY(recorder.record(line, &error));
        QVERIFY(!spool.empty());
    }
    // Rewritten with the run and pool the line belongs to, as the crashed run knew them.
    QFile file(spoolPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray content = file.readAll();
    file.close();
    content.replace("\"run\":0", QByteArray("\"run\":") + QByteArray::number(*run));
    content.replace("\"pool\":0", QByteArray("\"pool\":") + QByteArray::number(*pool));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content + "{\"op\":\"board\",\"bo"); // a line cut short by a crash
    file.close();

    RecordSpool spool(spoolPath);
    Recorder recorder(&store, &spool, scheme);
    QVERIFY2(recorder.start(runOn("st"), &voided, &error), qPrintable(error));
    QVERIFY(spool.empty());
    QCOMPARE(state(store, *pool, value.index), QString("used"));
    QSqlDatabase db = store.connection(&error);
    QSqlQuery query(db);
    QVERIFY(query.exec("SELECT serial, board FROM boards") && query.next());
    QCOMPARE(query.value(0).toString(), QString("SN000100"));
    QCOMPARE(query.value(1).toInt(), 7);
}

void tst_RecordStore::upgrade_data()
{
    backends();
}

void tst_RecordStore::upgrade()
{
    QFETCH(QString, backend);
    const StoreUrl url = fresh(backend);
    const bool postgres = backend == "postgresql";
    QString error;
    {
        // A store written by the first version: no serial numbers yet.
        RecordStore old(url);
        QSqlDatabase db = old.connection(&error);
        QSqlQuery q(db);
        const QString id = postgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT";
        QVERIFY(q.exec("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"));
        QVERIFY(q.exec("INSERT INTO meta VALUES ('schema', '1')"));
        QVERIFY(q.exec("CREATE TABLE runs (id " + id +
                       ", station TEXT NOT NULL, host TEXT NOT NULL, version TEXT, job TEXT, "
                       "image_sha256 TEXT, started TEXT NOT NULL, stopped TEXT)"));
        QVERIFY(q.exec("CREATE TABLE boards (id " + id +
                       ", run BIGINT NOT NULL REFERENCES runs(id), slot INTEGER, board INTEGER "
                       "NOT NULL, vid TEXT, pid TEXT, usb_serial TEXT, location TEXT, result TEXT "
                       "NOT NULL, reason TEXT, attempts INTEGER, seconds DOUBLE PRECISION, time "
                       "TEXT NOT NULL, UNIQUE (run, board))"));
        QVERIFY(q.exec("INSERT INTO runs (station, host, started, stopped) VALUES ('old', 'h', "
                       "'2026-01-01T00:00:00Z', '2026-01-01T01:00:00Z')"));
        QVERIFY(q.exec("INSERT INTO boards (run, board, result, time) VALUES (1, 1, 'done', "
                       "'2026-01-01T00:10:00Z')"));
    }
    RecordStore store(url);
    QVERIFY2(store.open(&error), qPrintable(error));
    QSqlDatabase db = store.connection(&error);
    QSqlQuery q(db);
    QVERIFY(q.exec("SELECT value FROM meta WHERE key = 'schema'") && q.next());
    QCOMPARE(q.value(0).toInt(), RecordStore::SchemaVersion);
    QVERIFY(q.exec("SELECT result, serial FROM boards WHERE run = 1") && q.next());
    QCOMPARE(q.value(0).toString(), QString("done"));
    QVERIFY(q.value(1).isNull());
    // The upgraded store allocates like a new one, and a second open changes nothing.
    QVERIFY(store.open(&error));
    QVector<RecordStore::Voided> voided;
    const auto run = store.startRun(runOn("new"), &voided, &error);
    const auto pool = store.pool(counter(), &error);
    SerialValue value;
    QVERIFY2(run && pool, qPrintable(error));
    QCOMPARE(store.reserve(*pool, counter(), *run, &value, &error), RecordStore::Reserved::Ok);
    QCOMPARE(value.number, quint64(100));
}

QTEST_GUILESS_MAIN(tst_RecordStore)
#include "tst_recordstore.moc"
