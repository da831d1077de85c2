#include "records/boardnumbering.h"
#include "records/crc32.h"
#include "records/numberpools.h"
#include "records/recorder.h"
#include "records/recordstore.h"
#include "records/report.h"

#include <QtTest>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtEndian>

#include <unistd.h>

using Fields = QMap<QString, QString>;

// More than one number a board: each pool's field and the one CRC over them all, a pool that
// reaches its end and stops, and a reflashed board that keeps its numbers; the store on SQLite and
// on the PostgreSQL fixture.
class tst_NumberPools : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void separate_data();
    void separate();
    void patched_data();
    void patched();
    void exhaustion_data();
    void exhaustion();
    void reflash_data();
    void reflash();

private:
    StoreUrl fresh(const QString &backend);

    QTemporaryDir dir;
    int stores = 0;
};

namespace
{
constexpr int ImageSize = 512;
constexpr int SerialAt = 0x100; // the third block of 128 bytes
constexpr int MacAt = 0x180;    // the fourth
constexpr int MacWidth = 17;

const Fields SerialFields{{"at", QString::number(SerialAt)},
                          {"format", "dec:8"},
                          {"prefix", "SN"},
                          {"start", "100"},
                          {"crc32-at", "0x1F0"},
                          {"crc32-range", "0:0x1F0"}};
// Three addresses, across a byte's carry.
const Fields MacFields{{"at", QString::number(MacAt)},
                       {"format", "mac"},
                       {"start", "02:00:00:00:00:fe"},
                       {"end", "02:00:00:00:01:00"}};

SerialScheme scheme(const Fields &fields, const QString &name = SerialScheme::SerialPool)
{
    QString error;
    const std::optional<SerialScheme> made =
        SerialScheme::fromFields(fields, QString(), &error, name);
    if (!made)
        qFatal("%s", qPrintable(error));
    return *made;
}

QByteArray baseBytes()
{
    QByteArray bytes(ImageSize, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 13 + 5);
    return bytes;
}

QSqlQuery raw(const StoreUrl &url)
{
    const QString name = "raw-" + url.display();
    if (!QSqlDatabase::contains(name)) {
        const bool postgres = url.kind == StoreUrl::Kind::Postgres;
        QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? "QPSQL" : "QSQLITE", name);
        db.setDatabaseName(postgres ? url.database : url.path);
        db.setHostName(url.host);
        db.setUserName(url.user);
    }
    return QSqlQuery(QSqlDatabase::database(name));
}

QStringList rows(const StoreUrl &url, const QString &sql)
{
    QSqlQuery query = raw(url);
    QStringList seen;
    if (!query.exec(sql))
        return {"failed: " + sql};
    while (query.next()) {
        QStringList row;
        for (int i = 0; i < query.record().count(); ++i)
            row << query.value(i).toString();
        seen << row.join('|');
    }
    return seen;
}

// One run of a station with [serial] and [serial.mac], started on the store.
struct Line {
    std::unique_ptr<RecordStore> store;
    std::unique_ptr<RecordSpool> spool;
    std::unique_ptr<Recorder> recorder;
};

Line line(const StoreUrl &url, const QString &spoolPath, const Image &base)
{
    Line made;
    made.store = std::make_unique<RecordStore>(url);
    made.spool = std::make_unique<RecordSpool>(spoolPath);
    made.recorder =
        std::make_unique<Recorder>(made.store.get(), made.spool.get(), scheme(SerialFields),
                                   QVector<SerialScheme>{scheme(MacFields, "mac")});
    RecordStore::Run run{"st",       "test-host", "1.1", "job", QString::fromLatin1(base.sha256),
                         ::getpid(), true};
    run.image = base;
    QVector<RecordStore::Voided> voided;
    QString error;
    if (!made.recorder->start(run, &voided, &error))
        qFatal("%s", qPrintable(error));
    return made;
}

// The board's line as a slot writes it: [serial]'s number on the line, every number with it.
BoardRecord lineOf(const Recorder &recorder, int board, bool done,
                   const QVector<BoardRecord::Number> &numbers, const Image &sent)
{
    BoardRecord made{.run = recorder.run(),
                     .slot = 1,
                     .board = board,
                     .result = done ? "done" : "download_error",
                     .time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                     .receivedSha256 = QString::fromLatin1(sent.sha256),
                     .numbers = numbers};
    for (const BoardRecord::Number &number : numbers)
        if (number.name == SerialScheme::SerialPool) {
            made.boardSerial = number.text;
            made.pool = number.pool;
            made.index = number.index;
            made.fate = number.fate;
        }
    return made;
}

QStringList fates(const QVector<BoardRecord::Number> &numbers)
{
    QStringList made;
    for (const BoardRecord::Number &number : numbers)
        made << number.name + '=' + number.text + ':' + BoardRecord::fateName(number.fate);
    return made;
}
} // namespace

void tst_NumberPools::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!qEnvironmentVariableIsEmpty("LUMEDRA_TEST_POSTGRES"),
             "the PostgreSQL fixture (scripts/pg-cluster.sh) sets LUMEDRA_TEST_POSTGRES");
}

StoreUrl tst_NumberPools::fresh(const QString &backend)
{
    QString error;
    if (backend == "sqlite")
        return *StoreUrl::parse(QString("sqlite:%1/store%2.sqlite").arg(dir.path()).arg(++stores),
                                &error);
    const StoreUrl url = *StoreUrl::parse(qEnvironmentVariable("LUMEDRA_TEST_POSTGRES"), &error);
    QSqlQuery query = raw(url);
    query.exec("DROP SCHEMA public CASCADE");
    query.exec("CREATE SCHEMA public");
    return url;
}

void tst_NumberPools::separate_data()
{
    QTest::addColumn<QString>("nameA");
    QTest::addColumn<Fields>("a");
    QTest::addColumn<QString>("nameB");
    QTest::addColumn<Fields>("b");
    QTest::addColumn<bool>("shared");
    const Fields le32{{"at", "0"}, {"format", "le32"}, {"start", "1"}};
    Fields dec = le32;
    dec["format"] = "dec:8";
    Fields elsewhere = MacFields;
    elsewhere["at"] = "0x40";
    elsewhere.remove("end");
    QTest::newRow("one sequence in two sections") << "serial" << le32 << "asset" << le32 << false;
    QTest::newRow("[serial] in another format") << "serial" << le32 << "serial" << dec << true;
    QTest::newRow("the address pool of two stations' jobs")
        << "mac" << MacFields << "mac" << elsewhere << true;
}

// A pool is a section's name and its sequence: stations whose jobs agree share it, and two
// sections of one job never do.
void tst_NumberPools::separate()
{
    QFETCH(QString, nameA);
    QFETCH(Fields, a);
    QFETCH(QString, nameB);
    QFETCH(Fields, b);
    QFETCH(bool, shared);
    QCOMPARE(scheme(a, nameA).key() == scheme(b, nameB).key(), shared);
}

void tst_NumberPools::patched_data()
{
    QTest::addColumn<Fields>("serial");
    QTest::addColumn<Fields>("mac");
    QTest::addColumn<int>("crcAt"); // -1: none
    QTest::addColumn<int>("crcTo");
    Fields plain = SerialFields;
    plain.remove("crc32-at");
    plain.remove("crc32-range");
    Fields macCrc = MacFields;
    macCrc["crc32-at"] = "0";
    macCrc["crc32-range"] = "4:512";
    QTest::newRow("CRC in [serial], the address after it")
        << SerialFields << MacFields << 0x1F0 << 0x1F0;
    QTest::newRow("CRC in [serial.mac], [serial] after it") << plain << macCrc << 0 << 512;
    QTest::newRow("no CRC") << plain << MacFields << -1 << 0;
}

// Every field is written, and the CRC is that of the bytes with all of them in.
void tst_NumberPools::patched()
{
    QFETCH(Fields, serial);
    QFETCH(Fields, mac);
    QFETCH(int, crcAt);
    QFETCH(int, crcTo);
    const NumberPools pools(scheme(serial), {scheme(mac, "mac")});
    QString error;
    QVERIFY2(pools.check(&error) && pools.fits(ImageSize, &error), qPrintable(error));
    const QByteArray base = baseBytes();
    const QByteArray out =
        pools.patched(base, {{"serial", {0, 100}}, {"mac", {1, 0x0200000000FF}}});
    QCOMPARE(out.size(), base.size());
    QCOMPARE(out.mid(SerialAt, 8), QByteArray("SN000100"));
    QCOMPARE(out.mid(MacAt, MacWidth), QByteArray("02:00:00:00:00:ff"));
    if (crcAt < 0) {
        QCOMPARE(out.left(SerialAt), base.left(SerialAt));
        return;
    }
    const int from = crcAt == 0 ? 4 : 0;
    QCOMPARE(qFromLittleEndian<quint32>(out.constData() + crcAt),
             crc32Ieee(out.constData() + from, crcTo - from));
}

void tst_NumberPools::exhaustion_data()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << "sqlite";
    QTest::newRow("postgresql") << "postgresql";
}

// The address pool reaches its end: what was given back comes out again, then the slot stops with
// the pool's name, and the pool never starts over.
void tst_NumberPools::exhaustion()
{
    QFETCH(QString, backend);
    const StoreUrl url = fresh(backend);
    const Image base = Image::fromBytes(baseBytes(), "/srv/fw.bin");
    Line run = line(url, dir.filePath(backend + "-exhaustion.jsonl"), base);
    BoardNumbering numbering(run.recorder.get(), base);
    QString error;
    // Done; failed past the serial number's block but before the address's; done twice.
    const struct {
        bool done;
        qint64 accepted;
        QStringList fates;
    } boards[] = {
        {true, ImageSize, {"serial=SN000100:used", "mac=02:00:00:00:00:fe:used"}},
        {false, MacAt, {"serial=SN000101:void", "mac=02:00:00:00:00:ff:returned"}},
        {true, ImageSize, {"serial=SN000102:used", "mac=02:00:00:00:00:ff:used"}},
        {true, ImageSize, {"serial=SN000103:used", "mac=02:00:00:00:01:00:used"}},
    };
    int number = 0;
    for (const auto &board : boards) {
        QCOMPARE(numbering.take(&error), Reserved::Ok);
        const Image sent = numbering.image();
        QCOMPARE(sent.bytes.mid(MacAt, MacWidth), numbering.texts().value("mac").toLatin1());
        numbering.goesOut();
        const QVector<BoardRecord::Number> settled = numbering.settle(board.done, board.accepted);
        QCOMPARE(fates(settled), board.fates);
        QVERIFY2(run.recorder->record(lineOf(*run.recorder, ++number, board.done, settled, sent),
                                      &error),
                 qPrintable(error));
    }
    for (int again = 0; again < 2; ++again) {
        QCOMPARE(numbering.take(&error), Reserved::Exhausted);
        QCOMPARE(numbering.ranOut(), QString("mac"));
        QCOMPARE(SerialScheme::ranOutText(numbering.ranOut(), numbering.lastText()),
                 QString("no numbers left in pool mac (last 02:00:00:00:01:00)"));
        // The serial number taken before the address ran out is held, not sent.
        QVERIFY(numbering.holds());
        QCOMPARE(numbering.image().sha256, base.sha256);
    }
    numbering.giveBack();
    // Each number was noted before its board's image went out.
    QCOMPARE(rows(url, "SELECT COUNT(*) FROM number_events WHERE event = 'went_out'"),
             QStringList{"8"});
    QCOMPARE(rows(url, "SELECT n.serial, n.state FROM numbers n JOIN pools p ON p.id = n.pool "
                       "WHERE p.scheme LIKE 'pool=mac %' ORDER BY n.idx"),
             QStringList(
                 {"02:00:00:00:00:fe|used", "02:00:00:00:00:ff|used", "02:00:00:00:01:00|used"}));
    QCOMPARE(rows(url, "SELECT serial, state FROM numbers WHERE serial LIKE 'SN%' ORDER BY idx"),
             QStringList({"SN000100|used", "SN000101|void", "SN000102|used", "SN000103|used",
                          "SN000104|returned"}));
    // Both boards that had the address given back keep it under the pool's name, with its fate.
    QCOMPARE(rows(url, "SELECT board, name, fate FROM board_numbers WHERE number = "
                       "'02:00:00:00:00:ff' ORDER BY board"),
             QStringList({"2|mac|returned", "3|mac|used"}));
    run.recorder->stop();
}

void tst_NumberPools::reflash_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QStringList>("kept"); // the pools whose earlier numbers the board keeps
    QTest::addColumn<bool>("takenFirst");  // the slot held new numbers before the label came
    QTest::addColumn<bool>("done");
    QTest::addColumn<qint64>("accepted");
    for (const QString backend : {"sqlite", "postgresql"}) {
        const auto row = [&](const char *name) {
            QTestData &data = QTest::newRow(qPrintable(backend + ' ' + name));
            data << backend;
            return &data;
        };
        *row("done") << QStringList{"serial", "mac"} << false << true << qint64(ImageSize);
        *row("failed past both fields")
            << QStringList{"serial", "mac"} << false << false << qint64(ImageSize - 128);
        *row("failed before both fields")
            << QStringList{"serial", "mac"} << false << false << qint64(128);
        *row("numbers held already")
            << QStringList{"serial", "mac"} << true << false << qint64(ImageSize - 128);
        *row("a pool the first flash lacked")
            << QStringList{"serial"} << false << true << qint64(ImageSize);
    }
}

// A reflashed board keeps its numbers: not reserved again, written as the same bytes, and its
// result neither uses, voids nor gives them back.
void tst_NumberPools::reflash()
{
    QFETCH(QString, backend);
    QFETCH(QStringList, kept);
    QFETCH(bool, takenFirst);
    QFETCH(bool, done);
    QFETCH(qint64, accepted);
    const StoreUrl url = fresh(backend);
    const Image base = Image::fromBytes(baseBytes(), "/srv/fw.bin");
    Line run = line(url, dir.filePath(backend + "-reflash.jsonl"), base);
    QString error;

    BoardNumbering first(run.recorder.get(), base);
    QCOMPARE(first.take(&error), Reserved::Ok);
    first.goesOut();
    const Image firstSent = first.image();
    const QMap<QString, QString> firstTexts = first.texts();
    const QVector<BoardRecord::Number> firstNumbers = first.settle(true, ImageSize);
    QVERIFY(run.recorder->record(lineOf(*run.recorder, 1, true, firstNumbers, firstSent), &error));
    // As the store gives them back for the board's label.
    const std::optional<QMap<QString, SerialValue>> recorded =
        run.store->numbersOf(run.recorder->run(), 1, &error);
    QVERIFY2(recorded, qPrintable(error));
    QCOMPARE(recorded->keys(), QStringList({"mac", "serial"}));
    QMap<QString, SerialValue> earlier;
    for (const QString &name : kept)
        earlier.insert(name, recorded->value(name));
    const QString numbersSql = "SELECT n.serial, n.state FROM numbers n ORDER BY n.pool, n.idx";
    const QStringList before = rows(url, numbersSql);
    const QString eventsSql = "SELECT COUNT(*) FROM number_events";
    const int events = rows(url, eventsSql).value(0).toInt();

    // The same slot's next board: the label of the first board again.
    BoardNumbering &again = first;
    if (takenFirst)
        QCOMPARE(again.take(&error), Reserved::Ok);
    QVERIFY(again.adopt(earlier));
    QCOMPARE(again.take(&error), Reserved::Ok);
    for (const QString &name : kept)
        QCOMPARE(again.texts().value(name), firstTexts.value(name));
    const bool whole = kept.size() == firstTexts.size();
    QCOMPARE(again.image().bytes == firstSent.bytes, whole);
    QCOMPARE(again.image().bytes.mid(SerialAt, 8), firstSent.bytes.mid(SerialAt, 8));
    again.goesOut();
    QVERIFY(!again.adopt(earlier)); // too late: the image is on its way
    const Image sent = again.image();
    const QVector<BoardRecord::Number> settled = again.settle(done, accepted);
    for (const BoardRecord::Number &number : settled)
        QCOMPARE(number.fate == BoardRecord::Fate::Kept, kept.contains(number.name));
    QVERIFY2(run.recorder->record(lineOf(*run.recorder, 2, done, settled, sent), &error),
             qPrintable(error));
    // Nothing is left reserved for the run's end to give back.
    QVERIFY(!rows(url, "SELECT n.serial, n.state FROM numbers n").join(',').contains("|reserved"));
    run.recorder->stop();

    // The kept numbers stay as the first flash left them, with no event of their own; numbers the
    // slot held before the label came went back to their pools.
    QStringList after = rows(url, numbersSql);
    int fresh = 0;
    for (const QString &row : after)
        if (!before.contains(row))
            ++fresh;
    QCOMPARE(fresh, int(firstTexts.size() - kept.size() + (takenFirst ? kept.size() : 0)));
    for (const QString &row : before)
        QVERIFY2(after.contains(row), qPrintable(row));
    if (whole && !takenFirst)
        QCOMPARE(rows(url, eventsSql).value(0).toInt(), events);
    QCOMPARE(rows(url, "SELECT name, fate FROM board_numbers WHERE board = 2 AND fate = 'kept' "
                       "ORDER BY name")
                 .size(),
             kept.size());

    // Either board is found by its address, and the reflash's bytes are rebuilt as sent.
    Report report(url);
    const std::optional<QVector<Report::Step>> steps =
        report.history(firstTexts.value("mac"), &error);
    QVERIFY2(steps, qPrintable(error));
    int boards = 0;
    for (const Report::Step &step : *steps)
        boards += step.event == "board";
    QCOMPARE(boards, kept.contains("mac") ? 2 : 1);
    const std::optional<QByteArray> rebuilt = report.boardImage(settled.last().text, &error);
    QVERIFY2(rebuilt, qPrintable(error));
    QCOMPARE(*rebuilt, sent.bytes);
    report.closeThread();
}

QTEST_GUILESS_MAIN(tst_NumberPools)
#include "tst_numberpools.moc"
