#include "download/protocol.h"
#include "testing/kit/enginerun.h"
#include "testing/kit/fakeadapter.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"

#include <QtTest>

#include <ctime>

#include <linux/serial.h>

using Frame = SimLoader::Frame;
using Step = SimLoader::Step;

// One download: what the loader and the line do, and what the engine and the loader must show.
struct DownloadRow {
    QByteArray image;
    int baud = UserBaud;
    SimLoader::Faults faults = {};
    QByteArray junk = {};  // in the line before the host opens it
    int adapterFlags = -1; // -1: a plain pseudo-terminal
    int result = dudoZerDownload::E_DONE;
    QString kinds = {}; // frames the loader got; empty: the clean conversation
    QList<int> blockOffsets = {};
    int accepted = -1;                     // blocks; -1: all
    QList<int> timing = {1000, 0, 120000}; // window, least and most ms taken[, pause]
    QByteArrayList later = {};             // sent one by one once the first header is out
};
Q_DECLARE_METATYPE(DownloadRow)

class tst_Engine : public QObject
{
    Q_OBJECT

private slots:
    void download_data();
    void download();
    void readyAfterTimeout();
    void shippedTiming();
};

void tst_Engine::download_data()
{
    QTest::addColumn<DownloadRow>("row");
    const auto add = [](const char *tag, const DownloadRow &row) { QTest::newRow(tag) << row; };
    const QByteArray ff300(300, '\xFF');

    // Byte-exact: two handshakes, the header, the image as it stands, the finish frame.
    add("empty", {.image = QByteArray()});
    add("abc", {.image = "abc"});
    add("1 byte at 57600", {.image = QByteArray(1, '\x5A'), .baud = 57600});
    add("127", {.image = randomImage(127, 4)});
    add("128 at 115200", {.image = randomImage(128, 5), .baud = 115200});
    add("129", {.image = randomImage(129, 2)});
    add("256", {.image = randomImage(256, 3)});
    add("1000 x FF", {.image = QByteArray(1000, '\xFF')});
    add("1 MiB", {.image = randomImage(1 << 20, 7)});
    // About 1.5 s on the line: every accepted block restarts the reply window.
    add("16 KiB on a slow line",
        {.image = randomImage(16 << 10, 11), .faults = {.throttleBaud = 115200}});
    // remaining * 100 leaves the 32-bit range above 21,474,836 bytes.
    add("24 MiB",
        {.image = randomImage(24 << 20, 13), .baud = 115200, .faults = {.recordBlocks = false}});
    add("1 stale byte", {.image = ff300, .junk = "\xA5"});
    add("2 stale bytes", {.image = ff300, .junk = "\xA5\x5A"});
    // Low latency while the download holds the port, the adapter's own setting back after.
    add("adapter", {.image = ff300, .adapterFlags = ASYNC_SKIP_TEST});
    add("adapter already fast", {.image = ff300, .adapterFlags = ASYNC_LOW_LATENCY});

    const int done = dudoZerDownload::E_DONE, error = dudoZerDownload::E_DOWNLOAD_ERR,
              timeout = dudoZerDownload::E_TIMEOUT;
    const QByteArray image = randomImage(600, 10);
    const QList<int> everyBlock{0, 128, 256, 384, 512};
    const QList<int> quick{1000, 0, 3000};
    // Seven handshakes 200 ms apart, the time-out on the seventh tick.
    add("silent device", {.image = image,
                          .faults = {.silent = true},
                          .result = timeout,
                          .kinds = "HHHHHHH",
                          .accepted = 0,
                          .timing = {400, 1300, 3000}});
    // Garbage as fast as the host takes it, once the first handshake is answered.
    add("flood after the first handshake", {.image = image,
                                            .faults = {.floodAfter = Step::Handshake},
                                            .result = timeout,
                                            .kinds = "HH" + QString("H").repeated(6),
                                            .accepted = 0,
                                            .timing = {200, 1200, 4000}});
    // The ready reply to the 4th handshake resets the budget: six handshakes follow, not three.
    add("answer from the 4th handshake", {.image = image,
                                          .faults = {.answerFromHandshake = 4,
                                                     .wrongAt = Step::Header,
                                                     .silentAt = Step::Handshake,
                                                     .silentIndex = 6,
                                                     .silentEvery = 1},
                                          .result = timeout,
                                          .kinds = "HHHHHRHHHHHH",
                                          .accepted = 0,
                                          .timing = {200, 1800, 4500}});
    // The line closes after two accepted blocks; the timer's rule still ends the download.
    add("vanishing device", {.image = image,
                             .faults = {.vanishAfterBlocks = 2},
                             .result = timeout,
                             .kinds = "HHRBBB",
                             .blockOffsets = {0, 128, 256},
                             .accepted = 2,
                             .timing = {200, 1200, 4000}});
    add("ready reply to block 2", {.image = image,
                                   .faults = {.wrongAt = Step::Block, .wrongIndex = 2},
                                   .result = error,
                                   .kinds = "HHRBB",
                                   .blockOffsets = {0, 128},
                                   .accepted = 1,
                                   .timing = quick});
    add("unknown status to block 2", {.image = image,
                                      .faults = {.wrongAt = Step::Block,
                                                 .wrongIndex = 2,
                                                 .wrongReply = QByteArray::fromHex("A55A42")},
                                      .result = error,
                                      .kinds = "HHRBB",
                                      .blockOffsets = {0, 128},
                                      .accepted = 1,
                                      .timing = quick});
    add("accept reply to the finish frame", {.image = image,
                                             .faults = {.wrongAt = Step::Finish},
                                             .result = error,
                                             .kinds = "HHRBBBBBF",
                                             .blockOffsets = everyBlock,
                                             .accepted = 5,
                                             .timing = quick});
    // Grouping is by count: the stray byte and A5 5A form the group, a mismatch for a block.
    add("stray byte before block 2's reply",
        {.image = image,
         .faults = {.strayAt = Step::Block, .strayIndex = 2, .strayByte = '\xA5'},
         .result = error,
         .kinds = "HHRBB",
         .blockOffsets = {0, 128},
         .accepted = 1,
         .timing = quick});
    // After a ready reply to the header, the same header again only after a further ready reply.
    add("ready reply to the header",
        {.image = image,
         .faults = {.wrongAt = Step::Header, .wrongReply = Protocol::readyReply()},
         .result = done,
         .kinds = "HHRRBBBBBF",
         .blockOffsets = everyBlock,
         .accepted = 5,
         .timing = quick,
         .later = {Protocol::acceptReply(), Protocol::readyReply()}});
    // The window closes, a handshake goes out and the conversation runs again from the rate
    // change. Only the unaccepted block is sent again, the short last one too.
    add("block 3 unanswered", {.image = image,
                               .faults = {.silentAt = Step::Block, .silentIndex = 3},
                               .result = done,
                               .kinds = "HHRBBBHHRBBBF",
                               .blockOffsets = {0, 128, 256, 256, 384, 512},
                               .accepted = 5,
                               .timing = {800, 0, 3000}});
    add("block 5 unanswered", {.image = image,
                               .faults = {.silentAt = Step::Block, .silentIndex = 5},
                               .result = done,
                               .kinds = "HHRBBBBBHHRBF",
                               .blockOffsets = {0, 128, 256, 384, 512, 512},
                               .accepted = 5,
                               .timing = {800, 0, 3000}});
    // Handshakes that draw ready replies renew nothing: a loader that refuses every header, or
    // restarts on the same block every time, ends like a silent one after seven windows.
    add("every header refused", {.image = image,
                                 .faults = {.wrongAt = Step::Header, .wrongEvery = 1},
                                 .result = timeout,
                                 .kinds = QString("HHR").repeated(7),
                                 .accepted = 0,
                                 .timing = {150, 900, 4000, 20}});
    add("block 3 never answered",
        {.image = image,
         .faults = {.silentAt = Step::Block, .silentIndex = 3, .silentEvery = 1},
         .result = timeout,
         .kinds = "HHRBBB" + QString("HHRB").repeated(6),
         .blockOffsets = {0, 128, 256, 256, 256, 256, 256, 256, 256},
         .accepted = 2,
         .timing = {150, 900, 4000, 20}});
    // Each accepted block renews the budget: eight stalls with progress between them complete.
    add("a stall before every block but the first",
        {.image = randomImage(9 * 128, 10),
         .faults = {.silentAt = Step::Block, .silentIndex = 2, .silentEvery = 2},
         .result = done,
         .kinds = "HHRB" + QString("BHHRB").repeated(8) + "F",
         .blockOffsets = {0, 128, 128, 256, 256, 384, 384, 512, 512, 640, 640, 768, 768, 896, 896,
                          1024, 1024},
         .accepted = 9,
         .timing = {250, 1500, 5000, 20}});
}

void tst_Engine::download()
{
    QFETCH(DownloadRow, row);
    dudoZerDownload::setTiming({200, row.timing[0], row.timing.value(3, 200)});
    SimLoader loader(row.faults);
    QVERIFY(loader.start());
    loader.inject(row.junk);
    if (row.adapterFlags >= 0)
        FakeAdapter::switchOn(row.adapterFlags);
    EngineRun run;
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpuBefore = std::clock();
    QVERIFY(run.start(loader.portName(), row.image, row.baud));
    for (const QByteArray &bytes : row.later) {
        QVERIFY(waitFor([&] { return loader.count(Frame::Header) > 0; }, 5000));
        QTest::qWait(50);
        loader.inject(bytes);
    }
    QVERIFY(run.waitForResult(120000));
    const qint64 elapsed = clock.elapsed();
    const double cpu = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    QCOMPARE(run.results, QList<int>{row.result});
    QVERIFY2(elapsed >= row.timing[1] && elapsed < row.timing[2],
             qPrintable(QString::number(elapsed)));
    if (row.result == dudoZerDownload::E_DONE)
        QVERIFY(loader.image() == row.image);
    if (FakeAdapter::isOn()) {
        QCOMPARE(FakeAdapter::serialFlags(), row.adapterFlags | ASYNC_LOW_LATENCY);
        run.engine.reset();
        QCOMPARE(FakeAdapter::serialFlags(), row.adapterFlags);
        FakeAdapter::switchOff();
    }
    // The k-th percent comes with the block at 128 * k.
    QCOMPARE(run.percents.size(), row.accepted < 0 ? loader.count(Frame::Block) : row.accepted);
    for (int k = 0; k < run.percents.size(); ++k) {
        const qint64 remaining = row.image.size() - qint64(k) * Protocol::MaxBlockLength;
        QCOMPARE(run.percents[k], int(100 - remaining * 100 / row.image.size()));
    }

    const QVector<Frame> frames = loader.frames();
    if (row.kinds.isEmpty()) {
        QVERIFY(loader.received() == Protocol::handshakeFrame() + Protocol::handshakeFrame() +
                                         headerFor(row.image) + row.image +
                                         Protocol::finishFrame());
        for (int i = 0; i < frames.size(); ++i)
            QCOMPARE(frames[i].baud, i == 0 ? row.baud : 115200);
        return;
    }
    // Waiting costs next to no processor time, even on a line whose far end is gone.
    QVERIFY2(cpu < 0.25 * elapsed / 1000.0, qPrintable(QString("cpu %1 s").arg(cpu)));
    QString frameKinds;
    QList<int> offsets;
    for (const Frame &f : frames) {
        frameKinds += "HRBF?"[f.kind];
        if (f.kind == Frame::Block)
            offsets << row.image.indexOf(f.bytes);
        if (f.kind == Frame::Header)
            QCOMPARE(f.bytes, headerFor(row.image));
    }
    QCOMPARE(frameKinds, row.kinds);
    QCOMPARE(offsets, row.blockOffsets);
    // Handshakes go out at the user's rate, about 200 ms apart, until one draws a ready reply;
    // 200 ms later, and for every frame after, even a handshake in the data phase, the fast rate.
    int userRateFrames = 0;
    while (userRateFrames < frames.size() &&
           frames[userRateFrames++].reply != Protocol::readyReply()) {
    }
    for (int i = 0; i < frames.size(); ++i)
        QCOMPARE(frames[i].baud, i < userRateFrames ? UserBaud : 115200);
    for (int i = 1; i <= userRateFrames && i < frames.size(); ++i) { // the last: the pause
        const qint64 gapMs = (frames[i].atUs - frames[i - 1].atUs) / 1000;
        const int expected = i < userRateFrames ? 200 : row.timing.value(3, 200);
        QVERIFY2(gapMs >= expected / 2 && gapMs < expected + 400,
                 qPrintable(QString::number(gapMs)));
    }
    // Input after the result is ignored. After a time-out the engine listens until its owner lets
    // it go, which closes the port (unless the loader took the line with it).
    if (row.result == dudoZerDownload::E_TIMEOUT) {
        run.engine.reset();
        QVERIFY(loader.vanished() || portFree(loader.portName()));
    } else {
        loader.inject(Protocol::readyReply() + Protocol::acceptReply());
    }
    QTest::qWait(150);
    QCOMPARE(run.results.size(), 1);
    QCOMPARE(run.percents.size(), row.accepted);
    QCOMPARE(loader.frames().size(), frames.size());
}

// A time-out leaves the engine listening until its owner lets it go: a ready reply that comes in
// that time is still handled, and the rate-change step runs as for any first answer.
void tst_Engine::readyAfterTimeout()
{
    dudoZerDownload::setTiming({200, 1000, 20});
    SimLoader loader({.silent = true});
    QVERIFY(loader.start());
    EngineRun run;
    QVERIFY(run.start(loader.portName(), randomImage(600, 10)));
    QVERIFY(waitFor([&] { return !run.results.isEmpty(); }, 10000));
    QCOMPARE(run.results.first(), int(dudoZerDownload::E_TIMEOUT));
    const int handshakes = loader.count(Frame::Handshake);
    QCOMPARE(loader.frames().last().baud, UserBaud);

    loader.inject(Protocol::readyReply());
    QVERIFY(waitFor([&] { return loader.count(Frame::Handshake) > handshakes; }, 5000));
    const Frame fast = loader.frames().last();
    QCOMPARE(fast.kind, Frame::Handshake);
    QCOMPARE(fast.baud, Protocol::FastBaudRate);
}

// Every other case shortens the timing; this one runs the program's own: handshakes 200 ms apart
// until the device answers, a 200 ms pause after the rate switch, and a 10 s reply window.
void tst_Engine::shippedTiming()
{
    dudoZerDownload::setTiming(dudoZerDownload::Timing());
    SimLoader loader({.answerFromHandshake = 4, .silentAt = Step::Block});
    QVERIFY(loader.start());
    EngineRun run;
    QVERIFY(run.start(loader.portName(), randomImage(600, 10)));
    // The sixth handshake draws a ready reply, so the rate-change step runs again behind it.
    QVERIFY(waitFor([&] { return loader.count(Frame::Handshake) >= 6; }, 15000));
    const QVector<Frame> frames = loader.frames();
    QString kinds;
    for (const Frame &f : frames)
        kinds += "HRBF?"[f.kind];
    QCOMPARE(kinds.left(8), QString("HHHHHRBH"));
    // From the frame before `i`, or for the ticks from the first handshake.
    const auto gapMs = [&](int i) {
        return (frames[i].atUs - frames[i == 3 ? 0 : i - 1].atUs) / 1000;
    };
    // Bounds wide enough for a busy machine, narrow enough to tell 200 ms from 300 ms: the ticks
    // over the three gaps before the answered handshake, one at a time for the pause.
    const QList<QPair<int, QList<int>>> expected{{3, {500, 780}},     // three ticks
                                                 {4, {170, 290}},     // the pause after the switch
                                                 {7, {9000, 11500}}}; // the window after block 1
    for (const auto &[index, bounds] : expected)
        QVERIFY2(gapMs(index) >= bounds[0] && gapMs(index) < bounds[1],
                 qPrintable(QString("frame %1 after %2 ms").arg(index).arg(gapMs(index))));
    QVERIFY(run.results.isEmpty());
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
