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

class tst_Engine : public QObject
{
    Q_OBJECT

private slots:
    void download_data();
    void download();
    void shippedTiming();
};

void tst_Engine::download_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("baud");
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<QByteArray>("junk");  // in the line before the host opens it
    QTest::addColumn<int>("adapterFlags"); // -1: a plain pseudo-terminal
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("kinds"); // frames the loader got; empty: the clean conversation
    QTest::addColumn<QList<int>>("blockOffsets");
    QTest::addColumn<int>("accepted");         // blocks; -1: all
    QTest::addColumn<QList<int>>("timing");    // window, least and most ms taken[, pause]
    QTest::addColumn<QByteArrayList>("later"); // sent one by one once the first header is out
    const auto clean = [](const char *tag, const QByteArray &image, int baud = UserBaud,
                          SimLoader::Faults faults = {}, const QByteArray &junk = {},
                          int adapterFlags = -1) {
        QTest::newRow(tag) << image << baud << faults << junk << adapterFlags
                           << int(dudoZerDownload::E_DONE) << QString() << QList<int>() << -1
                           << QList<int>{1000, 0, 120000} << QByteArrayList();
    };
    const auto row = [](const char *tag, const SimLoader::Faults &faults, int result,
                        const QString &kinds, QList<int> blockOffsets, int accepted,
                        QList<int> timing = {1000, 0, 3000}, int imageLength = 600,
                        QByteArrayList later = {}) {
        QTest::newRow(tag) << randomImage(imageLength, 10) << UserBaud << faults << QByteArray()
                           << -1 << result << kinds << blockOffsets << accepted << timing << later;
    };
    const QByteArray ff300(300, '\xFF');

    // Byte-exact: two handshakes, the header, the image as it stands, the finish frame.
    clean("empty", QByteArray());
    clean("abc", "abc");
    clean("1 byte at 57600", QByteArray(1, '\x5A'), 57600);
    clean("127", randomImage(127, 4));
    clean("128 at 115200", randomImage(128, 5), 115200);
    clean("129", randomImage(129, 2));
    clean("256", randomImage(256, 3));
    clean("1000 x FF", QByteArray(1000, '\xFF'));
    clean("1 MiB", randomImage(1 << 20, 7));
    // About 1.5 s on the line: every accepted block restarts the reply window.
    clean("16 KiB on a slow line", randomImage(16 << 10, 11), UserBaud, {.throttleBaud = 115200});
    // remaining * 100 leaves the 32-bit range above 21,474,836 bytes.
    clean("24 MiB", randomImage(24 << 20, 13), 115200, {.recordBlocks = false});
    clean("1 stale byte", ff300, UserBaud, {}, "\xA5");
    clean("2 stale bytes", ff300, UserBaud, {}, "\xA5\x5A");
    // Low latency while the download holds the port, the adapter's own setting back after.
    clean("adapter", ff300, UserBaud, {}, {}, ASYNC_SKIP_TEST);
    clean("adapter already fast", ff300, UserBaud, {}, {}, ASYNC_LOW_LATENCY);

    const int done = dudoZerDownload::E_DONE, error = dudoZerDownload::E_DOWNLOAD_ERR,
              timeout = dudoZerDownload::E_TIMEOUT;
    const QList<int> everyBlock{0, 128, 256, 384, 512};
    // Seven handshakes 200 ms apart, the time-out on the seventh tick.
    row("silent device", {.silent = true}, timeout, "HHHHHHH", {}, 0, {400, 1300, 3000});
    // Garbage as fast as the host takes it, once the first handshake is answered.
    row("flood after the first handshake", {.floodAfter = Step::Handshake}, timeout,
        "HH" + QString("H").repeated(6), {}, 0, {200, 1200, 4000});
    // The ready reply to the 4th handshake resets the budget: six handshakes follow, not three.
    row("answer from the 4th handshake",
        {.answerFromHandshake = 4,
         .wrongAt = Step::Header,
         .silentAt = Step::Handshake,
         .silentIndex = 6,
         .silentEvery = 1},
        timeout, "HHHHHRHHHHHH", {}, 0, {200, 1800, 4500});
    // The line closes after two accepted blocks; the timer's rule still ends the download.
    row("vanishing device", {.vanishAfterBlocks = 2}, timeout, "HHRBBB", {0, 128, 256}, 2,
        {200, 1200, 4000});
    row("ready reply to block 2", {.wrongAt = Step::Block, .wrongIndex = 2}, error, "HHRBB",
        {0, 128}, 1);
    row("unknown status to block 2",
        {.wrongAt = Step::Block, .wrongIndex = 2, .wrongReply = QByteArray::fromHex("A55A42")},
        error, "HHRBB", {0, 128}, 1);
    row("accept reply to the finish frame", {.wrongAt = Step::Finish}, error, "HHRBBBBBF",
        everyBlock, 5);
    // Grouping is by count: the stray byte and A5 5A form the group, a mismatch for a block.
    row("stray byte before block 2's reply",
        {.strayAt = Step::Block, .strayIndex = 2, .strayByte = '\xA5'}, error, "HHRBB", {0, 128},
        1);
    // After a ready reply to the header, the same header again only after a further ready reply.
    row("ready reply to the header",
        {.wrongAt = Step::Header, .wrongReply = Protocol::readyReply()}, done, "HHRRBBBBBF",
        everyBlock, 5, {1000, 0, 3000}, 600, {Protocol::acceptReply(), Protocol::readyReply()});
    // The window closes, a handshake goes out and the conversation runs again from the rate
    // change. Only the unaccepted block is sent again, the short last one too.
    row("block 3 unanswered", {.silentAt = Step::Block, .silentIndex = 3}, done, "HHRBBBHHRBBBF",
        {0, 128, 256, 256, 384, 512}, 5, {800, 0, 3000});
    row("block 5 unanswered", {.silentAt = Step::Block, .silentIndex = 5}, done, "HHRBBBBBHHRBF",
        {0, 128, 256, 384, 512, 512}, 5, {800, 0, 3000});
    // Handshakes that draw ready replies renew nothing: a loader that refuses every header, or
    // restarts on the same block every time, ends like a silent one after seven windows.
    row("every header refused", {.wrongAt = Step::Header, .wrongEvery = 1}, timeout,
        QString("HHR").repeated(7), {}, 0, {150, 900, 4000, 20});
    row("block 3 never answered", {.silentAt = Step::Block, .silentIndex = 3, .silentEvery = 1},
        timeout, "HHRBBB" + QString("HHRB").repeated(6),
        {0, 128, 256, 256, 256, 256, 256, 256, 256}, 2, {150, 900, 4000, 20});
    // Each accepted block renews the budget: eight stalls with progress between them complete.
    row("a stall before every block but the first",
        {.silentAt = Step::Block, .silentIndex = 2, .silentEvery = 2}, done,
        "HHRB" + QString("BHHRB").repeated(8) + "F",
        {0, 128, 128, 256, 256, 384, 384, 512, 512, 640, 640, 768, 768, 896, 896, 1024, 1024}, 9,
        {250, 1500, 5000, 20}, 9 * 128);
}

void tst_Engine::download()
{
    QFETCH(QByteArray, image);
    QFETCH(int, baud);
    QFETCH(SimLoader::Faults, faults);
    QFETCH(QByteArray, junk);
    QFETCH(int, adapterFlags);
    QFETCH(int, result);
    QFETCH(QString, kinds);
    QFETCH(QList<int>, blockOffsets);
    QFETCH(int, accepted);
    QFETCH(QList<int>, timing);
    QFETCH(QByteArrayList, later);

    dudoZerDownload::setTiming({200, timing[0], timing.value(3, 200)});
    SimLoader loader(faults);
    QVERIFY(loader.start());
    loader.inject(junk);
    if (adapterFlags >= 0)
        FakeAdapter::switchOn(adapterFlags);
    EngineRun run;
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpuBefore = std::clock();
    QVERIFY(run.start(loader.portName(), image, baud));
    for (const QByteArray &bytes : later) {
        QVERIFY(waitFor([&] { return loader.count(Frame::Header) > 0; }, 5000));
        QTest::qWait(50);
        loader.inject(bytes);
    }
    QVERIFY(run.waitForResult(120000));
    const qint64 elapsed = clock.elapsed();
    const double cpu = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    QCOMPARE(run.results, QList<int>{result});
    QVERIFY2(elapsed >= timing[1] && elapsed < timing[2], qPrintable(QString::number(elapsed)));
    if (result == dudoZerDownload::E_DONE)
        QVERIFY(loader.image() == image);
    if (FakeAdapter::isOn()) {
        QCOMPARE(FakeAdapter::serialFlags(), adapterFlags | ASYNC_LOW_LATENCY);
        run.engine.reset();
        QCOMPARE(FakeAdapter::serialFlags(), adapterFlags);
        FakeAdapter::switchOff();
    }
    // The k-th percent comes with the block at 128 * k.
    QCOMPARE(run.percents.size(), accepted < 0 ? loader.count(Frame::Block) : accepted);
    for (int k = 0; k < run.percents.size(); ++k) {
        const qint64 remaining = image.size() - qint64(k) * Protocol::MaxBlockLength;
        QCOMPARE(run.percents[k], int(100 - remaining * 100 / image.size()));
    }

    const QVector<Frame> frames = loader.frames();
    if (kinds.isEmpty()) {
        QVERIFY(loader.received() == Protocol::handshakeFrame() + Protocol::handshakeFrame() +
                                         headerFor(image) + image + Protocol::finishFrame());
        for (int i = 0; i < frames.size(); ++i)
            QCOMPARE(frames[i].baud, i == 0 ? baud : 115200);
        return;
    }
    // Waiting costs next to no processor time, even on a line whose far end is gone.
    QVERIFY2(cpu < 0.25 * elapsed / 1000.0, qPrintable(QString("cpu %1 s").arg(cpu)));
    QString frameKinds;
    QList<int> offsets;
    for (const Frame &f : frames) {
        frameKinds += "HRBF?"[f.kind];
        if (f.kind == Frame::Block)
            offsets << image.indexOf(f.bytes);
        if (f.kind == Frame::Header)
            QCOMPARE(f.bytes, headerFor(image));
    }
    QCOMPARE(frameKinds, kinds);
    QCOMPARE(offsets, blockOffsets);
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
        const int expected = i < userRateFrames ? 200 : timing.value(3, 200);
        QVERIFY2(gapMs >= expected / 2 && gapMs < expected + 400,
                 qPrintable(QString::number(gapMs)));
    }
    // Input after the result is ignored. After a time-out the engine listens until its owner lets
    // it go, which closes the port (unless the loader took the line with it).
    if (result == dudoZerDownload::E_TIMEOUT) {
        run.engine.reset();
        QVERIFY(loader.vanished() || portFree(loader.portName()));
    } else {
        loader.inject(Protocol::readyReply() + Protocol::acceptReply());
    }
    QTest::qWait(150);
    QCOMPARE(run.results.size(), 1);
    QCOMPARE(run.percents.size(), accepted);
    QCOMPARE(loader.frames().size(), frames.size());
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
