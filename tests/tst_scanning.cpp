#include "records/report.h"
#include "records/storeurl.h"
#include "stationui/stationwindow.h"
#include "testing/kit/images.h"
#include "testing/kit/storerows.h"
#include "testing/kit/jsonlines.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"

#include <QtTest>

#include <QLabel>
#include <QLineEdit>

#include <csignal>
#include <memory>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

// Boards' printed labels end to end: scans typed into the station window's field as a wedge
// scanner types them, the command line fed through a FIFO, and a board that comes back flashed
// again with the bytes it had, on SQLite and on the PostgreSQL fixture.
class tst_Scanning : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void windowScans();
    void labelSeenBefore_data();
    void labelSeenBefore();
    void commandLineFifo();

private:
    QString newStore(bool postgres);
    QString writeJob(int count, const QString &db, const QByteArray &scanKeys);
    QString port(int slot) const;
    SimLoader *plug(int slot);
    void unplug(int slot);
    bool startWindow(const QString &job);
    bool stopWindow();
    QString describe(int slot) const;
    QString scanMessage() const;
    void scan(const QString &text);
    QList<QStringList> rows(const QString &url, const QString &sql) const;

    QTemporaryDir dir;
    std::unique_ptr<QTemporaryDir> fixture;
    std::unique_ptr<StationWindow> window;
    // Kept until the test ends: a stopped loader's terminal name could come back for the next.
    std::vector<std::unique_ptr<SimLoader>> loaders;
    QByteArray image;
};

namespace
{
constexpr int ImageSize = 4 << 10;
constexpr int SerialAt = 0x100;
constexpr int BoardMs = 30000;
constexpr int ExitMs = 20000;
const QByteArray Required = "scan = required\nscan-pattern = PCB-[0-9]{4}\n";
const QString Scan = QStringLiteral("scan the board's label");

QString postgresFolder()
{
    return qEnvironmentVariable("LUMEDRA_TEST_POSTGRES_DIR");
}
} // namespace

void tst_Scanning::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!qEnvironmentVariableIsEmpty("LUMEDRA_TEST_POSTGRES") && !postgresFolder().isEmpty(),
             "the PostgreSQL fixture (scripts/pg-cluster.sh) sets LUMEDRA_TEST_POSTGRES");
    QLoggingCategory::setFilterRules("lumedra.engine.debug=false");
    QCoreApplication::setOrganizationName("lumedra-test");
    image = randomImage(ImageSize, 61);
    writeFile(dir.path(), "fw.bin", image);
}

void tst_Scanning::init()
{
    fixture = std::make_unique<QTemporaryDir>();
    QVERIFY(fixture->isValid());
}

void tst_Scanning::cleanup()
{
    window.reset();
    loaders.clear();
    fixture.reset();
}

QString tst_Scanning::newStore(bool postgres)
{
    return postgres ? freshPostgresStore("scanning") : QString("sqlite:store.sqlite");
}

// Slot N has the position code FIX-AN.
QString tst_Scanning::writeJob(int count, const QString &db, const QByteArray &scanKeys)
{
    QByteArray text =
        "[job]\nversion = 1\nimage = " + QFile::encodeName(dir.filePath("fw.bin")) +
        "\ngone-after = 0.5\nstation-id = bench-1\nlog = flash.jsonl\ndb = " + db.toUtf8() + "\n" +
        scanKeys + "[serial]\nat = " + QByteArray::number(SerialAt) +
        "\nformat = dec:8\nprefix = SN\nstart = 1\n";
    for (int i = 1; i <= count; ++i)
        text += QString("[slot.%1]\nport = %2\ncode = FIX-A%1\n").arg(i).arg(port(i)).toUtf8();
    return writeFile(fixture->path(), "line.job", text);
}

QString tst_Scanning::port(int slot) const
{
    return fixture->filePath(QString("slot-%1").arg(slot));
}

SimLoader *tst_Scanning::plug(int slot)
{
    loaders.push_back(std::make_unique<SimLoader>());
    SimLoader *loader = loaders.back().get();
    if (!loader->start() || !QFile::link(loader->portName(), port(slot)))
        return nullptr;
    return loader;
}

void tst_Scanning::unplug(int slot)
{
    QVERIFY(QFile::remove(port(slot)));
}

bool tst_Scanning::startWindow(const QString &job)
{
    window = std::make_unique<StationWindow>(false);
    window->show();
    window->activateWindow();
    QSignalSpy started(window.get(), &StationWindow::started);
    window->openJob(job, true);
    return started.wait(BoardMs) && QTest::qWaitForWindowActive(window.get());
}

bool tst_Scanning::stopWindow()
{
    QSignalSpy stopped(window.get(), &StationWindow::stopped);
    window->stop();
    return stopped.wait(ExitMs);
}

QString tst_Scanning::describe(int slot) const
{
    const QWidget *tile = window->findChild<QWidget *>(QString("slot%1").arg(slot));
    return tile ? tile->accessibleDescription() : QString("no tile");
}

QString tst_Scanning::scanMessage() const
{
    const QLabel *message = window->findChild<QLabel *>("scanMessage");
    return message ? message->text() : QString("no scan message");
}

// Typed where the keyboard is, as a wedge scanner types: nobody clicked anything first.
void tst_Scanning::scan(const QString &text)
{
    QWidget *focused = QApplication::focusWidget();
    QVERIFY(focused);
    QCOMPARE(focused, window->findChild<QLineEdit *>("scan"));
    QTest::keyClicks(focused, text);
    QTest::keyClick(focused, Qt::Key_Return);
}

QList<QStringList> tst_Scanning::rows(const QString &url, const QString &sql) const
{
    return storeRows(url, sql, fixture->path());
}

// Two boards waiting for their labels: a scan that is no label is refused and changes nothing, a
// position code sends the next label to its slot, and the next label to the lowest slot still
// waiting. No board starts before its label is in.
void tst_Scanning::windowScans()
{
    const QString store = newStore(false);
    QVERIFY(startWindow(writeJob(2, store, Required)));
    SimLoader *first = plug(1);
    SimLoader *second = plug(2);
    QVERIFY(first && second);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), "slot 1: " + Scan, BoardMs);
    QTRY_COMPARE_WITH_TIMEOUT(describe(2), "slot 2: " + Scan, BoardMs);
    QTest::qWait(500);
    QCOMPARE(first->count(SimLoader::Frame::Header), 0);

    scan("hello");
    QCOMPARE(scanMessage(),
             QString("hello is not a board's label (it does not match PCB-[0-9]{4})"));
    QTest::qWait(300);
    QCOMPARE(describe(1), "slot 1: " + Scan);
    QCOMPARE(describe(2), "slot 2: " + Scan);

    scan("FIX-A2");
    QCOMPARE(scanMessage(), QString("slot 2: scan the board's label"));
    scan("PCB-0002");
    QCOMPARE(scanMessage(), QString("slot 2: label PCB-0002"));
    QTRY_VERIFY_WITH_TIMEOUT(describe(2).endsWith("remove the board"), BoardMs);
    QCOMPARE(describe(1), "slot 1: " + Scan);
    QCOMPARE(first->count(SimLoader::Frame::Header), 0);
    scan("PCB-0002");
    QCOMPARE(scanMessage(), QString("label PCB-0002 is on slot 2 already"));
    scan("PCB-0001");
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    QVERIFY2(describe(1).contains(", label PCB-0001,"), qPrintable(describe(1)));
    QVERIFY2(describe(2).contains(", label PCB-0002,"), qPrintable(describe(2)));
    QCOMPARE(first->image().mid(SerialAt, 8), QByteArray("SN000002"));
    QCOMPARE(second->image().mid(SerialAt, 8), QByteArray("SN000001"));
    QVERIFY(stopWindow());

    QCOMPARE(rows(store, "SELECT slot, label, serial, reflash FROM boards ORDER BY slot"),
             QList<QStringList>(
                 {{"1", "PCB-0001", "SN000002", "0"}, {"2", "PCB-0002", "SN000001", "0"}}));
    QStringList logged;
    for (const QJsonObject &line : readJsonLines(fixture->filePath("flash.jsonl")))
        if (line["event"] == "board")
            logged << line["board_label"].toString() + (line["reflash"].toBool() ? " again" : "");
    logged.sort();
    QCOMPARE(logged, QStringList({"PCB-0001", "PCB-0002"}));
}

void tst_Scanning::labelSeenBefore_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::addColumn<bool>("allow");
    QTest::newRow("SQLite, refused") << false << false;
    QTest::newRow("SQLite, reflashed") << false << true;
    QTest::newRow("PostgreSQL, refused") << true << false;
    QTest::newRow("PostgreSQL, reflashed") << true << true;
}

// A board done under its label comes back. Refused, it is told to go and gets no byte;
// reflashed, it gets the very bytes it had (its number kept), and the next board a new number.
void tst_Scanning::labelSeenBefore()
{
    QFETCH(bool, postgres);
    QFETCH(bool, allow);
    const QString store = newStore(postgres);
    QVERIFY(startWindow(writeJob(1, store, Required + (allow ? "reflash = allow\n" : ""))));
    SimLoader *first = plug(1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), "slot 1: " + Scan, BoardMs);
    scan("PCB-0042");
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    const QByteArray firstBytes = first->image();
    QCOMPARE(firstBytes.mid(SerialAt, 8), QByteArray("SN000001"));
    unplug(1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), QString("slot 1: waiting for a board"), BoardMs);

    SimLoader *back = plug(1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), "slot 1: " + Scan, BoardMs);
    scan("PCB-0042");
    if (!allow) {
        QTRY_VERIFY_WITH_TIMEOUT(
            describe(1).startsWith("slot 1: label PCB-0042 was flashed as board 1 at "), BoardMs);
        QVERIFY2(describe(1).endsWith(" on station bench-1; remove it"), qPrintable(describe(1)));
        QTest::qWait(500);
        QCOMPARE(back->count(SimLoader::Frame::Header), 0);
        QVERIFY(stopWindow());
        QCOMPARE(rows(store, "SELECT COUNT(*) FROM boards"), QList<QStringList>({{"1"}}));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    QVERIFY2(describe(1).contains("label PCB-0042, reflash"), qPrintable(describe(1)));
    QCOMPARE(back->image(), firstBytes);
    unplug(1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), QString("slot 1: waiting for a board"), BoardMs);
    SimLoader *next = plug(1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), "slot 1: " + Scan, BoardMs);
    scan("PCB-0043");
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).endsWith("remove the board"), BoardMs);
    QCOMPARE(next->image().mid(SerialAt, 8), QByteArray("SN000002"));
    QVERIFY(stopWindow());

    QCOMPARE(rows(store, "SELECT label, serial, serial_fate, reflash, result FROM boards ORDER "
                         "BY id"),
             QList<QStringList>({{"PCB-0042", "SN000001", "used", "0", "done"},
                                 {"PCB-0042", "SN000001", "kept", "1", "done"},
                                 {"PCB-0043", "SN000002", "used", "0", "done"}}));
    QCOMPARE(rows(store, "SELECT serial, state FROM numbers ORDER BY idx"),
             QList<QStringList>({{"SN000001", "used"}, {"SN000002", "used"}}));
    // What the store rebuilds for the number is what both boards received.
    QString error;
    Report report(
        *StoreUrl::parse(postgres ? store : "sqlite:" + fixture->filePath("store.sqlite"), &error));
    const std::optional<QByteArray> rebuilt = report.boardImage("SN000001", &error);
    QVERIFY2(rebuilt, qPrintable(error));
    QCOMPARE(*rebuilt, firstBytes);
    report.closeThread();
}

// The command line takes its scans from a FIFO: a line that is no label is refused on its
// output, "SLOT CODE" sends a label to its slot, and the board's log line carries it.
void tst_Scanning::commandLineFifo()
{
    const QString job = writeJob(2, newStore(false), Required);
    const QString fifo = fixture->filePath("scans");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    SimLoader *first = plug(1);
    SimLoader *second = plug(2);
    QVERIFY(first && second);
    QProcess cli;
    cli.start(LUMEDRA_CLI, {"--station", "--json", "--job", job, "--scan-from", fifo});
    QByteArray out;
    // How often `text` came on the output so far.
    const auto seen = [&](const QByteArray &text) {
        out += cli.readAllStandardOutput();
        return int(out.count(text));
    };
    const QByteArray asking = "\"reason\":\"scan the board's label\"";
    QVERIFY2(waitFor([&] { return seen(asking) >= 2; }, BoardMs), out.constData());

    QFile feed(fifo);
    QVERIFY(feed.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    feed.write("garbage\n2 PCB-0777\n");
    QVERIFY2(waitFor([&] { return seen("\"event\":\"scan_refused\"") == 1; }, BoardMs),
             out.constData());
    QVERIFY2(waitFor([&] { return seen("\"result\":\"done\"") == 1; }, BoardMs), out.constData());
    QCOMPARE(second->image().size(), ImageSize);
    QCOMPARE(first->count(SimLoader::Frame::Header), 0);
    feed.write("PCB-0778\n");
    QVERIFY2(waitFor([&] { return seen("\"result\":\"done\"") == 2; }, BoardMs), out.constData());
    QCOMPARE(first->image().size(), ImageSize);
    feed.close();
    ::kill(pid_t(cli.processId()), SIGINT);
    QVERIFY(cli.waitForFinished(ExitMs));

    QStringList logged;
    for (const QJsonObject &line : readJsonLines(fixture->filePath("flash.jsonl")))
        if (line["event"] == "board")
            logged
                << QString("%1 %2").arg(line["slot"].toInt()).arg(line["board_label"].toString());
    logged.sort();
    QCOMPARE(logged, QStringList({"1 PCB-0778", "2 PCB-0777"}));
}

QTEST_MAIN(tst_Scanning)
#include "tst_scanning.moc"
