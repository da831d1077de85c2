#include "download/protocol.h"
#include "station/boardjob.h"
#include "testing/kit/enginerun.h"
#include "testing/kit/fakeadapter.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"

#include <QtTest>

#include <linux/serial.h>

using Step = SimLoader::Step;

// A board's attempts on the station library, in this process: what each loader's behaviour is
// called, and how waiting, resets and retries play out.
class tst_Station : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void reasons_data();
    void reasons();
    void jobs_data();
    void jobs();
    void stopClosesFirst();

private:
    QTemporaryDir dir;
};

namespace
{

const QByteArray SmallImage = randomImage(600, 31); // five blocks

struct JobRun {
    std::unique_ptr<BoardJob> job;
    std::optional<BoardJob::Result> result;
    QStringList events;
    QElapsedTimer clock;

    JobRun(const RunSettings &settings, const QString &path)
        : job(std::make_unique<BoardJob>(settings, path))
    {
        QObject::connect(job.get(), &BoardJob::finished,
                         [this](const BoardJob::Result &r) { result = r; });
        QObject::connect(job.get(), &BoardJob::waiting, [this] { events << "waiting"; });
        QObject::connect(job.get(), &BoardJob::answered, [this] { events << "answered"; });
        QObject::connect(job.get(), &BoardJob::attempt,
                         [this](int n) { events << QString("attempt %1").arg(n); });
        clock.start();
        job->start();
    }

    bool finish(int timeoutMs)
    {
        return waitFor([this] { return result.has_value(); }, timeoutMs);
    }
};

RunSettings settingsFor(const QByteArray &image)
{
    RunSettings settings;
    settings.image = Image::fromBytes(image, "image.bin");
    settings.baud = UserBaud;
    return settings;
}

// The line changes as a sequence, waits rounded to 50 ms; "|" between attempts.
QString lineChanges()
{
    constexpr int Round = 50, AttemptGap = 300;
    QStringList words;
    qint64 last = -1;
    for (const FakeAdapter::LineChange &change : FakeAdapter::lineChanges()) {
        const qint64 gap = last < 0 ? 0 : (change.atMs - last + Round / 3) / Round * Round;
        if (gap >= AttemptGap)
            words << "|";
        else if (gap > 0)
            words << QString("W%1").arg(gap);
        words << QString("%1%2").arg(change.dtr ? 'D' : 'R').arg(change.asserted ? 1 : 0);
        last = change.atMs;
    }
    return words.join(',');
}

} // namespace

void tst_Station::initTestCase()
{
    QVERIFY(dir.isValid());
    QLoggingCategory::setFilterRules(
        QStringLiteral("%1.debug=false").arg(engineLog().categoryName()));
}

void tst_Station::reasons_data()
{
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<int>("windowMs");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("reason"); // a pattern
    QTest::addColumn<int>("mostMs");

    const auto row = [](const char *tag, SimLoader::Faults faults, Outcome outcome,
                        const char *reason, int windowMs = 300, int mostMs = 10000) {
        QTest::newRow(tag) << faults << windowMs << outcome << QString(reason) << mostMs;
    };
    row("silent", {.silent = true}, Outcome::Timeout,
        "^the loader never answered \\(no byte received\\)$");
    row("a stray byte before the first reply", {.strayAt = Step::Handshake, .strayByte = '\x7F'},
        Outcome::Timeout,
        "^the loader answered with \\d+ unexpected bytes: 7F A5 5A 00 A5 5A 00 A5$");
    row("a flood after the first handshake", {.floodAfter = Step::Handshake}, Outcome::Timeout,
        "^the loader answered with \\d{5,} unexpected bytes before block 1 of 5: 3F 3F 3F");
    row("silent after block 2", {.silentAt = Step::Block, .silentIndex = 3, .silentEvery = 1},
        Outcome::Timeout, "^the loader stopped answering after block 2 of 5$");
    row("every header refused", {.wrongAt = Step::Header, .wrongEvery = 1}, Outcome::Timeout,
        "^the loader rejected the header \\(\\d+ times\\)$");
    row("block 3 rejected", {.wrongAt = Step::Block, .wrongIndex = 3}, Outcome::DownloadError,
        "^the loader rejected block 3 of 5 \\(reply A5 5A 00\\)$");
    row("finish rejected", {.wrongAt = Step::Finish}, Outcome::DownloadError,
        "^the loader rejected the finish frame \\(reply A5 5A 41\\)$");
    // A hung-up line is told at once, not after the retry budget of a minute.
    row("gone after block 2", {.vanishAfterBlocks = 2}, Outcome::Lost,
        "^the (device vanished|line hung up) after block 2 of 5$", 10000, 1500);
}

void tst_Station::reasons()
{
    QFETCH(SimLoader::Faults, faults);
    QFETCH(int, windowMs);
    QFETCH(Outcome, outcome);
    QFETCH(QString, reason);
    QFETCH(int, mostMs);

    dudoZerDownload::setTiming({200, windowMs, 20});
    SimLoader loader(faults);
    QVERIFY(loader.start());
    JobRun run(settingsFor(SmallImage), loader.portName());
    QVERIFY(run.finish(30000));
    QCOMPARE(outcomeName(run.result->outcome), outcomeName(outcome));
    QVERIFY2(QRegularExpression(reason).match(run.result->reason).hasMatch(),
             qPrintable(run.result->reason));
    QVERIFY2(run.clock.elapsed() < mostMs, qPrintable(QString::number(run.clock.elapsed())));
}

void tst_Station::jobs_data()
{
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<int>("waitMs"); // -1: no wait
    QTest::addColumn<QString>("reset");
    QTest::addColumn<QString>("command"); // RECORD: a file the command appends to
    QTest::addColumn<int>("attempts");
    QTest::addColumn<bool>("adapter"); // the port has modem lines
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("reason");    // a pattern
    QTest::addColumn<QString>("lines");     // DTR and RTS as they changed
    QTest::addColumn<QList<int>>("timing"); // least and most ms taken

    const auto row = [](const char *tag, SimLoader::Faults faults, int waitMs, const char *reset,
                        const char *command, int attempts, bool adapter, Outcome outcome,
                        const char *reason, const char *lines, QList<int> timing) {
        QTest::newRow(tag) << faults << waitMs << QString(reset) << QString(command) << attempts
                           << adapter << outcome << QString(reason) << QString(lines) << timing;
    };
    // About 3 s of handshakes unanswered, across fresh engines, then the image.
    row("wait for a late loader", {.answerFromHandshake = 15}, 0, "", "", 1, false, Outcome::Done,
        "^$", "", {2500, 8000});
    // An answer, then silence: the loader may be mid-image, so this is a result, not a wake-up.
    row("waiting ends once the loader answered",
        {.silentAt = Step::Block, .silentIndex = 2, .silentEvery = 1}, 0, "", "", 1, false,
        Outcome::Timeout, "^the loader stopped answering after block 1 of 5$", "", {6000, 12000});
    row("wait 2 s for a silent loader", {.silent = true}, 2000, "", "", 1, false, Outcome::Timeout,
        "^the loader never answered \\(no byte received\\), waited 2 s$", "", {1800, 3000});
    row("reset sequence, its order and waits", {}, -1, "D1,R1,W100,D0,W50,R0", "", 1, true,
        Outcome::Done, "^$", "D1,R1,W100,D0,W50,R0", {0, 3000});
    // Only a reset brings the loader back to the start: the second attempt gets the image whole.
    row("a block rejected once, tried again from the reset", {.wrongAt = Step::Block}, -1,
        "dtr-pulse", "", 2, true, Outcome::Done, "^$", "D1,W100,D0,|,D1,W100,D0", {0, 5000});
    row("reset on a port without modem lines", {}, -1, "dtr-pulse", "", 1, false,
        Outcome::ResetFailed, "has no modem lines", "", {0, 2000});
    row("reset command", {}, -1, "", "echo {port} >> RECORD", 1, false, Outcome::Done, "^$", "",
        {0, 3000});
    // A power switch: the port is gone when the command ends, and back 300 ms later.
    row("reset command switches the power", {}, -1, "", "rm {port}", 1, false, Outcome::Done, "^$",
        "", {200, 3000});
    row("reset command fails", {}, -1, "", "echo warming up >&2; echo no relay >&2; exit 3", 1,
        false, Outcome::ResetFailed, "^the reset command exited with status 3: no relay$", "",
        {0, 3000});
    row("reset command hangs", {}, -1, "", "echo stuck >&2; sleep 30", 1, false,
        Outcome::ResetFailed, "^the reset command took longer than 10 s: stuck$", "",
        {9500, 12000});
}

void tst_Station::jobs()
{
    QFETCH(SimLoader::Faults, faults);
    QFETCH(int, waitMs);
    QFETCH(QString, reset);
    QFETCH(QString, command);
    QFETCH(int, attempts);
    QFETCH(bool, adapter);
    QFETCH(Outcome, outcome);
    QFETCH(QString, reason);
    QFETCH(QString, lines);
    QFETCH(QList<int>, timing);

    dudoZerDownload::setTiming({200, 1000, 200});
    SimLoader loader(faults);
    QVERIFY(loader.start());
    RunSettings settings = settingsFor(SmallImage);
    if (waitMs >= 0)
        settings.waitMs = waitMs;
    QString error;
    if (!reset.isEmpty())
        settings.reset = ResetSequence::parse(reset, &error);
    const QString record = dir.filePath(QTest::currentDataTag());
    settings.resetCommand = QString(command).replace("RECORD", "'" + record + "'");
    settings.attempts = attempts;
    if (adapter)
        FakeAdapter::switchOn();
    // The board's port as a link, which a power switch takes away and udev puts back.
    const QString link = dir.filePath(QString("port-%1").arg(QTest::currentDataTag()));
    QFile::remove(link);
    QVERIFY(QFile::link(loader.portName(), link));
    QTimer relink;
    bool relinking = false;
    connect(&relink, &QTimer::timeout, this, [&] {
        if (relinking || QFileInfo::exists(link))
            return;
        relinking = true;
        QTimer::singleShot(300, this, [&] {
            QFile::link(loader.portName(), link);
            relinking = false;
        });
    });
    relink.start(20);
    JobRun run(settings, link);
    const bool finished = run.finish(30000);
    const QString changes = adapter ? lineChanges() : QString();
    FakeAdapter::switchOff();
    QVERIFY(finished);
    QCOMPARE(outcomeName(run.result->outcome), outcomeName(outcome));
    QVERIFY2(QRegularExpression(reason).match(run.result->reason).hasMatch(),
             qPrintable(run.result->reason));
    const qint64 elapsed = run.clock.elapsed();
    QVERIFY2(elapsed >= timing[0] && elapsed < timing[1], qPrintable(QString::number(elapsed)));
    QCOMPARE(changes, lines);
    QCOMPARE(run.result->attempts, attempts);
    if (attempts > 1)
        QCOMPARE(run.events.filter("attempt").size(), attempts - 1);
    if (outcome == Outcome::Done)
        QVERIFY(loader.image() == SmallImage);
    if (command.contains("RECORD")) {
        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), link.toUtf8() + '\n');
    }
}

// Stopped is told only once the port is closed and the adapter's own latency setting is back.
void tst_Station::stopClosesFirst()
{
    dudoZerDownload::setTiming(dudoZerDownload::Timing());
    SimLoader loader(SimLoader::Faults{.throttleBaud = 115200});
    QVERIFY(loader.start());
    FakeAdapter::switchOn(ASYNC_SKIP_TEST);
    RunSettings settings = settingsFor(randomImage(16 << 10, 32));
    BoardJob job(settings, loader.portName());
    QString seen;
    connect(&job, &BoardJob::finished, this, [&](const BoardJob::Result &result) {
        seen = QString("%1 %2 %3")
                   .arg(outcomeName(result.outcome))
                   .arg(portFree(loader.portName()) ? "free" : "held")
                   .arg(FakeAdapter::serialFlags() == ASYNC_SKIP_TEST ? "restored" : "low");
    });
    job.start();
    QVERIFY(waitFor([&] { return loader.count(SimLoader::Frame::Block) > 4; }, 10000));
    QCOMPARE(FakeAdapter::serialFlags(), ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
    job.stop();
    FakeAdapter::switchOff();
    QCOMPARE(seen, QString("stopped free restored"));

    // A stop while the engine's own result is on its way: still one result.
    BoardJob failing(settings, "/nonexistent/lumedra-port");
    int results = 0;
    connect(&failing, &BoardJob::finished, this, [&] { ++results; });
    failing.start();
    failing.stop();
    QTest::qWait(100);
    QCOMPARE(results, 1);
}

QTEST_GUILESS_MAIN(tst_Station)
#include "tst_station.moc"
