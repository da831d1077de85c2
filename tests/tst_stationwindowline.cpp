#include "records/crc32.h"
#include "records/storeurl.h"
#include "stationui/stationwindow.h"
#include "testing/kit/images.h"
#include "testing/kit/storerows.h"
#include "testing/kit/jsonlines.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>

#include <csignal>
#include <memory>
#include <vector>

// The station window running the line's main job: boards numbered from a record store, SQLite or
// the PostgreSQL fixture, as a technician and a screen reader see it (tiles and the store by their
// object names and descriptions) and as the store and the boards' own bytes keep it.
class tst_StationWindowLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void numberedBoards_data();
    void numberedBoards();
    void rejectedBoard_data();
    void rejectedBoard();
    void stopMidImage();
    void killedAndStartedAgain();
    void storeLostAndBack();
    void windowAndCommandLineTogether();
    void sameRunEitherWay();

private:
    QString newStore(bool postgres);
    QString writeJob(const QString &folder, int count, const QString &db,
                     const QByteArray &stationId = "bench-1");
    QString port(const QString &folder, int slot) const;
    SimLoader *plug(const QString &folder, int slot, const SimLoader::Faults &faults);
    void unplug(const QString &folder, int slot);
    bool startWindow(const QString &job);
    bool stopWindow();
    QString describe(int slot) const;
    QString storeWords() const;
    QList<QStringList> rows(const QString &url, const QString &sql) const;

    QTemporaryDir dir;
    std::unique_ptr<QTemporaryDir> fixture;
    std::unique_ptr<StationWindow> window;
    // Kept until the test ends: a stopped loader's terminal name could come back for the next.
    std::vector<std::unique_ptr<SimLoader>> loaders;
    QByteArray image;
    bool paused = false; // the PostgreSQL server, by storeLostAndBack
};

namespace
{
using Rows = QList<QStringList>;
constexpr int ImageSize = 16 << 10; // 128 blocks of 128 bytes
constexpr int SerialAt = 0x100;     // the first byte of block 3
constexpr int SerialWidth = 10;
constexpr int CrcAt = 0x1F0;
constexpr int BoardMs = 30000;
constexpr int ExitMs = 20000;
const QRegularExpression SerialWords("serial (LMD-\\d{6})");
const QRegularExpression BoardWords("board (\\d+)");
// Paced as a real line: 16 KiB take about 1.5 s, long enough to be seen flashing.
const SimLoader::Faults Paced{.throttleBaud = 115200};

QString serialIn(const QString &words)
{
    return SerialWords.match(words).captured(1);
}

QString serialOn(const SimLoader &loader)
{
    return QString::fromLatin1(loader.image().mid(SerialAt, SerialWidth));
}

bool crcHolds(const QByteArray &bytes)
{
    return bytes.size() == ImageSize && qFromLittleEndian<quint32>(bytes.constData() + CrcAt) ==
                                            crc32Ieee(bytes.constData(), CrcAt);
}

QString postgresFolder()
{
    return qEnvironmentVariable("LUMEDRA_TEST_POSTGRES_DIR");
}
} // namespace

void tst_StationWindowLine::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!qEnvironmentVariableIsEmpty("LUMEDRA_TEST_POSTGRES") && !postgresFolder().isEmpty(),
             "the PostgreSQL fixture (scripts/pg-cluster.sh) sets LUMEDRA_TEST_POSTGRES");
    QLoggingCategory::setFilterRules("lumedra.engine.debug=false");
    QCoreApplication::setOrganizationName("lumedra-test");
    // The store keeps the version of the program that ran: the same for both views.
    QCoreApplication::setApplicationVersion(LUMEDRA_VERSION);
    image = randomImage(ImageSize, 53);
    writeFile(dir.path(), "fw.bin", image);
}

void tst_StationWindowLine::init()
{
    fixture = std::make_unique<QTemporaryDir>();
    QVERIFY(fixture->isValid());
}

void tst_StationWindowLine::cleanup()
{
    // The next tests need the server, whatever became of this one.
    if (paused)
        QProcess::execute(LUMEDRA_ROOT "/scripts/pg-cluster.sh", {"resume", postgresFolder()});
    paused = false;
    window.reset();
    loaders.clear();
    fixture.reset();
}

// A store of the test's own: a file in the fixture, or a database of its own on the server.
QString tst_StationWindowLine::newStore(bool postgres)
{
    return postgres ? freshPostgresStore("window") : QString("sqlite:store.sqlite");
}

QString tst_StationWindowLine::writeJob(const QString &folder, int count, const QString &db,
                                        const QByteArray &stationId)
{
    QByteArray text = "[job]\nversion = 1\nimage = " + QFile::encodeName(dir.filePath("fw.bin")) +
                      "\ngone-after = 0.5\nstation-id = " + stationId +
                      "\nlog = flash.jsonl\ndb = " + db.toUtf8() +
                      "\n[serial]\nat = " + QByteArray::number(SerialAt) +
                      "\nformat = dec:" + QByteArray::number(SerialWidth) +
                      "\nprefix = LMD-\nstart = 1\ncrc32-at = " + QByteArray::number(CrcAt) +
                      "\ncrc32-range = 0:" + QByteArray::number(CrcAt) + "\n";
    for (int i = 1; i <= count; ++i)
        text += QString("[slot.%1]\nport = %2\n").arg(i).arg(port(folder, i)).toUtf8();
    return writeFile(folder, "line.job", text);
}

QString tst_StationWindowLine::port(const QString &folder, int slot) const
{
    return QDir(folder).filePath(QString("slot-%1").arg(slot));
}

SimLoader *tst_StationWindowLine::plug(const QString &folder, int slot,
                                       const SimLoader::Faults &faults)
{
    loaders.push_back(std::make_unique<SimLoader>(faults));
    SimLoader *loader = loaders.back().get();
    if (!loader->start() || !QFile::link(loader->portName(), port(folder, slot)))
        return nullptr;
    return loader;
}

void tst_StationWindowLine::unplug(const QString &folder, int slot)
{
    QVERIFY(QFile::remove(port(folder, slot)));
}

bool tst_StationWindowLine::startWindow(const QString &job)
{
    window = std::make_unique<StationWindow>(false);
    window->show();
    QSignalSpy started(window.get(), &StationWindow::started);
    window->openJob(job, true);
    return started.wait(BoardMs);
}

bool tst_StationWindowLine::stopWindow()
{
    QSignalSpy stopped(window.get(), &StationWindow::stopped);
    window->stop();
    return stopped.wait(ExitMs);
}

QString tst_StationWindowLine::describe(int slot) const
{
    const QWidget *tile = window->findChild<QWidget *>(QString("slot%1").arg(slot));
    return tile ? tile->accessibleDescription() : QString("no tile");
}

QString tst_StationWindowLine::storeWords() const
{
    const QWidget *store = window->findChild<QWidget *>("store");
    return store ? store->accessibleDescription() : QString("no store widget");
}

QList<QStringList> tst_StationWindowLine::rows(const QString &url, const QString &sql) const
{
    return storeRows(url, sql, fixture->path());
}

void tst_StationWindowLine::numberedBoards_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::newRow("SQLite") << false;
    QTest::newRow("PostgreSQL") << true;
}

// Three boards on two slots: what each tile said is what its board received, and what the store
// keeps; the store widget's next number is one no board has.
void tst_StationWindowLine::numberedBoards()
{
    QFETCH(bool, postgres);
    const QString store = newStore(postgres);
    QVERIFY(startWindow(writeJob(fixture->path(), 2, store)));
    struct Board {
        int slot;
        SimLoader *loader;
        QString said;
    };
    QVector<Board> boards;
    const auto flash = [&](int slot) {
        boards << Board{slot, plug(fixture->path(), slot, Paced), {}};
    };
    flash(1);
    flash(2);
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board") &&
                                 describe(2).endsWith("remove the board"),
                             BoardMs);
    boards[0].said = describe(1);
    boards[1].said = describe(2);
    unplug(fixture->path(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), QString("slot 1: waiting for a board"), BoardMs);
    flash(1);
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    boards[2].said = describe(1);

    // Boards are the station's, numbered as they come.
    QStringList shown, numbers;
    for (const Board &board : qAsConst(boards)) {
        const QString serial = serialIn(board.said);
        const QString number = BoardWords.match(board.said).captured(1);
        QCOMPARE(board.said, QString("slot %1: done, board %2, serial %3, remove the board")
                                 .arg(board.slot)
                                 .arg(number, serial));
        QCOMPARE(serialOn(*board.loader), serial);
        QVERIFY(crcHolds(board.loader->image()));
        shown << serial;
        numbers << number;
    }
    numbers.sort();
    QCOMPARE(numbers, QStringList({"1", "2", "3"}));
    shown.sort();
    QCOMPARE(shown.removeDuplicates(), 0);
    QList<QStringList> expected;
    for (const QString &serial : qAsConst(shown))
        expected << QStringList{serial, "done", "used", "used"};
    QCOMPARE(rows(store, "SELECT b.serial, b.result, b.serial_fate, n.state FROM boards b JOIN "
                         "numbers n ON n.serial = b.serial ORDER BY b.serial"),
             expected);

    // The next number shown is the one the next board gets.
    const QString address =
        StoreUrl::parse(postgres ? store : "sqlite:" + fixture->filePath("store.sqlite"), nullptr)
            ->display();
    QTRY_VERIFY_WITH_TIMEOUT(storeWords().startsWith("store " + address +
                                                     ": reachable, 0 in the "
                                                     "spool, next LMD-"),
                             5000);
    const QString next = storeWords().section("next ", 1);
    unplug(fixture->path(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(describe(2), QString("slot 2: waiting for a board"), BoardMs);
    SimLoader *last = plug(fixture->path(), 2, Paced);
    QTRY_VERIFY_WITH_TIMEOUT(describe(2).endsWith("remove the board"), BoardMs);
    QCOMPARE(describe(2), QString("slot 2: done, board 4, serial %1, remove the board").arg(next));
    QCOMPARE(serialOn(*last), next);
    QVERIFY(stopWindow());
}

void tst_StationWindowLine::rejectedBoard_data()
{
    QTest::addColumn<int>("rejected"); // the block the loader refuses, from 1
    QTest::addColumn<QString>("fate");

    // The number lies in block 3: refused there, the loader never accepted it.
    QTest::newRow("the block holding the number rejected") << 3 << "returned";
    QTest::newRow("the block after it rejected") << 4 << "void";
}

// A number given back is the next board's; a voided one is nobody's again.
void tst_StationWindowLine::rejectedBoard()
{
    QFETCH(int, rejected);
    QFETCH(QString, fate);

    const QString store = newStore(false);
    QVERIFY(startWindow(writeJob(fixture->path(), 1, store)));
    SimLoader *failing =
        plug(fixture->path(), 1, {.wrongAt = SimLoader::Step::Block, .wrongIndex = rejected});
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    const QString first = serialIn(describe(1));
    QVERIFY2(describe(1).startsWith(
                 QString("slot 1: failed, board 1, serial %1, the loader rejected block %2 of 128")
                     .arg(first)
                     .arg(rejected)),
             qPrintable(describe(1)));
    QCOMPARE(failing->image().size(), (rejected - 1) * 128);
    QCOMPARE(rows(store, "SELECT b.result, b.serial_fate, n.state FROM boards b JOIN numbers n ON "
                         "n.serial = b.serial WHERE b.serial = '" +
                             first + "'"),
             Rows({{"download_error", fate, fate}}));
    // The store widget names the number given back as the next.
    QTRY_COMPARE_WITH_TIMEOUT(storeWords().section("next ", 1) == first, fate == "returned", 5000);

    unplug(fixture->path(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), QString("slot 1: waiting for a board"), BoardMs);
    SimLoader *good = plug(fixture->path(), 1, {});
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    const QString second = serialIn(describe(1));
    QCOMPARE(describe(1),
             QString("slot 1: done, board 2, serial %1, remove the board").arg(second));
    QCOMPARE(serialOn(*good), second);
    QCOMPARE(second == first, fate == "returned");
    QVERIFY(stopWindow());
    QCOMPARE(rows(store, "SELECT state FROM numbers WHERE serial = '" + second + "'"),
             Rows{{"used"}});
}

// Stopped past its number, a board voids it; the number of a board whose loader never answered
// goes back.
void tst_StationWindowLine::stopMidImage()
{
    const QString store = newStore(false);
    QVERIFY(startWindow(writeJob(fixture->path(), 2, store)));
    SimLoader *slow = plug(fixture->path(), 1, {.throttleBaud = 19200});
    QVERIFY(waitFor([&] { return slow->image().size() > SerialAt + SerialWidth; }, BoardMs));
    QVERIFY2(describe(1).startsWith("slot 1: flashing, board 1, serial LMD-"),
             qPrintable(describe(1)));
    QVERIFY(plug(fixture->path(), 2, {.silent = true}));
    const QString serial = serialIn(describe(1));
    QTRY_COMPARE_WITH_TIMEOUT(rows(store, "SELECT COUNT(*) FROM numbers WHERE state = 'reserved'"),
                              Rows{{"2"}}, 5000);
    QSignalSpy stopped(window.get(), &StationWindow::stopped);
    window->stop();
    QMessageBox *box = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((box = window->findChild<QMessageBox *>("confirmStop")), 2000);
    box->button(QMessageBox::Yes)->click();
    QVERIFY(stopped.wait(ExitMs));
    QCOMPARE(describe(1), QString("slot 1: stopped, board 1, serial %1").arg(serial));
    QCOMPARE(serialOn(*slow), serial);

    QCOMPARE(rows(store, "SELECT b.result, b.serial_fate, n.state FROM boards b JOIN numbers n ON "
                         "n.serial = b.serial"),
             Rows({{"stopped", "void", "void"}}));
    QCOMPARE(rows(store, "SELECT state FROM numbers WHERE serial <> '" + serial + "'"),
             Rows{{"returned"}});
    QCOMPARE(rows(store, "SELECT ended FROM runs WHERE stopped IS NOT NULL"), Rows{{"stopped"}});
    QStringList seen;
    for (const QJsonObject &line : readJsonLines(fixture->filePath("flash.jsonl")))
        seen << QStringList{line["event"].toString(), line["result"].toString(),
                            line["board_serial"].toString()}
                    .join(' ')
                    .trimmed();
    QCOMPARE(seen, QStringList({"station_started", "board stopped " + serial, "station_stopped"}));
}

// The window as its own process, killed mid-board: started again, it voids the number that went
// out and shows it on its banner; the number held by a slot whose loader never answered goes back.
void tst_StationWindowLine::killedAndStartedAgain()
{
    const QString store = newStore(false);
    const QString job = writeJob(fixture->path(), 2, store);
    QProcess station;
    station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    station.start(LUMEDRA_STATION, {"--start", job});
    QVERIFY(station.waitForStarted());
    SimLoader *slow = plug(fixture->path(), 1, {.throttleBaud = 19200});
    SimLoader *silent = plug(fixture->path(), 2, {.silent = true});
    QVERIFY(silent);
    QVERIFY(waitFor([&] { return slow->image().size() > SerialAt + SerialWidth; }, BoardMs));
    QTRY_COMPARE_WITH_TIMEOUT(rows(store, "SELECT COUNT(*) FROM numbers WHERE state = 'reserved'"),
                              Rows{{"2"}}, 5000);
    ::kill(pid_t(station.processId()), SIGKILL);
    QVERIFY(station.waitForFinished(ExitMs));
    const QString onBoard = serialOn(*slow);
    QCOMPARE(rows(store, "SELECT serial FROM numbers WHERE went_out IS NOT NULL"), Rows{{onBoard}});
    unplug(fixture->path(), 1);
    unplug(fixture->path(), 2);

    QVERIFY(startWindow(job));
    const QWidget *notices = window->findChild<QWidget *>("notices");
    QVERIFY(notices);
    QTRY_VERIFY_WITH_TIMEOUT(notices->isVisible(), 5000);
    const QList<QStringList> runs = rows(store, "SELECT id FROM runs ORDER BY id");
    QCOMPARE(runs.size(), 2);
    QCOMPARE(notices->accessibleDescription(),
             QString("serial numbers voided at start: %1 held by run %2")
                 .arg(onBoard, runs.first().first()));
    QCOMPARE(rows(store, "SELECT n.state, e.event FROM numbers n JOIN number_events e ON e.pool = "
                         "n.pool AND e.idx = n.idx AND e.run = " +
                             runs.last().first() + " WHERE n.serial <> '" + onBoard +
                             "' AND e.event LIKE '%_at_start'"),
             Rows({{"returned", "returned_at_start"}}));
    QCOMPARE(rows(store, "SELECT state FROM numbers WHERE serial = '" + onBoard + "'"),
             Rows{{"void"}});
    window->findChild<QAbstractButton *>("dismissNotices")->click();
    QVERIFY(!notices->isVisible());
    QVERIFY(stopWindow());
}

// The server stopped under a running window and started again, twice. A board that finishes
// while it is away goes to the spool, which reaches the server by itself once it is back, with no
// board asking; a slot that needs a number waits and says so. Each board is kept once.
void tst_StationWindowLine::storeLostAndBack()
{
    const QString store = newStore(true);
    const auto server = [&](const char *action) {
        paused = QString(action) == "pause";
        return QProcess::execute(LUMEDRA_ROOT "/scripts/pg-cluster.sh",
                                 {action, postgresFolder()}) == 0;
    };
    const auto colour = [&] {
        return window->findChild<QWidget *>("store")->palette().color(QPalette::Window);
    };
    QVERIFY(startWindow(writeJob(fixture->path(), 2, store)));
    SimLoader *first = plug(fixture->path(), 1, Paced);
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    QTRY_VERIFY_WITH_TIMEOUT(storeWords().contains(": reachable, 0 in the spool, next LMD-"), 5000);
    const QColor reachable = colour();

    // Slot 2's board is under way with its number when the server goes, and finishes while it is
    // away; no slot needs the store after it.
    SimLoader *second = plug(fixture->path(), 2, {.throttleBaud = 19200});
    QVERIFY(waitFor([&] { return second->image().size() > SerialAt + SerialWidth; }, BoardMs));
    QVERIFY(server("pause"));
    QTRY_VERIFY2_WITH_TIMEOUT(describe(2).endsWith("remove the board"), qPrintable(describe(2)),
                              BoardMs);
    QVERIFY2(describe(2).startsWith("slot 2: done, board 2, serial "), qPrintable(describe(2)));
    QTRY_VERIFY2_WITH_TIMEOUT(
        storeWords().contains(QRegularExpression(": lost \\d+ s ago, [1-9]\\d* in the spool")),
        qPrintable(storeWords()), BoardMs);
    QVERIFY(colour() != reachable);
    QVERIFY(server("resume"));
    QTRY_VERIFY2_WITH_TIMEOUT(storeWords().contains(": reachable, 0 in the spool, next LMD-"),
                              qPrintable(storeWords()), BoardMs);
    QCOMPARE(colour(), reachable);
    QCOMPARE(rows(store, "SELECT COUNT(*) FROM boards"), Rows{{"2"}});

    // Slot 1's next board needs a new number: it waits for the server, and is flashed once the
    // server is back.
    unplug(fixture->path(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), QString("slot 1: waiting for a board"), BoardMs);
    QVERIFY(server("pause"));
    SimLoader *third = plug(fixture->path(), 1, Paced);
    QTRY_VERIFY2_WITH_TIMEOUT(describe(1).startsWith("slot 1: waiting for the record store"),
                              qPrintable(describe(1)), BoardMs);
    QTRY_VERIFY_WITH_TIMEOUT(storeWords().contains(": lost "), BoardMs);
    QVERIFY(third->image().isEmpty());
    QVERIFY(server("resume"));
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    QTRY_VERIFY2_WITH_TIMEOUT(storeWords().contains(": reachable, 0 in the spool, next LMD-"),
                              qPrintable(storeWords()), BoardMs);
    QVERIFY(stopWindow());

    QStringList onBoards{serialOn(*first), serialOn(*second), serialOn(*third)};
    onBoards.sort();
    QCOMPARE(onBoards.removeDuplicates(), 0);
    QList<QStringList> expected;
    for (const QString &serial : qAsConst(onBoards))
        expected << QStringList{serial, "done", "used"};
    QCOMPARE(rows(store, "SELECT b.serial, b.result, n.state FROM boards b JOIN numbers n ON "
                         "n.serial = b.serial ORDER BY b.serial"),
             expected);
    QCOMPARE(rows(store, "SELECT COUNT(*) FROM numbers WHERE went_out IS NOT NULL"), Rows{{"3"}});
}

// A window and a lumedra-cli station numbering boards from one server at the same time.
void tst_StationWindowLine::windowAndCommandLineTogether()
{
    constexpr int Slots = 2;
    constexpr int BoardsEach = 6;
    const QString store = newStore(true);
    const QString cliFolder = fixture->filePath("cli");
    QVERIFY(QDir().mkpath(cliFolder));
    QVERIFY(startWindow(writeJob(fixture->path(), Slots, store, "bench-1")));
    QProcess cli;
    cli.start(LUMEDRA_CLI,
              {"--station", "--json", "--job", writeJob(cliFolder, Slots, store, "bench-2")});
    QVERIFY(cli.waitForStarted());

    // A board that failed on a loaded machine is no fault here: what is checked is that no
    // number went to two boards, and that each done board holds its own.
    struct Seen {
        QString serial;
        SimLoader *loader;
        bool done;
        int station; // 0: the window's, 1: the command line's
    };
    QVector<Seen> seen;
    SimLoader *atWindow[Slots] = {}, *atCli[Slots] = {};
    int pluggedWindow = 0, pluggedCli = 0;
    for (int s = 0; s < Slots; ++s) {
        atWindow[s] = plug(fixture->path(), s + 1, Paced);
        atCli[s] = plug(cliFolder, s + 1, Paced);
        ++pluggedWindow;
        ++pluggedCli;
    }
    QByteArray pending;
    // A tile tells its board's end until the slot sees the board gone: each board counted once.
    int boardOf[Slots] = {};
    const auto turn = [&] {
        for (int s = 0; s < Slots; ++s) {
            const QString said = describe(s + 1);
            const int board = BoardWords.match(said).captured(1).toInt();
            if (atWindow[s] && board > boardOf[s] && said.endsWith("remove the board")) {
                boardOf[s] = board;
                seen << Seen{serialIn(said), atWindow[s], said.contains("done"), 0};
                QFile::remove(port(fixture->path(), s + 1));
                atWindow[s] =
                    pluggedWindow++ < BoardsEach ? plug(fixture->path(), s + 1, Paced) : nullptr;
            }
        }
        pending += cli.readAllStandardOutput();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QJsonObject event = QJsonDocument::fromJson(pending.left(end)).object();
            pending.remove(0, end + 1);
            const int s = event["slot"].toInt() - 1;
            if (event["event"] != "result" || s < 0 || s >= Slots)
                continue;
            seen << Seen{event["board_serial"].toString(), atCli[s], event["result"] == "done", 1};
            QFile::remove(port(cliFolder, s + 1));
            atCli[s] = pluggedCli++ < BoardsEach ? plug(cliFolder, s + 1, Paced) : nullptr;
        }
        return seen.size() == 2 * BoardsEach;
    };
    QVERIFY(waitForProgress(
        turn, [&] { return qint64(seen.size()); }, 60000, 300000));
    QVERIFY(stopWindow());
    ::kill(pid_t(cli.processId()), SIGINT);
    QVERIFY(cli.waitForFinished(ExitMs));
    QCOMPARE(cli.exitCode(), 130);

    QStringList serials, doneSerials;
    int done[2] = {};
    for (const Seen &board : qAsConst(seen)) {
        serials << board.serial;
        if (!board.done)
            continue;
        QCOMPARE(serialOn(*board.loader), board.serial);
        doneSerials << board.serial;
        ++done[board.station];
    }
    QCOMPARE(serials.removeDuplicates(), 0);
    doneSerials.sort();
    QStringList used;
    for (const QStringList &row :
         rows(store, "SELECT serial FROM numbers WHERE state = 'used' ORDER BY serial"))
        used << row.first();
    QCOMPARE(used, doneSerials);
    QCOMPARE(rows(store, "SELECT r.station, COUNT(*) FROM boards b JOIN runs r ON r.id = b.run "
                         "WHERE b.result = 'done' GROUP BY r.station ORDER BY r.station"),
             Rows({{"bench-1", QString::number(done[0])}, {"bench-2", QString::number(done[1])}}));
}

// One job run from the window, then from the command line started in another folder: the same
// store rows and log lines, but for when, how long, the job's path and the command as written.
void tst_StationWindowLine::sameRunEitherWay()
{
    const QString store = newStore(false);
    const QString job = writeJob(fixture->path(), 1, store);
    const auto flashOne = [&](const std::function<bool()> &done) {
        plug(fixture->path(), 1, {});
        const bool flashed = waitFor(done, BoardMs);
        unplug(fixture->path(), 1);
        return flashed;
    };
    QVERIFY(startWindow(job));
    QVERIFY(flashOne([&] { return describe(1).endsWith("remove the board"); }));
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), QString("slot 1: waiting for a board"), BoardMs);
    QVERIFY(stopWindow());
    window.reset();
    for (const char *name : {"store.sqlite", "flash.jsonl"})
        QVERIFY(
            QFile::rename(fixture->filePath(name), fixture->filePath(QString("window-") + name)));

    QProcess cli;
    cli.setWorkingDirectory(dir.path());
    cli.start(LUMEDRA_CLI, {"--station", "--json", "--job", job});
    QVERIFY(cli.waitForStarted());
    QVERIFY(flashOne([&] {
        return readJsonLines(fixture->filePath("flash.jsonl")).size() == 2 ||
               cli.state() == QProcess::NotRunning;
    }));
    ::kill(pid_t(cli.processId()), SIGINT);
    QVERIFY(cli.waitForFinished(ExitMs));
    QCOMPARE(cli.exitCode(), 130);

    // When, how long and in which process differ by nature; the job's path and the command line
    // as written differ by view.
    const QStringList differ{"time", "seconds", "started", "stopped", "went_out", "job"};
    const auto table = [&](const QString &file, const QString &name) {
        QStringList lines;
        for (const QStringList &row : rows("sqlite:" + file, "SELECT * FROM " + name))
            lines << row.join('|');
        return lines;
    };
    const auto columns = [&](const QString &name) {
        QStringList kept;
        for (const QStringList &row :
             rows("sqlite:store.sqlite", "SELECT name FROM pragma_table_info('" + name + "')"))
            if (!differ.contains(row.first()) && !(name == "runs" && row.first() == "pid"))
                kept << row.first();
        return kept.join(", ");
    };
    for (const QString name : {"runs", "boards", "numbers", "number_events", "pools"}) {
        const QString picked = "(SELECT " + columns(name) + " FROM " + name + ")";
        QVERIFY(!table("store.sqlite", picked + " AS t").isEmpty());
        QCOMPARE(table("window-store.sqlite", picked + " AS t"),
                 table("store.sqlite", picked + " AS t"));
    }
    QCOMPARE(rows("sqlite:store.sqlite", "SELECT COUNT(*) FROM boards WHERE result = 'done'"),
             Rows{{"1"}});

    const auto lines = [&](const QString &name) {
        QList<QJsonObject> kept = readJsonLines(fixture->filePath(name));
        for (QJsonObject &line : kept)
            for (const QString &key : differ)
                line.remove(key);
        return kept;
    };
    const QList<QJsonObject> fromWindow = lines("window-flash.jsonl"),
                             fromCli = lines("flash.jsonl");
    QCOMPARE(fromCli.size(), 3);
    QCOMPARE(fromWindow.size(), fromCli.size());
    for (int i = 0; i < fromCli.size(); ++i)
        QCOMPARE(QJsonDocument(fromWindow.value(i)).toJson(QJsonDocument::Compact),
                 QJsonDocument(fromCli[i]).toJson(QJsonDocument::Compact));
    QCOMPARE(readJsonLines(fixture->filePath("window-flash.jsonl")).first()["job"].toString(), job);
    QCOMPARE(readJsonLines(fixture->filePath("flash.jsonl")).first()["job"].toString(), job);
}

QTEST_MAIN(tst_StationWindowLine)
#include "tst_stationwindowline.moc"
