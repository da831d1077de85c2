#include "records/crc32.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

// A line of two stations sharing one PostgreSQL store: two lumedra-cli --station processes of 8
// slots each flash a few hundred boards, some failing on purpose, while one station is killed and
// restarted and the server itself restarts. Each board gets a serial number and a MAC address from
// a second pool both stations share. No number is used twice or lost without a trace, and what
// each board received is what the store says it received.
class tst_Line : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void twoStations();

private:
    QTemporaryDir dir;
};

namespace
{
constexpr int Slots = 8;
constexpr int Boards = 240;
constexpr int SerialAt = 0x100; // in the third block: a board rejected at block 2 never got it
constexpr int SerialWidth = 10;
constexpr int MacAt = 0x140; // the same block as the serial number: both share its fate
constexpr int MacWidth = 17;
constexpr int CrcAt = 0x1F0;
constexpr int ImageSize = 3000;
// The waits follow the boards logged: a line that logs none for a minute has stopped, while a busy
// machine only slows it down. The whole run is bounded as well.
constexpr int StallMs = 60000;
constexpr int MostMs = 600000;
constexpr int ExitMs = 20000;

struct Station {
    QString id;
    QTemporaryDir fixture;
    std::unique_ptr<QProcess> process;
    std::vector<SimLoader *> plugged = std::vector<SimLoader *>(Slots, nullptr);
    QByteArray pending;                                    // stdout not yet a whole line
    QVector<QByteArray> last = QVector<QByteArray>(Slots); // each slot's last event, for a failure

    QString slot(int s) const { return fixture.filePath(QString("slot-%1").arg(s)); }
};

// Board k rejects the block before its number (the number goes back), or one after it (the
// number may be on the board and is voided); the others are done.
SimLoader::Faults faultsOf(int k)
{
    SimLoader::Faults faults;
    faults.recordBlocks = true;
    // At the line's own pace a board is mid-image for most of its time, so the station killed
    // below holds numbers that went out.
    faults.throttleBaud = 115200;
    if (k % 9 == 4) {
        faults.wrongAt = SimLoader::Step::Block;
        faults.wrongIndex = 2;
    } else if (k % 13 == 7) {
        faults.wrongAt = SimLoader::Step::Block;
        faults.wrongIndex = 6;
    }
    return faults;
}
} // namespace

void tst_Line::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!qEnvironmentVariableIsEmpty("LUMEDRA_TEST_POSTGRES") &&
                 !qEnvironmentVariableIsEmpty("LUMEDRA_TEST_POSTGRES_DIR"),
             "the PostgreSQL fixture (scripts/pg-cluster.sh) sets LUMEDRA_TEST_POSTGRES");
    QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "wipe");
    db.setHostName(qEnvironmentVariable("LUMEDRA_TEST_POSTGRES_DIR"));
    db.setUserName("lumedra");
    db.setDatabaseName("lumedra");
    QVERIFY(db.open());
    QSqlQuery(db).exec("DROP SCHEMA public CASCADE");
    QSqlQuery(db).exec("CREATE SCHEMA public");
    db.close();
}

void tst_Line::twoStations()
{
    const QByteArray image = randomImage(ImageSize, 77);
    const QString imagePath = writeFile(dir.path(), "line.bin", image);
    const QString url = qEnvironmentVariable("LUMEDRA_TEST_POSTGRES");
    // The MAC pool comes from a job; the rest is the command line's.
    const QString job = writeFile(dir.path(), "line.ini",
                                  QString("[job]\nversion = 1\nimage = line.bin\n[slot.1]\nport = "
                                          "none\n[serial.mac]\nat = %1\nformat = mac\nstart = "
                                          "02:00:00:00:ff:f0\n")
                                      .arg(MacAt)
                                      .toUtf8());
    std::vector<std::unique_ptr<SimLoader>> loaders;
    Station stations[2];
    stations[0].id = "line-a";
    stations[1].id = "line-b";
    QStringList killedOutput;

    const auto launch = [&](Station &station) {
        // The harness unplugs each board at once: a board taken for gone after a silence
        // a busy machine can cause would be flashed again.
        QStringList args{"--station",
                         "--job",
                         job,
                         "--json",
                         "--gone-after",
                         "2",
                         "--db",
                         url,
                         "--station-id",
                         station.id,
                         "--serial-at",
                         QString::number(SerialAt),
                         "--serial-format",
                         QString("dec:%1").arg(SerialWidth),
                         "--serial-prefix",
                         "LMD-",
                         "--serial-start",
                         "1",
                         "--crc32-at",
                         QString::number(CrcAt),
                         "--crc32-range",
                         QString("0:%1").arg(CrcAt),
                         imagePath};
        for (int s = 0; s < Slots; ++s)
            args << "-p" << station.slot(s);
        station.process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", dir.filePath("data-" + station.id));
        station.process->setProcessEnvironment(env);
        station.process->start(LUMEDRA_CLI, args);
        return station.process->waitForStarted();
    };
    int plugged = 0;
    // The next board's loader starts before the last one stops, so that it gets a terminal of
    // its own: a reused name would look like the same board still in place.
    const auto plug = [&](Station &station, int s) {
        SimLoader *next = nullptr;
        if (plugged < Boards) {
            loaders.push_back(std::make_unique<SimLoader>(faultsOf(plugged++)));
            next = loaders.back().get();
            QVERIFY(next->start());
        }
        // Unplugged as a real board is: its name goes with it, so that no station finds another
        // program's terminal, given the freed number, under the old name.
        if (SimLoader *last = station.plugged[size_t(s)]) {
            QFile::remove(station.slot(s));
            last->stop();
        }
        station.plugged[size_t(s)] = next;
        if (next)
            QVERIFY(QFile::link(next->portName(), station.slot(s)));
    };
    struct Seen {
        QString station, serial, result;
        SimLoader *loader;
    };
    QVector<Seen> results;
    const auto pump = [&] {
        for (Station &station : stations) {
            station.pending += station.process->readAllStandardOutput();
            int end;
            while ((end = station.pending.indexOf('\n')) >= 0) {
                const QJsonObject event =
                    QJsonDocument::fromJson(station.pending.left(end)).object();
                const int s = event["slot"].toInt() - 1;
                if (s >= 0 && s < Slots && event["event"] != "progress")
                    station.last[s] = station.pending.left(end);
                station.pending.remove(0, end + 1);
                if (event["event"] != "result")
                    continue;
                // The operator takes the board away and puts the next one in.
                SimLoader *loader = station.plugged[size_t(s)];
                results << Seen{station.id, event["board_serial"].toString(),
                                event["result"].toString(), loader};
                plug(station, s);
            }
        }
    };
    const auto logged = [&] { return qint64(results.size()); };
    const auto runWhile = [&](const std::function<bool()> &done) {
        const bool reached = waitForProgress(
            [&] {
                pump();
                return done();
            },
            logged, StallMs, MostMs);
        if (!reached)
            for (Station &station : stations)
                qWarning("%s after %d results: %s\n%s", qPrintable(station.id), int(results.size()),
                         station.process->readAllStandardError().constData(),
                         station.last.toList().join('\n').constData());
        return reached;
    };
    const auto runUntil = [&](int count) {
        return runWhile([&] { return results.size() >= count; });
    };

    for (Station &station : stations) {
        QVERIFY(launch(station));
        for (int s = 0; s < Slots; ++s)
            plug(station, s);
    }
    QVERIFY(runUntil(Boards / 4));
    // A station killed mid-run, with a board past its number, and started again: its boards
    // under way are flashed again.
    QVERIFY(runWhile([&] {
        for (SimLoader *loader : stations[0].plugged)
            if (loader && loader->image().size() > SerialAt + SerialWidth &&
                loader->image().size() < ImageSize)
                return true;
        return false;
    }));
    ::kill(pid_t(stations[0].process->processId()), SIGKILL);
    QVERIFY(stations[0].process->waitForFinished(ExitMs));
    stations[0].pending.clear();
    QVERIFY(launch(stations[0]));
    QVERIFY(runUntil(Boards / 2));
    // The server restarts under both stations.
    QCOMPARE(QProcess::execute(LUMEDRA_ROOT "/scripts/pg-cluster.sh",
                               {"restart", qEnvironmentVariable("LUMEDRA_TEST_POSTGRES_DIR")}),
             0);
    QVERIFY(runUntil(Boards - 2 * Slots));
    QVERIFY(runWhile([&] {
        for (const Station &station : stations)
            for (SimLoader *loader : station.plugged)
                if (loader)
                    return false;
        return true;
    }));
    for (Station &station : stations) {
        ::kill(pid_t(station.process->processId()), SIGINT);
        QVERIFY(station.process->waitForFinished(ExitMs));
        QCOMPARE(station.process->exitCode(), 130);
    }
    const QByteArray restarted = stations[0].process->readAllStandardError();

    QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "check");
    db.setHostName(qEnvironmentVariable("LUMEDRA_TEST_POSTGRES_DIR"));
    db.setUserName("lumedra");
    db.setDatabaseName("lumedra");
    QVERIFY(db.open());
    QSqlQuery q(db);
    // Every number ever handed out, in both pools, is accounted for: used, voided or back in the
    // pool, each pool counted from its own start.
    QMap<QString, QString> stateOf, macStateOf;
    for (const bool mac : {false, true}) {
        QVERIFY(q.exec(QString("SELECT n.idx, n.serial, n.state FROM numbers n JOIN pools p ON "
                               "p.id = n.pool WHERE p.scheme %1 LIKE 'pool=mac %' ORDER BY n.idx")
                           .arg(mac ? "" : "NOT")));
        qint64 expected = 0;
        while (q.next()) {
            QCOMPARE(q.value(0).toLongLong(), expected++);
            (mac ? macStateOf : stateOf)[q.value(1).toString()] = q.value(2).toString();
            QVERIFY2(q.value(2).toString() != "reserved", qPrintable(q.value(1).toString()));
        }
        QVERIFY(expected >= Boards / 2);
    }
    // Each board's address by its serial number, as the store keeps them: both in one block, so
    // with one fate.
    QMap<QString, QString> macOf;
    QVERIFY(q.exec("SELECT s.number, m.number, s.fate, m.fate FROM board_numbers s JOIN "
                   "board_numbers m ON m.run = s.run AND m.board = s.board AND m.name = 'mac' "
                   "WHERE s.name = 'serial'"));
    while (q.next()) {
        // A number given back went on to another board: the one that used it is the board's.
        if (q.value(2).toString() == "used")
            macOf[q.value(0).toString()] = q.value(1).toString();
        QCOMPARE(q.value(3).toString(), q.value(2).toString());
    }
    // The killed run's numbers in both pools, settled as the station started again: one that went
    // out towards a board is voided and told, one that never did is given back.
    int settled = 0;
    QVERIFY(q.exec("SELECT n.serial, n.state, n.went_out IS NOT NULL, e.event FROM numbers n JOIN "
                   "number_events e ON e.pool = n.pool AND e.idx = n.idx WHERE e.event IN "
                   "('void_at_start', 'returned_at_start')"));
    while (q.next()) {
        ++settled;
        const QString serial = q.value(0).toString();
        const bool voided = q.value(3).toString() == "void_at_start";
        QVERIFY2(!voided || (q.value(1).toString() == "void" && q.value(2).toBool()),
                 qPrintable(serial));
        QCOMPARE(restarted.contains(("serial number " + serial + " voided").toUtf8()), voided);
    }
    QVERIFY2(settled > 0, restarted.constData());
    // Numbers given back are the next ones out: only the last few can be left in the pool.
    QMap<QString, int> doneWith;
    QVERIFY(q.exec("SELECT serial, serial_fate, result FROM boards WHERE serial IS NOT NULL"));
    while (q.next()) {
        const QString serial = q.value(0).toString();
        const QString result = q.value(2).toString();
        if (result == "done") {
            ++doneWith[serial];
            QCOMPARE(q.value(1).toString(), QString("used"));
        }
        if (q.value(1).toString() == "void")
            QCOMPARE(stateOf[serial], QString("void"));
    }
    int used = 0;
    for (auto it = stateOf.cbegin(); it != stateOf.cend(); ++it)
        if (it.value() == "used") {
            ++used;
            QCOMPARE(doneWith.value(it.key()), 1);
        }
    QCOMPARE(used, doneWith.size());
    QVERIFY(used >= Boards / 2);
    QCOMPARE(macStateOf.values().count("used"), used);

    // What each board received is its own number, with the CRC recomputed over it, and the store
    // says so; two boards never hold one number.
    QSet<QString> held;
    int checked = 0;
    for (const Seen &seen : qAsConst(results)) {
        if (seen.result != "done")
            continue;
        const QByteArray got = seen.loader->image();
        QCOMPARE(got.size(), ImageSize);
        const QString number = QString::fromLatin1(got.mid(SerialAt, SerialWidth));
        QCOMPARE(number, seen.serial);
        QCOMPARE(qFromLittleEndian<quint32>(got.constData() + CrcAt),
                 crc32Ieee(got.constData(), CrcAt));
        QCOMPARE(stateOf.value(number), QString("used"));
        QVERIFY2(!held.contains(number), qPrintable(number));
        held.insert(number);
        const QString mac = QString::fromLatin1(got.mid(MacAt, MacWidth));
        QCOMPARE(mac, macOf.value(number));
        QCOMPARE(macStateOf.value(mac), QString("used"));
        QVERIFY2(!held.contains(mac), qPrintable(mac));
        held.insert(mac);
        ++checked;
    }
    // The killed run's done boards have no event; every other done board was seen.
    QVERIFY(checked <= used && checked >= Boards / 2);
    // A loader holding a whole image the harness saw no result for was under way at the kill:
    // its number, if it kept it, was voided.
    for (const auto &loader : loaders) {
        const QByteArray got = loader->image();
        if (got.size() != ImageSize)
            continue;
        const QString number = QString::fromLatin1(got.mid(SerialAt, SerialWidth));
        const QString state = stateOf.value(number);
        QVERIFY2(state == "used" || state == "void", qPrintable(number + ' ' + state));
        const QString mac = QString::fromLatin1(got.mid(MacAt, MacWidth));
        QCOMPARE(macStateOf.value(mac), state);
    }
}

QTEST_GUILESS_MAIN(tst_Line)
#include "tst_line.moc"
