#include "records/boardnumbering.h"
#include "records/recorder.h"
#include "records/recordspool.h"
#include "records/recordstore.h"
#include "station/boardlog.h"
#include "station/storesink.h"
#include "testing/kit/images.h"

#include <QtTest>

#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>

#include <unistd.h>

Q_DECLARE_METATYPE(BoardRecord::Fate)

// A board's outcome as the log and the record store keep it, from one value, and what the
// board's result makes of its serial number.
class tst_BoardOutcome : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fate_data();
    void fate();
    void bothSinksAgree();
    void numbersTakenAndSettled();

private:
    struct Station {
        std::unique_ptr<RecordStore> store;
        std::unique_ptr<RecordSpool> spool;
        std::unique_ptr<Recorder> recorder;
    };
    Station station(const QString &name);

    QTemporaryDir dir;
    QByteArray base;
};

namespace
{
constexpr qint64 FieldAt = 200; // in the second block of 128 bytes

SerialScheme scheme()
{
    QString error;
    return *SerialScheme::fromFields(
        {{"at", QString::number(FieldAt)}, {"format", "dec:8"}, {"prefix", "SN"}, {"start", "7"}},
        QString(), &error);
}
} // namespace

void tst_BoardOutcome::initTestCase()
{
    QVERIFY(dir.isValid());
    base = randomImage(1000, 77);
}

tst_BoardOutcome::Station tst_BoardOutcome::station(const QString &name)
{
    StoreUrl url;
    url.path = dir.filePath(name + ".sqlite");
    Station made;
    made.store = std::make_unique<RecordStore>(url);
    made.spool = std::make_unique<RecordSpool>(dir.filePath(name + ".spool"));
    made.recorder = std::make_unique<Recorder>(made.store.get(), made.spool.get(), scheme());
    QVector<RecordStore::Voided> voided;
    QString error;
    if (!made.recorder->start({name, "test-host", "1.1", "job", "abc", ::getpid()}, &voided,
                              &error))
        qWarning("%s", qPrintable(error));
    return made;
}

void tst_BoardOutcome::fate_data()
{
    QTest::addColumn<bool>("done");
    QTest::addColumn<qint64>("accepted");
    QTest::addColumn<BoardRecord::Fate>("fate");

    QTest::newRow("done") << true << qint64(1000) << BoardRecord::Fate::Used;
    QTest::newRow("nothing accepted") << false << qint64(0) << BoardRecord::Fate::Returned;
    QTest::newRow("the block before the field")
        << false << qint64(128) << BoardRecord::Fate::Returned;
    QTest::newRow("up to the field's first byte")
        << false << FieldAt << BoardRecord::Fate::Returned;
    QTest::newRow("the block holding the field")
        << false << qint64(256) << BoardRecord::Fate::Voided;
    QTest::newRow("all but the finish frame") << false << qint64(1000) << BoardRecord::Fate::Voided;
}

void tst_BoardOutcome::fate()
{
    QFETCH(bool, done);
    QFETCH(qint64, accepted);
    QFETCH(BoardRecord::Fate, fate);
    QCOMPARE(BoardNumbering::fateOf(done, accepted, FieldAt), fate);
}

void tst_BoardOutcome::bothSinksAgree()
{
    Station line = station("sinks");
    QVERIFY(line.recorder->run() > 0);
    BoardNumbering numbering(line.recorder.get(), Image::fromBytes(base, "/srv/fw.bin"));
    QString error;
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    BoardOutcome outcome{.slot = 3,
                         .board = 12,
                         .port = "/dev/ttyUSB2",
                         .usb = {"0403", "6001", "A10K", "/dev/serial/by-path/x"},
                         .image = Image::fromBytes(base, "/srv/fw.bin"),
                         .outcome = Outcome::DownloadError,
                         .reason = "rejected block 2",
                         .attempts = 2,
                         .seconds = 1.234,
                         .time =
                             QDateTime::fromString("2026-01-02T03:04:05.678Z", Qt::ISODateWithMs),
                         .run = line.recorder->run(),
                         .boardSerial = numbering.text(),
                         .pool = line.recorder->pool(),
                         .index = numbering.value().index,
                         .receivedSha256 = numbering.image().sha256};
    outcome.numbers = numbering.settle(false, 256);
    outcome.fate = outcome.numbers.first().fate;
    QCOMPARE(outcome.fate, BoardRecord::Fate::Voided);

    BoardLog log;
    QVERIFY2(log.open(dir.filePath("sinks.jsonl"), &error), qPrintable(error));
    StoreSink store(line.recorder.get());
    for (OutcomeSink *sink : {static_cast<OutcomeSink *>(&store), static_cast<OutcomeSink *>(&log)})
        QVERIFY2(sink->write(outcome, &error), qPrintable(error));
    log.close();

    QFile written(dir.filePath("sinks.jsonl"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QJsonObject logged = QJsonDocument::fromJson(written.readLine()).object();
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "read-back");
    db.setDatabaseName(dir.filePath("sinks.sqlite"));
    QVERIFY(db.open());
    QSqlQuery row(db);
    QVERIFY(row.exec("SELECT * FROM boards") && row.next());
    const QSqlRecord stored = row.record();
    // The same board in both: each key keeps its meaning, and "serial" is the adapter's in both.
    const QList<QPair<QString, QString>> same{{"run", "run"},
                                              {"slot", "slot"},
                                              {"board", "board"},
                                              {"result", "result"},
                                              {"reason", "reason"},
                                              {"attempts", "attempts"},
                                              {"seconds", "seconds"},
                                              {"time", "time"},
                                              {"vid", "vid"},
                                              {"pid", "pid"},
                                              {"serial", "usb_serial"},
                                              {"location", "location"},
                                              {"board_serial", "serial"},
                                              {"received_sha256", "received_sha256"}};
    for (const auto &[key, column] : same)
        QCOMPARE(logged[key].toVariant().toString(), stored.value(column).toString());
    QCOMPARE(logged["board_serial"].toString(), QString("SN000007"));
    QCOMPARE(stored.value("serial_fate").toString(), QString("void"));
    QVERIFY(logged["received_sha256"].toString() != logged["sha256"].toString());
    // Every number by its pool's name, in both.
    QVERIFY(row.exec("SELECT name, number, fate FROM board_numbers"));
    QJsonObject numbers;
    while (row.next()) {
        numbers.insert(row.value(0).toString(), row.value(1).toString());
        QCOMPARE(row.value(2).toString(), QString("void"));
    }
    QCOMPARE(numbers, QJsonObject({{"serial", "SN000007"}}));
    QCOMPARE(logged["numbers"].toObject(), numbers);
    row.finish();
    db.close();
}

void tst_BoardOutcome::numbersTakenAndSettled()
{
    Station line = station("numbers");
    const Image image = Image::fromBytes(base, "/srv/fw.bin");
    BoardNumbering numbering(line.recorder.get(), image);
    QString error;
    QVERIFY(!numbering.holds());
    QCOMPARE(numbering.image().sha256, image.sha256);
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    // Kept across attempts: taking again holds the same number.
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    QCOMPARE(numbering.text(), QString("SN000007"));
    QCOMPARE(numbering.image().bytes.mid(FieldAt, 8), QByteArray("SN000007"));
    QCOMPARE(numbering.image().bytes.left(FieldAt), base.left(FieldAt));
    QCOMPARE(numbering.settle(false, 128).first().fate, BoardRecord::Fate::Returned);
    QVERIFY(!numbering.holds() && numbering.text().isEmpty());
    // Given back by its result: it is the next one out.
    QVERIFY(line.recorder->giveBack({0, 7}, &error));
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    QCOMPARE(numbering.text(), QString("SN000007"));
    QCOMPARE(numbering.settle(true, image.size()).first().fate, BoardRecord::Fate::Used);
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    QCOMPARE(numbering.text(), QString("SN000008"));
    // A run that ends with a number held for no board gives it back.
    numbering.giveBack();
    QVERIFY(!numbering.holds());
    QCOMPARE(numbering.take(&error), Reserved::Ok);
    QCOMPARE(numbering.text(), QString("SN000008"));
    line.recorder->closeThread();
}

QTEST_GUILESS_MAIN(tst_BoardOutcome)
#include "tst_boardoutcome.moc"
