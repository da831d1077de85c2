#include "records/boardnumbering.h"
#include "records/imagearchive.h"
#include "records/recorder.h"
#include "records/recordstore.h"
#include "records/report.h"
#include "records/storelook.h"
#include "records/storeurl.h"

#include <QtConcurrent>
#include <QtTest>

#include <QSqlDatabase>
#include <QSqlQuery>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The record store on SQLite and on a real PostgreSQL server (started by the test fixture):
// allocation, giving back, voiding, a gone run's numbers, several writers at once, the spool,
// the report, the images kept with the boards, a read-only look and the schema upgrade.
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
    void otherUser_data();
    void otherUser();
    void concurrent_data();
    void concurrent();
    void spool_data();
    void spool();
    void partialDrain_data();
    void partialDrain();
    void report_data();
    void report();
    void archive_data();
    void archive();
    void readOnly_data();
    void readOnly();
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
    return {station, "test-host", "1.1", "job", "abc", pid, true};
}

qint64 deadPid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

// A child that has exited and is not reaped yet: kill() still finds it.
qint64 zombiePid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    siginfo_t info{};
    ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
    return pid;
}

// The test's own connection to a store, past the library: to see and to shape its tables.
QSqlQuery raw(const StoreUrl &url, const QString &database = QString())
{
    const QString name = "raw-" + url.display() + database;
    if (!QSqlDatabase::contains(name)) {
        const bool postgres = url.kind == StoreUrl::Kind::Postgres;
        QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? "QPSQL" : "QSQLITE", name);
        db.setDatabaseName(postgres ? (database.isEmpty() ? url.database : database) : url.path);
        db.setHostName(url.host);
        db.setUserName(url.user);
    }
    QSqlDatabase db = QSqlDatabase::database(name);
    return QSqlQuery(db);
}

QString state(const StoreUrl &url, qint64 pool, qint64 index)
{
    QSqlQuery query = raw(url);
    query.prepare("SELECT state FROM numbers WHERE pool = :pool AND idx = :idx");
    query.bindValue(":pool", pool);
    query.bindValue(":idx", index);
    return query.exec() && query.next() ? query.value(0).toString() : QString("none");
}

// A number's history as "event run, event run, ...".
QString history(const StoreUrl &url, const QString &serial)
{
    Report report(url);
    QString error;
    const auto steps = report.history(serial, &error);
    if (!steps)
        return error;
    QStringList said;
    for (const Report::Step &step : *steps)
        said << QString("%1 %2").arg(step.event).arg(step.run);
    return said.join(", ");
}

// Makes the store refuse `event` (INSERT, UPDATE) on `table` where `when` (SQL on NEW) holds: a
// store that fails at that point.
bool refuse(const StoreUrl &url, const QString &event, const QString &table, const QString &when)
{
    QSqlQuery query = raw(url);
    if (url.kind == StoreUrl::Kind::Sqlite)
        return query.exec(QString("CREATE TRIGGER refuse_%1 BEFORE %2 ON %1 FOR EACH ROW WHEN %3 "
                                  "BEGIN SELECT RAISE(ABORT, 'refused'); END")
                              .arg(table, event, when));
    return query.exec("CREATE OR REPLACE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE "
                      "EXCEPTION 'refused'; END $$ LANGUAGE plpgsql") &&
           query.exec(QString("CREATE TRIGGER refuse_%1 BEFORE %2 ON %1 FOR EACH ROW WHEN (%3) "
                              "EXECUTE FUNCTION refuse()")
                          .arg(table, event, when));
}

bool allow(const StoreUrl &url, const QString &table)
{
    return raw(url).exec(QString(url.kind == StoreUrl::Kind::Sqlite
                                     ? "DROP TRIGGER refuse_%1"
                                     : "DROP TRIGGER refuse_%1 ON %1")
                             .arg(table));
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
    QSqlQuery query = raw(url);
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
    const StoreUrl url = fresh(backend);
    RecordStore store(url);
    const SerialScheme scheme = counter();
    QString error;
    QVERIFY2(store.open(&error), qPrintable(error));
    QVector<RecordStore::Voided> voided;
    const auto run = store.startRun(runOn("st1"), &voided, &error);
    QVERIFY2(run, qPrintable(error));
    const auto pool = store.pool(scheme, &error);
    QVERIFY2(pool, qPrintable(error));
    SerialValue a, b, c, d, e, next;
    for (SerialValue *v : {&a, &b, &c})
        QCOMPARE(store.reserve(*pool, scheme, *run, v, &error), Reserved::Ok);
    QCOMPARE(QList<quint64>({a.number, b.number, c.number}), QList<quint64>({100, 101, 102}));
    // A board that failed before its number reached the loader gives it back: the next takes it.
    QVERIFY(store.giveBack(*pool, b.index, *run, &error));
    QCOMPARE(store.next(*pool, scheme, &next, &error), Reserved::Ok);
    QCOMPARE(next.number, quint64(101));
    RecordStore::Upcoming after;
    QCOMPARE(store.reserve(*pool, scheme, *run, &d, &error, &after), Reserved::Ok);
    QCOMPARE(d.number, quint64(101));
    QCOMPARE(after.state, Reserved::Ok);
    QCOMPARE(after.value.number, quint64(103));
    // A voided number is never handed out again; a used one neither.
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    BoardRecord voids{.run = *run,
                      .slot = 1,
                      .board = 1,
                      .boardSerial = "SN000100",
                      .pool = *pool,
                      .index = a.index,
                      .fate = BoardRecord::Fate::Voided,
                      .result = "timeout",
                      .time = now};
    BoardRecord uses{.run = *run,
                     .slot = 2,
                     .board = 2,
                     .boardSerial = "SN000101",
                     .pool = *pool,
                     .index = d.index,
                     .fate = BoardRecord::Fate::Used,
                     .result = "done",
                     .time = now};
    QVERIFY2(store.record(voids, &error), qPrintable(error));
    QVERIFY2(store.record(uses, &error), qPrintable(error));
    QCOMPARE(state(url, *pool, a.index), QString("void"));
    QCOMPARE(state(url, *pool, d.index), QString("used"));
    // The same line written twice (a spool replayed) stays one line.
    QVERIFY(store.record(uses, &error));
    QCOMPARE(store.reserve(*pool, scheme, *run, &e, &error), Reserved::Ok);
    QCOMPARE(e.number, quint64(103));
    // Stopping gives back what the run still holds (c, e).
    QVERIFY(store.stopRun(*run, &error));
    QCOMPARE(state(url, *pool, c.index), QString("returned"));
    QCOMPARE(state(url, *pool, e.index), QString("returned"));
    QSqlQuery count = raw(url);
    QVERIFY(count.exec("SELECT COUNT(*) FROM boards") && count.next());
    QCOMPARE(count.value(0).toInt(), 2);
    // Every change is in the number's history, boards included; the look counts the numbers.
    const QString r = QString::number(*run);
    QCOMPARE(history(url, "SN000101"), QString("reserved %1, returned %1, reserved %1, board %1, "
                                               "used %1")
                                           .arg(r));
    const auto look = StoreLook::of(url, scheme, &error);
    QVERIFY2(look, qPrintable(error));
    QVERIFY(look->created);
    QCOMPARE(look->schemaVersion, RecordStore::SchemaVersion);
    QCOMPARE(QList<qint64>({look->reserved, look->used, look->returned, look->voided}),
             QList<qint64>({0, 1, 2, 1}));
    QCOMPARE(look->next, QString("SN000102"));
    // With two given back, the second is the next once the first is taken.
    const auto again = store.startRun(runOn("st2"), &voided, &error);
    QVERIFY2(again, qPrintable(error));
    QCOMPARE(store.reserve(*pool, scheme, *again, &c, &error, &after), Reserved::Ok);
    QCOMPARE(c.number, quint64(102));
    QCOMPARE(after.value.number, quint64(103));
    QCOMPARE(store.reserve(*pool, scheme, *again, &e, &error, &after), Reserved::Ok);
    QCOMPARE(after.value.number, quint64(104));
}

void tst_RecordStore::goneRun_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<bool>("zombie");    // the gone run's process: a zombie, or reaped
    QTest::addColumn<bool>("sameSpool"); // the next run replays the gone run's spool
    QTest::addColumn<bool>("noted");     // the gone run noted its numbers going out
    QTest::addColumn<QString>("unsent"); // what became of its number that never went out
    for (const char *backend : {"sqlite", "postgresql"}) {
        const auto row = [&](const char *name, bool zombie, bool same, bool noted,
                             const char *unsent) {
            QTest::addRow("%s, %s", backend, name) << backend << zombie << same << noted << unsent;
        };
        row("ended, same station", false, true, true, "returned");
        row("zombie, same station", true, true, true, "returned");
        row("ended, another station's spool", false, false, true, "void");
        row("ended, a run that noted nothing", false, true, false, "void");
    }
}

// A run killed with numbers reserved: the next start voids those that went out towards a board,
// and gives back those that never did where no note of theirs can be missing.
void tst_RecordStore::goneRun()
{
    QFETCH(QString, backend);
    QFETCH(bool, zombie);
    QFETCH(bool, sameSpool);
    QFETCH(bool, noted);
    QFETCH(QString, unsent);
    const StoreUrl url = fresh(backend);
    RecordStore store(url);
    const SerialScheme scheme = counter();
    RecordSpool killedSpool(dir.filePath(backend + "-killed.jsonl")),
        otherSpool(dir.filePath(backend + "-other.jsonl"));
    QString error;
    QVector<RecordStore::Voided> voided;
    const qint64 pid = zombie ? zombiePid() : deadPid();
    RecordStore::Run killedRun = runOn("st1", pid);
    killedRun.notesWentOut = noted;
    Recorder killed(&store, &killedSpool, scheme);
    QVERIFY2(killed.start(killedRun, &voided, &error), qPrintable(error));
    SerialValue out, held, kept;
    QCOMPARE(killed.reserve(&out, &error), Reserved::Ok);
    QCOMPARE(killed.reserve(&held, &error), Reserved::Ok);
    QVERIFY(killed.wentOut(out, &error));

    Recorder next(&store, sameSpool ? &killedSpool : &otherSpool, scheme);
    QVERIFY2(next.start(runOn(sameSpool ? "st1" : "st2"), &voided, &error), qPrintable(error));
    if (zombie)
        ::waitpid(pid_t(pid), nullptr, 0);
    QStringList serials;
    for (const RecordStore::Voided &number : voided) {
        QCOMPARE(number.run, killed.run());
        serials << number.serial;
    }
    QCOMPARE(serials,
             unsent == "void" ? QStringList({"SN000100", "SN000101"}) : QStringList({"SN000100"}));
    QCOMPARE(state(url, killed.pool(), out.index), QString("void"));
    QCOMPARE(state(url, killed.pool(), held.index), unsent);
    const QString k = QString::number(killed.run()), n = QString::number(next.run());
    QCOMPARE(history(url, "SN000101"), QString("reserved %1, %2_at_start %3").arg(k, unsent, n));
    QCOMPARE(next.status().next, QString(unsent == "void" ? "SN000102" : "SN000101"));

    // A live run on the same host keeps its number when another starts.
    QCOMPARE(next.reserve(&kept, &error), Reserved::Ok);
    voided.clear();
    Recorder third(&store, &otherSpool, scheme);
    QVERIFY(third.start(runOn("st3"), &voided, &error));
    QVERIFY(voided.isEmpty());
    QCOMPARE(state(url, killed.pool(), kept.index), QString("reserved"));
}

void tst_RecordStore::otherUser_data()
{
    backends();
}

// A run whose process lives under another user (kill() says EPERM) is alive: its numbers stay.
// Pid 1 is root's; as root, the next run starts in a child that has become nobody.
void tst_RecordStore::otherUser()
{
    QFETCH(QString, backend);
    QTemporaryDir shared;
    QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 0777) == 0);
    QString error;
    const StoreUrl url = backend == "sqlite"
                             ? *StoreUrl::parse("sqlite:" + shared.filePath("s.sqlite"), &error)
                             : fresh(backend);
    qint64 pool = 0, index = 0;
    {
        RecordStore store(url);
        QVector<RecordStore::Voided> voided;
        QVERIFY(store.open(&error));
        const auto run = store.startRun(runOn("root's", 1), &voided, &error);
        const auto made = store.pool(counter(), &error);
        QVERIFY2(run && made, qPrintable(error));
        SerialValue value;
        QCOMPARE(store.reserve(*made, counter(), *run, &value, &error), Reserved::Ok);
        pool = *made;
        index = value.index;
    }
    if (backend == "sqlite")
        QVERIFY(::chmod(QFile::encodeName(url.path).constData(), 0666) == 0);
    const auto startNext = [&] {
        RecordStore store(url);
        QVector<RecordStore::Voided> voided;
        QString why;
        return store.open(&why) && store.startRun(runOn("nobody's"), &voided, &why) &&
               voided.isEmpty();
    };
    if (::geteuid() != 0) {
        QVERIFY(startNext());
    } else {
        const passwd *nobody = ::getpwnam("nobody");
        QVERIFY(nobody);
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0 && startNext()
                        ? 0
                        : 1);
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
    QCOMPARE(state(url, pool, index), QString("reserved"));
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
                if (store.reserve(*pool, scheme, *run, &value, &why) == Reserved::Ok)
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
    const StoreUrl url = fresh(backend);
    RecordStore store(url);
    QVERIFY(store.open(&error));
    QVector<RecordStore::Voided> voided;
    const auto run = store.startRun(runOn("st"), &voided, &error);
    const auto pool = store.pool(scheme, &error);
    SerialValue value;
    QCOMPARE(store.reserve(*pool, scheme, *run, &value, &error), Reserved::Ok);

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
    QCOMPARE(state(url, *pool, value.index), QString("used"));
    QSqlQuery query = raw(url);
    QVERIFY(query.exec("SELECT serial, board FROM boards") && query.next());
    QCOMPARE(query.value(0).toString(), QString("SN000100"));
    QCOMPARE(query.value(1).toInt(), 7);
}

void tst_RecordStore::partialDrain_data()
{
    backends();
}

// A store that refuses partway through a drain: the spool keeps only what it did not take, the
// status tells the store lost and the entries waiting, and heal() recovers once it answers.
void tst_RecordStore::partialDrain()
{
    QFETCH(QString, backend);
    const StoreUrl url = fresh(backend);
    RecordStore store(url);
    RecordSpool spool(dir.filePath(backend + "-partial.jsonl"));
    Recorder recorder(&store, &spool, counter());
    QString error;
    QVector<RecordStore::Voided> voided;
    QVERIFY2(recorder.start(runOn("st"), &voided, &error), qPrintable(error));
    QCOMPARE(recorder.status().next, QString("SN000100"));
    SerialValue a, b, again;
    QCOMPARE(recorder.reserve(&a, &error), Reserved::Ok);
    QCOMPARE(recorder.reserve(&b, &error), Reserved::Ok);
    QVERIFY(!recorder.status().lost);
    QCOMPARE(recorder.status().next, QString("SN000102"));

    QVERIFY(refuse(url, "UPDATE", "numbers", "1 = 1"));
    QVERIFY(refuse(url, "INSERT", "boards", "NEW.board = 99"));
    QVERIFY(recorder.giveBack(a, &error));
    QVERIFY(recorder.record({.slot = 1,
                             .board = 99,
                             .boardSerial = "SN000101",
                             .index = b.index,
                             .fate = BoardRecord::Fate::Used,
                             .result = "done",
                             .time = "t"},
                            &error));
    QVERIFY(recorder.record({.slot = 2, .board = 2, .result = "timeout", .time = "t"}, &error));
    const Recorder::Status lost = recorder.status();
    QVERIFY(lost.lost);
    QCOMPARE(lost.spooled, 3);
    QVERIFY(!recorder.heal(&error));
    QVERIFY(recorder.status().lost == lost.lost);

    // The store takes the give-back and stops at board 99. Another slot's reservation (the
    // recorder's own waits for the spool) takes a again.
    QVERIFY(allow(url, "numbers"));
    QVERIFY(!recorder.heal(&error));
    QCOMPARE(recorder.status().spooled, 2);
    QCOMPARE(state(url, recorder.pool(), a.index), QString("returned"));
    QCOMPARE(store.reserve(recorder.pool(), counter(), recorder.run(), &again, &error),
             Reserved::Ok);
    QCOMPARE(again.number, a.number);

    // Once it takes everything, no give-back is replayed: a stays with its new board.
    QVERIFY(allow(url, "boards"));
    QVERIFY2(recorder.heal(&error), qPrintable(error));
    QVERIFY(!recorder.status().lost);
    QCOMPARE(recorder.status().spooled, 0);
    QCOMPARE(state(url, recorder.pool(), a.index), QString("reserved"));
    QCOMPARE(state(url, recorder.pool(), b.index), QString("used"));
    QCOMPARE(recorder.status().next, QString("SN000102"));
}

void tst_RecordStore::report_data()
{
    backends();
}

// The report's totals and rows over a time range: boards a stop ended count nowhere, nor do
// boards outside the range.
void tst_RecordStore::report()
{
    QFETCH(QString, backend);
    const StoreUrl url = fresh(backend);
    RecordStore store(url);
    QString error;
    QVector<RecordStore::Voided> voided;
    QVERIFY(store.open(&error));
    const auto one = store.startRun({"st-1", "h", "1", "", "img1", ::getpid()}, &voided, &error);
    const auto two = store.startRun({"st-2", "h", "1", "", "img1", ::getpid()}, &voided, &error);
    QVERIFY(one && two);
    const QDateTime hour = QDateTime::currentDateTimeUtc();
    const QString at = hour.toString(Qt::ISODateWithMs);
    const auto board = [&](qint64 run, int number, const char *result, int attempts,
                           const QString &time) {
        return store.record(
            {.run = run, .board = number, .result = result, .attempts = attempts, .time = time},
            &error);
    };
    QVERIFY(board(*one, 1, "done", 1, at) && board(*one, 2, "done", 2, at) &&
            board(*one, 3, "timeout", 3, at) && board(*one, 4, "stopped", 1, at) &&
            board(*two, 1, "done", 1, at) && board(*one, 5, "done", 1, "2020-01-01T00:00:00.000Z"));

    Report report(url);
    const QDateTime from = hour.addDays(-1);
    const auto totals = report.totals(from, QDateTime(), &error);
    QVERIFY2(totals, qPrintable(error));
    QCOMPARE(QList<qint64>({totals->boards, totals->done, totals->failed, totals->firstPass}),
             QList<qint64>({4, 3, 1, 2}));
    QCOMPARE(totals->yield, 0.75);
    QCOMPARE(totals->firstPassYield, 0.5);
    QVERIFY(totals->boardsPerHour > 0);
    const auto rows = report.rows(from, hour.addSecs(3600), &error);
    QVERIFY2(rows, qPrintable(error));
    QCOMPARE(rows->size(), 2);
    QCOMPARE(rows->at(0).station + ' ' + rows->at(1).station, QString("st-1 st-2"));
    QCOMPARE(rows->at(0).hour.toString("HH"), hour.toString("HH"));
    QCOMPARE(rows->at(0).totals.boards, 3);
    QCOMPARE(rows->at(1).totals.yield, 1.0);
    QVERIFY(rows->at(0).totals.boardsPerHour > 0);
    const auto old = report.rows(QDateTime(), from, &error);
    QVERIFY(old && old->size() == 1 && old->at(0).totals.boards == 1);
    const auto unknown = report.history("SN999999", &error);
    QVERIFY(unknown && unknown->isEmpty());
}

void tst_RecordStore::archive_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<bool>("done");       // the board used its number; else it voided it
    QTest::addColumn<qint64>("size");     // of the base image
    QTest::addColumn<QString>("tamper");  // SQL on the store before the rebuild
    QTest::addColumn<QString>("refusal"); // empty: rebuilt
    QTest::addColumn<bool>("baseKept");   // the base image comes back
    const qint64 small = 4096;
    for (const char *backend : {"sqlite", "postgresql"}) {
        QTest::addRow("%s used", backend) << backend << true << small << "" << "" << true;
        QTest::addRow("%s voided", backend) << backend << false << small << "" << "" << true;
        QTest::addRow("%s received differs", backend)
            << backend << true << small << "UPDATE boards SET received_sha256 = 'ab'"
            << "not the ab it received" << true;
        QTest::addRow("%s number's value missing", backend)
            << backend << true << small << "UPDATE numbers SET number = NULL"
            << "did not record how board 7" << true;
        QTest::addRow("%s kept bytes altered", backend)
            << backend << true << small
            << (backend == QString("sqlite") ? "UPDATE images SET bytes = X'00'"
                                             : "UPDATE images SET bytes = decode('00', 'hex')")
            << "have the SHA-256" << false;
        QTest::addRow("%s image too big to keep", backend)
            << backend << true << ImageArchive::KeptLimit + 1 << "" << "was not kept"
            << false;
    }
}

// A board's bytes rebuilt from the image kept once with its runs and the number and CRC its run
// wrote in, checked against what the board received; refused, saying why, where they cannot be.
void tst_RecordStore::archive()
{
    QFETCH(QString, backend);
    QFETCH(bool, done);
    QFETCH(qint64, size);
    QFETCH(QString, tamper);
    QFETCH(QString, refusal);
    QFETCH(bool, baseKept);
    const StoreUrl url = fresh(backend);
    QByteArray bytes(int(size), '\0');
    for (int i = 0; i < bytes.size(); i += 61)
        bytes[i] = char(i / 61);
    Image base = Image::fromBytes(bytes);
    base.format = ImageFormat::IntelHex;
    base.base = 0x8000000;
    base.fill = 0x00;
    QString error;
    const auto scheme = SerialScheme::fromFields({{"at", "0x20"},
                                                  {"format", "be32"},
                                                  {"start", "0x10000"},
                                                  {"step", "3"},
                                                  {"crc32-at", "0"},
                                                  {"crc32-range", QString("4:%1").arg(size)}},
                                                 QString(), &error);
    QVERIFY2(scheme, qPrintable(error));
    RecordStore store(url);
    RecordSpool spool(dir.filePath(backend + "-archive.jsonl"));
    Recorder recorder(&store, &spool, scheme);
    RecordStore::Run run = runOn("st");
    run.imageSha256 = QString::fromLatin1(base.sha256);
    run.image = base;
    QVector<RecordStore::Voided> voided;
    QVERIFY2(recorder.start(run, &voided, &error), qPrintable(error));
    BoardNumbering numbering(&recorder, base);
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    // A second number, so that the board's is not the scheme's start.
    numbering.giveBack();
    SerialValue first;
    QCOMPARE(recorder.reserve(&first, &error), Reserved::Ok);
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    numbering.goesOut();
    const Image sent = numbering.image();
    const QString serial = numbering.text();
    BoardRecord line{.run = recorder.run(),
                     .slot = 1,
                     .board = 7,
                     .boardSerial = serial,
                     .pool = recorder.pool(),
                     .index = numbering.value().index,
                     .result = done ? "done" : "download_error",
                     .time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                     .receivedSha256 = QString::fromLatin1(sent.sha256)};
    line.fate = numbering.settle(done, size).first().fate;
    QCOMPARE(line.fate, done ? BoardRecord::Fate::Used : BoardRecord::Fate::Voided);
    QVERIFY2(recorder.record(line, &error), qPrintable(error));
    recorder.stop();
    // A second run of the same image finds it kept.
    QVERIFY2(store.startRun(run, &voided, &error), qPrintable(error));
    QSqlQuery query = raw(url);
    QVERIFY(query.exec("SELECT COUNT(*), MIN(format), MIN(base), MIN(fill), MIN(size) FROM "
                       "images") &&
            query.next());
    QCOMPARE(query.value(0).toInt(), 1);
    QCOMPARE(query.value(1).toString() + ' ' + query.value(2).toString() + ' ' +
                 query.value(3).toString() + ' ' + query.value(4).toString(),
             QString("ihex %1 0 %2").arg(0x8000000).arg(size));
    query.finish();
    if (!tamper.isEmpty())
        QVERIFY(query.exec(tamper));

    Report report(url);
    const std::optional<QByteArray> rebuilt = report.boardImage(serial, &error);
    const std::optional<ImageArchive::Entry> kept = report.image(run.imageSha256, &error);
    if (!refusal.isEmpty()) {
        QVERIFY(!rebuilt);
        report.boardImage(serial, &error);
        QVERIFY2(error.contains(refusal), qPrintable(error));
        QCOMPARE(kept.has_value(), baseKept);
        return;
    }
    QVERIFY2(rebuilt, qPrintable(error));
    QVERIFY(*rebuilt != base.bytes);
    QCOMPARE(rebuilt->toHex(), sent.bytes.toHex());
    QVERIFY2(kept, qPrintable(error));
    QCOMPARE(kept->bytes.toHex(), base.bytes.toHex());
    QCOMPARE(kept->format + ' ' + QString::number(kept->base) + ' ' + QString::number(kept->fill),
             QString("ihex %1 0").arg(0x8000000));
    QVERIFY(!report.image(QString(64, 'f'), &error));
    QVERIFY2(error.contains("holds no image"), qPrintable(error));
    QVERIFY(!report.boardImage("12345", &error));
    QVERIFY2(error.contains("never heard of 12345"), qPrintable(error));
}

void tst_RecordStore::readOnly_data()
{
    QTest::addColumn<QString>("store"); // DIR: a temporary folder; EMPTY: an empty PostgreSQL db
    QTest::addColumn<QByteArray>("content"); // of the SQLite file; none: no file
    QTest::addColumn<QString>("error");      // from the report
    QTest::addColumn<bool>("lookable");      // a look finds no store there, and says so
    QTest::newRow("SQLite path that does not exist")
        << "sqlite:DIR/no/such/boards.sqlite" << QByteArray() << "no such store: DIR/no/such/"
        << true;
    QTest::newRow("SQLite file that is no database")
        << "sqlite:DIR/text.sqlite" << QByteArray("not a database\n") << "file is not a database"
        << false;
    QTest::newRow("empty SQLite file") << "sqlite:DIR/empty.sqlite" << QByteArray("")
                                       << "no Lumedra store in DIR/empty.sqlite" << true;
    QTest::newRow("PostgreSQL database without the schema")
        << "EMPTY" << QByteArray() << "no Lumedra store in lumedra_empty" << true;
}

// A report and a look open a store read-only and create nothing.
void tst_RecordStore::readOnly()
{
    QFETCH(QString, store);
    QFETCH(QByteArray, content);
    QFETCH(QString, error);
    QFETCH(bool, lookable);
    QTemporaryDir folder;
    store.replace("DIR", folder.path());
    error.replace("DIR", folder.path());
    QString said;
    StoreUrl url;
    if (store == "EMPTY") {
        const StoreUrl fixture =
            *StoreUrl::parse(qEnvironmentVariable(qPrintable(PostgresVariable)), &said);
        raw(fixture).exec("DROP DATABASE IF EXISTS lumedra_empty");
        QVERIFY(raw(fixture).exec("CREATE DATABASE lumedra_empty"));
        url = fixture;
        url.database = "lumedra_empty";
    } else {
        url = *StoreUrl::parse(store, &said);
        if (!content.isNull()) {
            QFile file(url.path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        }
    }
    Report report(url);
    QVERIFY(!report.rows(QDateTime(), QDateTime(), &said));
    QVERIFY2(said.contains(error), qPrintable(said));
    QVERIFY(!report.history("SN000100", &said));
    const auto look = StoreLook::of(url, counter(), &said);
    QCOMPARE(look.has_value(), lookable);
    if (look) {
        QVERIFY(!look->created);
        QCOMPARE(look->next, QString("SN000100"));
    }
    if (url.kind == StoreUrl::Kind::Sqlite) {
        QCOMPARE(QDir(folder.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(),
                 content.isNull() ? 0 : 1);
        QCOMPARE(QFileInfo(url.path).size(), qint64(content.size()));
    } else {
        QSqlQuery tables = raw(url, url.database);
        QVERIFY(tables.exec("SELECT COUNT(*) FROM pg_tables WHERE schemaname = 'public'"));
        QVERIFY(tables.next());
        QCOMPARE(tables.value(0).toInt(), 0);
    }
}

void tst_RecordStore::upgrade_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>("from");
    for (const char *backend : {"sqlite", "postgresql"})
        for (int from : {1, 2, 3})
            QTest::addRow("%s from version %d", backend, from) << backend << from;
}

void tst_RecordStore::upgrade()
{
    QFETCH(QString, backend);
    QFETCH(int, from);
    const StoreUrl url = fresh(backend);
    const QString id =
        backend == "postgresql" ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT";
    QString error;
    // A store written by an older version: the first had no serial numbers, the second no
    // history of them, the third no images.
    QSqlQuery q = raw(url);
    QVERIFY(q.exec("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"));
    QVERIFY(q.exec(QString("INSERT INTO meta VALUES ('schema', '%1')").arg(from)));
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
    if (from >= 2) {
        for (const char *statement :
             {"ALTER TABLE runs ADD COLUMN pid BIGINT", "ALTER TABLE runs ADD COLUMN ended TEXT",
              "ALTER TABLE boards ADD COLUMN serial TEXT",
              "ALTER TABLE boards ADD COLUMN serial_fate TEXT",
              "ALTER TABLE boards ADD COLUMN received_sha256 TEXT",
              "CREATE INDEX boards_serial ON boards (serial)"})
            QVERIFY(q.exec(statement));
        QVERIFY(q.exec("CREATE TABLE pools (id " + id +
                       ", scheme TEXT NOT NULL UNIQUE, next_index BIGINT NOT NULL)"));
        QVERIFY(q.exec("CREATE TABLE numbers (pool BIGINT NOT NULL REFERENCES pools(id), idx "
                       "BIGINT NOT NULL, serial TEXT NOT NULL, state TEXT NOT NULL, run BIGINT, "
                       "board INTEGER, PRIMARY KEY (pool, idx))"));
        QVERIFY(q.exec("CREATE INDEX numbers_state ON numbers (pool, state, idx)"));
        QVERIFY(q.exec(QString("INSERT INTO pools (scheme, next_index) VALUES ('%1', 1)")
                           .arg(counter().key())));
        QVERIFY(q.exec("INSERT INTO numbers VALUES (1, 0, 'SN000100', 'void', 1, NULL)"));
    }
    if (from >= 3)
        for (const QString &statement :
             {QString("ALTER TABLE numbers ADD COLUMN went_out TEXT"),
              QString("ALTER TABLE runs ADD COLUMN spool TEXT"),
              "CREATE TABLE number_events (id " + id +
                  ", pool BIGINT NOT NULL, idx BIGINT NOT NULL, time TEXT, event TEXT NOT NULL, "
                  "run BIGINT, board INTEGER)",
              QString("INSERT INTO number_events (pool, idx, event, run, board) SELECT pool, "
                      "idx, state, run, board FROM numbers")})
            QVERIFY(q.exec(statement));
    RecordStore store(url);
    QVERIFY2(store.open(&error), qPrintable(error));
    QVERIFY(q.exec("SELECT value FROM meta WHERE key = 'schema'") && q.next());
    QCOMPARE(q.value(0).toInt(), RecordStore::SchemaVersion);
    QVERIFY(q.exec("SELECT result, serial FROM boards WHERE run = 1") && q.next());
    QCOMPARE(q.value(0).toString(), QString("done"));
    QVERIFY(q.value(1).isNull());
    q.finish();
    // A number voided before the upgrade keeps that as its history, without a time.
    if (from >= 2)
        QCOMPARE(history(url, "SN000100"), QString("void 1"));
    QVERIFY(q.exec("SELECT COUNT(*) FROM images") && q.next());
    QCOMPARE(q.value(0).toInt(), 0);
    q.finish();
    // The upgraded store allocates like a new one, and a second open changes nothing.
    QVERIFY(store.open(&error));
    QVector<RecordStore::Voided> voided;
    const auto run = store.startRun(runOn("new"), &voided, &error);
    const auto pool = store.pool(counter(), &error);
    SerialValue value;
    QVERIFY2(run && pool, qPrintable(error));
    QCOMPARE(store.reserve(*pool, counter(), *run, &value, &error), Reserved::Ok);
    QCOMPARE(value.number, quint64(from >= 2 ? 101 : 100));
}

QTEST_GUILESS_MAIN(tst_RecordStore)
#include "tst_recordstore.moc"
