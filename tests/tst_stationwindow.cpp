#include "stationui/recentboards.h"
#include "stationui/slottile.h"
#include "stationui/startdialog.h"
#include "stationui/stationwindow.h"
#include "testing/kit/images.h"
#include "testing/kit/jsonlines.h"
#include "testing/simloader/simloader.h"
#include "testing/kit/waitfor.h"

#include <QtTest>

#include <QAction>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <memory>

using Step = SimLoader::Step;

// The station window as a technician and a screen reader see it: tiles by their object names
// and descriptions, against simulated loaders plugged into a fixture folder as symbolic links.
class tst_StationWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void boardLife_data();
    void boardLife();
    void totalsAgreeWithTheLog();
    void locked_data();
    void locked();
    void stopMidImage();
    void portProblemInWords();
    void badJob_data();
    void badJob();
    void imageChangedOnDisk();
    void pin_data();
    void pin();
    void operatorAndLot();

private:
    QString writeJob(int count, const QByteArray &extra = {});
    void plug(int slot, SimLoader &loader);
    void unplug(int slot);
    QString describe(int slot) const;
    QList<QJsonObject> logLines() const;
    bool openJob(const QString &path, bool start);
    // The tile's descriptions as they changed, sampled every 10 ms until `done` holds.
    QStringList watch(int slot, const std::function<bool()> &done, int timeoutMs);

    QTemporaryDir dir;
    std::unique_ptr<QTemporaryDir> fixture;
    std::unique_ptr<StationWindow> window;
    QByteArray image;
    QString logPath;
};

namespace
{
// Paced as a real line: 16 KiB take about 1.5 s, long enough to be seen flashing.
const SimLoader::Faults Paced{.throttleBaud = 115200};

SimLoader::Faults paced(SimLoader::Faults faults)
{
    faults.throttleBaud = Paced.throttleBaud;
    return faults;
}
} // namespace

void tst_StationWindow::initTestCase()
{
    QVERIFY(dir.isValid());
    QLoggingCategory::setFilterRules("lumedra.engine.debug=false");
    QCoreApplication::setOrganizationName("lumedra-test");
    image = randomImage(16 << 10, 41);
    writeFile(dir.path(), "fw.bin", image);
}

void tst_StationWindow::init()
{
    fixture = std::make_unique<QTemporaryDir>();
    QVERIFY(fixture->isValid());
    logPath = fixture->filePath("flash.jsonl");
}

void tst_StationWindow::cleanup()
{
    window.reset();
    // A lookup field's clear button fades in: its animation lets go of itself at the next tick
    // after the field is gone, which the test must wait for.
    QTest::qWait(50);
    fixture.reset();
}

QString tst_StationWindow::writeJob(int count, const QByteArray &extra)
{
    QByteArray text =
        "[job]\nversion = 1\nimage = " + QFile::encodeName(dir.filePath("fw.bin")) +
        "\ngone-after = 0.5\nstation-id = bench-1\nlog = " + QFile::encodeName(logPath) + "\n" +
        extra;
    for (int i = 1; i <= count; ++i)
        text += QString("[slot.%1]\nport = %2\nlabel = A%1\n")
                    .arg(i)
                    .arg(fixture->filePath(QString("usb-0:1.%1:1.0-port0").arg(i)))
                    .toUtf8();
    return writeFile(fixture->path(), "line.job", text);
}

void tst_StationWindow::plug(int slot, SimLoader &loader)
{
    QVERIFY(loader.start());
    QVERIFY(QFile::link(loader.portName(),
                        fixture->filePath(QString("usb-0:1.%1:1.0-port0").arg(slot))));
}

void tst_StationWindow::unplug(int slot)
{
    QVERIFY(QFile::remove(fixture->filePath(QString("usb-0:1.%1:1.0-port0").arg(slot))));
}

QString tst_StationWindow::describe(int slot) const
{
    const QWidget *tile = window->findChild<QWidget *>(QString("slot%1").arg(slot));
    return tile ? tile->accessibleDescription() : QString("no tile");
}

QList<QJsonObject> tst_StationWindow::logLines() const
{
    return readJsonLines(logPath);
}

bool tst_StationWindow::openJob(const QString &path, bool start)
{
    QSignalSpy loaded(window.get(), &StationWindow::jobLoaded);
    window->openJob(path, start);
    return loaded.wait(5000) && loaded.first().first().toBool();
}

QStringList tst_StationWindow::watch(int slot, const std::function<bool()> &done, int timeoutMs)
{
    QStringList seen;
    waitFor(
        [&] {
            // Only the state's words: the board and the percentage change on their own.
            const QString words = describe(slot).section(", ", 0, 0).section(": ", 1);
            if (seen.isEmpty() || seen.last() != words)
                seen << words;
            return done();
        },
        timeoutMs);
    return seen;
}

void tst_StationWindow::boardLife_data()
{
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<QString>("verdict"); // the tile's large text
    QTest::addColumn<QString>("result");  // its description with the board on
    QTest::addColumn<int>("alarms");

    QTest::newRow("a good board") << Paced << "PASS"
                                  << "slot 1: done, board 1, remove the board" << 0;
    QTest::newRow("a block rejected")
        << paced({.wrongAt = Step::Block, .wrongIndex = 100}) << "FAIL"
        << "slot 1: failed, board 1, the loader rejected block 100 of 128 (reply A5 5A 00), remove "
           "the board"
        << 1;
}

void tst_StationWindow::boardLife()
{
    QFETCH(SimLoader::Faults, faults);
    QFETCH(QString, verdict);
    QFETCH(QString, result);
    QFETCH(int, alarms);

    window = std::make_unique<StationWindow>(false);
    window->show();
    QSignalSpy alarm(window.get(), &StationWindow::alarm);
    QVERIFY(openJob(writeJob(1), true));
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), QString("slot 1: waiting for a board"), 2000);
    SimLoader loader(faults);
    plug(1, loader);
    const QStringList seen = watch(
        1, [&] { return describe(1) == result; }, 15000);
    QCOMPARE(describe(1), result);
    QCOMPARE(window->findChild<SlotTile *>("slot1")->text(SlotTile::Verdict), verdict);
    const QString words = verdict == "PASS" ? "done" : "failed";
    QVERIFY2(seen.indexOf("flashing") > seen.indexOf("waiting for a board") &&
                 seen.indexOf(words) > seen.indexOf("flashing"),
             qPrintable(seen.join(" | ")));
    QCOMPARE(alarm.count(), alarms);

    // Taken away: the slot waits for the next board, its counts kept.
    loader.stop();
    unplug(1);
    QTRY_COMPARE_WITH_TIMEOUT(describe(1), QString("slot 1: waiting for a board"), 5000);
    QCOMPARE(alarm.count(), alarms);
}

void tst_StationWindow::totalsAgreeWithTheLog()
{
    window = std::make_unique<StationWindow>(false);
    window->show();
    QVERIFY(openJob(writeJob(3), true));
    SimLoader good(Paced), other(Paced),
        rejecting(paced({.wrongAt = Step::Block, .wrongIndex = 5}));
    plug(1, good);
    plug(2, rejecting);
    plug(3, other);
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).contains("remove") && describe(2).contains("remove") &&
                                 describe(3).contains("remove"),
                             30000);
    const QWidget *totals = window->findChild<QWidget *>("totals");
    QVERIFY(totals);
    QTRY_COMPARE_WITH_TIMEOUT(totals->accessibleDescription().section("; ", 0, 0),
                              QString("3 boards: 2 done, 1 failed, yield 66.7 %"), 1000);

    const QList<QJsonObject> lines = logLines();
    QList<QJsonObject> boards;
    for (const QJsonObject &line : lines)
        if (line["event"] == "board")
            boards.prepend(line); // newest first, as the table
    QCOMPARE(lines.first()["event"].toString(), QString("station_started"));
    QCOMPARE(lines.first()["job"].toString(), fixture->filePath("line.job"));
    const RecentBoards &table = window->recentBoards();
    QCOMPARE(table.rowCount(), boards.size());
    QCOMPARE(boards.size(), 3);
    for (int row = 0; row < boards.size(); ++row) {
        const QJsonObject &line = boards[row];
        const auto cell = [&](int column) {
            return table.data(table.index(row, column)).toString();
        };
        QCOMPARE(cell(RecentBoards::Slot), QString::number(line["slot"].toInt()));
        QCOMPARE(cell(RecentBoards::Board), QString::number(line["board"].toInt()));
        QCOMPARE(cell(RecentBoards::Serial), line["board_serial"].toString());
        QCOMPARE(cell(RecentBoards::Result), line["result"].toString());
        QCOMPARE(cell(RecentBoards::Reason), line["reason"].toString());
        QCOMPARE(cell(RecentBoards::Attempts), QString::number(line["attempts"].toInt()));
        QCOMPARE(line["station"].toString(), QString("bench-1"));
    }
    QCOMPARE(std::count_if(boards.begin(), boards.end(),
                           [](const QJsonObject &l) { return l["result"] == "done"; }),
             2);
}

void tst_StationWindow::locked_data()
{
    QTest::addColumn<bool>("byCommand");
    QTest::addColumn<QByteArray>("jobLine");
    QTest::addColumn<bool>("lockedNow");

    QTest::newRow("unlocked") << false << QByteArray() << false;
    QTest::newRow("--locked") << true << QByteArray() << true;
    QTest::newRow("locked = true in the job") << false << QByteArray("locked = true\n") << true;
    QTest::newRow("locked = false does not unlock --locked")
        << true << QByteArray("locked = false\n") << true;
}

void tst_StationWindow::locked()
{
    QFETCH(bool, byCommand);
    QFETCH(QByteArray, jobLine);
    QFETCH(bool, lockedNow);

    window = std::make_unique<StationWindow>(byCommand);
    QVERIFY(openJob(writeJob(2, jobLine), false));
    QCOMPARE(window->isLocked(), lockedNow);
    const auto action = [&](const char *name) { return window->findChild<QAction *>(name); };
    QVERIFY(action("openJob") && action("alarm") && action("start") && action("stop"));
    QCOMPARE(action("openJob")->isEnabled(), !lockedNow);
    QCOMPARE(action("alarm")->isEnabled(), !lockedNow);
    // Locked or not, the operator starts and stops.
    QVERIFY(action("start")->isEnabled());
    action("start")->trigger();
    QVERIFY(window->isRunning());
    QVERIFY(!action("openJob")->isEnabled() && action("stop")->isEnabled());
    QSignalSpy stopped(window.get(), &StationWindow::stopped);
    action("stop")->trigger(); // no board mid-image: no question
    QVERIFY(stopped.wait(5000));
    QCOMPARE(action("openJob")->isEnabled(), !lockedNow);
}

void tst_StationWindow::stopMidImage()
{
    window = std::make_unique<StationWindow>(false);
    window->show();
    QVERIFY(openJob(writeJob(2), true));
    // Slow enough to be stopped half-way.
    SimLoader slow({.throttleBaud = 19200});
    plug(1, slow);
    QTRY_VERIFY2_WITH_TIMEOUT(describe(1).startsWith("slot 1: flashing"), qPrintable(describe(1)),
                              20000);
    QSignalSpy stopped(window.get(), &StationWindow::stopped);
    QSignalSpy alarm(window.get(), &StationWindow::alarm);
    window->stop();
    QMessageBox *box = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((box = window->findChild<QMessageBox *>("confirmStop")), 2000);
    QVERIFY(box->text().startsWith("1 board is mid-image"));
    // Asked, and not yet answered: still flashing.
    QTest::qWait(300);
    QVERIFY(window->isRunning());
    box->button(QMessageBox::Yes)->click();
    QVERIFY(stopped.wait(5000));
    QCOMPARE(describe(1), QString("slot 1: stopped, board 1"));
    QCOMPARE(alarm.count(), 0); // a stopped board is no failure

    QStringList seen;
    for (const QJsonObject &line : logLines())
        seen << line["event"].toString() + ' ' + line["result"].toString();
    QCOMPARE(seen, QStringList({"station_started ", "board stopped", "station_stopped "}));
}

// A port that cannot be used says why on its tile, in the words the log would use.
void tst_StationWindow::portProblemInWords()
{
    window = std::make_unique<StationWindow>(false);
    window->show();
    QVERIFY(openJob(writeJob(1), true));
    const QString notAPort = writeFile(fixture->path(), "notes.txt", "not a serial port");
    QVERIFY(QFile::link(notAPort, fixture->filePath("usb-0:1.1:1.0-port0")));
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).startsWith("slot 1: cannot use the port, "), 5000);
    QVERIFY2(describe(1).contains("usb-0:1.1:1.0-port0 is not a serial port"),
             qPrintable(describe(1)));
}

void tst_StationWindow::badJob_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("said");

    QTest::newRow("a bad value") << QByteArray("[job]\nversion = 1\nimage = fw.bin\nattempts = "
                                               "x\n[slot.1]\nport = /dev/null\n")
                                 << "line.job:4: [job] attempts: 'x' is not a whole number";
    QTest::newRow("a missing image")
        << QByteArray("[job]\nversion = 1\nimage = gone.bin\n[slot.1]\nport = /dev/null\n")
        << "gone.bin";
    QTest::newRow("a pinned image that differs")
        << QByteArray("[job]\nversion = 1\nimage = fw.bin\nimage-sha256 = " + QByteArray(64, '0') +
                      "\n[slot.1]\nport = /dev/null\n")
        << "fw.bin is not the pinned image: its SHA-256 is ";
}

void tst_StationWindow::badJob()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, said);

    window = std::make_unique<StationWindow>(false);
    window->show();
    writeFile(fixture->path(), "fw.bin", image);
    QVERIFY(!openJob(writeFile(fixture->path(), "line.job", text), true));
    const QLabel *problem = window->findChild<QLabel *>("problem");
    QVERIFY(problem && problem->isVisible());
    QVERIFY2(problem->text().contains(said), qPrintable(problem->text()));
    QVERIFY(!window->isRunning());
    QVERIFY(!window->findChild<QAction *>("start")->isEnabled());
    QVERIFY(!window->findChild<QWidget *>("slot1"));
}

void tst_StationWindow::imageChangedOnDisk()
{
    const QByteArray before = image;
    writeFile(fixture->path(), "fw.bin", before);
    window = std::make_unique<StationWindow>(false);
    window->show();
    QVERIFY(openJob(writeFile(fixture->path(), "line.job",
                              "[job]\nversion = 1\nimage = fw.bin\n[slot.1]\nport = " +
                                  QFile::encodeName(fixture->filePath("slot1")) + "\n"),
                    true));
    const QLabel *warning = window->findChild<QLabel *>("imageWarning");
    QVERIFY(warning && !warning->isVisible());
    writeFile(fixture->path(), "fw.bin", randomImage(1000, 42));
    QTRY_VERIFY_WITH_TIMEOUT(warning->isVisible(), 3000);
    QVERIFY(warning->text().contains("keeps flashing"));

    // What the slot gets is still what was read at the start.
    SimLoader loader;
    QVERIFY(loader.start());
    QVERIFY(QFile::link(loader.portName(), fixture->filePath("slot1")));
    QVERIFY(waitFor([&] { return loader.image() == before; }, 10000));
}

// The pin beside the image's hash, and a locked job that pins nothing warned of; either way the
// station runs, and a pinned image that changes on disk is never read again.
void tst_StationWindow::pin_data()
{
    QTest::addColumn<bool>("byCommand");
    QTest::addColumn<QByteArray>("jobLines");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("banner");
    QTest::addColumn<QString>("changed"); // when the file changes on disk, if it does

    const QByteArray pinLine =
        "image-sha256 = " + QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex() +
        "\n";
    const QString never;
    QTest::newRow("not pinned, unlocked")
        << false << QByteArray() << "not pinned" << false << never;
    QTest::newRow("pinned, unlocked") << false << pinLine << "pinned" << false << never;
    QTest::newRow("pinned, locked in the job") << false << pinLine + "locked = true\n"
                                               << "pinned" << false << never;
    QTest::newRow("not pinned, locked in the job")
        << false << QByteArray("locked = true\n") << "not pinned" << true << never;
    QTest::newRow("not pinned, --locked") << true << QByteArray() << "not pinned" << true << never;
    QTest::newRow("pinned, changed before Start")
        << true << pinLine << "pinned" << false << "before Start";
    QTest::newRow("pinned, changed mid-run") << true << pinLine << "pinned" << false << "mid-run";
}

void tst_StationWindow::pin()
{
    QFETCH(bool, byCommand);
    QFETCH(QByteArray, jobLines);
    QFETCH(QString, shown);
    QFETCH(bool, banner);
    QFETCH(QString, changed);

    writeFile(fixture->path(), "fw.bin", image);
    window = std::make_unique<StationWindow>(byCommand);
    window->show();
    QVERIFY(
        openJob(writeFile(fixture->path(), "line.job",
                          "[job]\nversion = 1\nimage = fw.bin\n" + jobLines + "[slot.1]\nport = " +
                              QFile::encodeName(fixture->filePath("usb-0:1.1:1.0-port0")) + "\n"),
                false));
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    const QWidget *totals = window->findChild<QWidget *>("totals");
    const QLabel *hash = window->findChild<QLabel *>("image");
    const QLabel *warning = window->findChild<QLabel *>("pinWarning");
    const QLabel *changedWarning = window->findChild<QLabel *>("imageWarning");
    QVERIFY(totals && hash && warning && changedWarning);
    QCOMPARE(totals->accessibleDescription().section(", ", -1), shown);
    QCOMPARE(hash->text().section(QChar(0x00B7), -2, -2).trimmed(), "SHA-256 " + sha.left(12));
    QCOMPARE(hash->text().section(QChar(0x00B7), -1).trimmed(), shown);
    QCOMPARE(warning->isVisible(), banner);
    if (banner)
        QVERIFY2(warning->text().contains("not pin its image: add image-sha256 = " + sha),
                 qPrintable(warning->text()));

    const auto change = [&] {
        writeFile(fixture->path(), "fw.bin", randomImage(1000, 42));
        QTRY_VERIFY_WITH_TIMEOUT(changedWarning->isVisible(), 3000);
        QVERIFY(changedWarning->text().contains("keeps flashing"));
    };
    if (changed == "before Start")
        change();
    QSignalSpy started(window.get(), &StationWindow::started);
    QVERIFY(started.isValid());
    window->start();
    QVERIFY(started.wait(5000));
    if (changed == "mid-run")
        change();
    // Warned or not, the station runs, and flashes what it read; the pin stays as shown.
    QVERIFY(window->isRunning());
    QCOMPARE(warning->isVisible(), banner);
    QCOMPARE(totals->accessibleDescription().section(", ", -1), shown);
    SimLoader loader;
    plug(1, loader);
    QVERIFY(waitFor([&] { return loader.image() == image; }, 10000));
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).startsWith("slot 1: done"), 5000);
}

// A job that asks who and which lot: Start opens the dialog, a scanner fills it, and the answers
// are on every log line and in the store, where the Report tab looks the lot up as scanned.
void tst_StationWindow::operatorAndLot()
{
    const QString store = "sqlite:" + fixture->filePath("lots.sqlite");
    window = std::make_unique<StationWindow>(false);
    window->show();
    QVERIFY(openJob(writeJob(1, "operator = ask\nlot = ask\ndb = " + store.toUtf8() +
                                    "\n[serial]\nat = 16\nformat = dec:8\nprefix = W\n"
                                    "start = 1\n"),
                    false));
    const auto scan = [](QWidget *field, const QString &code) {
        QVERIFY(field);
        QTest::keyClicks(field, code);
        QTest::keyClick(field, Qt::Key_Return);
    };
    // Cancelled, nothing starts; asked again at the next Start.
    window->start();
    auto *dialog = window->findChild<StartDialog *>();
    QVERIFY(dialog && dialog->isVisible());
    scan(dialog->findChild<QLineEdit *>("operator"), "ana");
    dialog->reject();
    QVERIFY(!window->isRunning());
    QTRY_VERIFY(!window->findChild<StartDialog *>());

    QSignalSpy started(window.get(), &StationWindow::started);
    window->start();
    dialog = window->findChild<StartDialog *>();
    QVERIFY(dialog);
    scan(dialog->findChild<QLineEdit *>("operator"), "ana");
    QVERIFY(!window->isRunning());
    scan(dialog->focusWidget(), "WO-7");
    QVERIFY(started.wait(5000));
    SimLoader loader;
    plug(1, loader);
    QTRY_VERIFY_WITH_TIMEOUT(describe(1).startsWith("slot 1: done"), 10000);
    QSignalSpy stopped(window.get(), &StationWindow::stopped);
    window->stop();
    QVERIFY(stopped.wait(10000));

    const QList<QJsonObject> lines = logLines();
    QCOMPARE(lines.size(), 3); // started, the board, stopped
    for (const QJsonObject &line : lines)
        QCOMPARE(line["operator"].toString() + ' ' + line["lot"].toString(), QString("ana WO-7"));
    auto *lookup = window->findChild<QLineEdit *>("lotLookup");
    const QLabel *summary = window->findChild<QLabel *>("lotSummary");
    QVERIFY(summary);
    scan(lookup, "WO-7");
    QTRY_VERIFY2_WITH_TIMEOUT(summary->text().startsWith("lot WO-7: 1 boards, 1 done, 0 failed, "
                                                         "yield 100.0 %, first pass 100.0 %; "
                                                         "operators ana;"),
                              qPrintable(summary->text()), 5000);
    QVERIFY2(summary->text().endsWith("; serial numbers W0000001"), qPrintable(summary->text()));
}

QTEST_MAIN(tst_StationWindow)
#include "tst_stationwindow.moc"
