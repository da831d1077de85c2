#include "testsupport.h"

#include <ctime>

#include <cstdarg>
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

using Frame = SimLoader::Frame;
using Step = SimLoader::Step;

// A driver that knows the serial-settings requests, as USB adapters' drivers do; the
// pseudo-terminals refuse them. Off, every request goes to the real driver.
namespace Adapter {
bool on = false;
int flags = 0;
} // namespace Adapter

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (Adapter::on && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        auto *settings = static_cast<serial_struct *>(arg);
        if (request == TIOCGSERIAL)
            *settings = serial_struct{};
        int &flags = request == TIOCGSERIAL ? settings->flags : Adapter::flags;
        flags = request == TIOCGSERIAL ? Adapter::flags : settings->flags;
        return 0;
    }
    static const auto real =
        reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

class tst_Engine : public QObject
{
    Q_OBJECT

private slots:
    void wire_data();
    void wire();
    void conversation_data();
    void conversation();
};

void tst_Engine::wire_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("baud");
    // One per block; with the 128-byte blocks and the short rest they imply. Empty: only the
    // rule for each block is checked.
    QTest::addColumn<QList<int>>("percents");
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<QByteArray>("junk");       // in the line before the host opens it
    QTest::addColumn<int>("adapterFlags");      // -1: a plain pseudo-terminal
    const auto row = [](const char *tag, const QByteArray &image, int baud, QList<int> percents,
                        SimLoader::Faults faults = {}, const QByteArray &junk = {},
                        int adapterFlags = -1) {
        QTest::newRow(tag) << image << baud << percents << faults << junk << adapterFlags;
    };
    const QByteArray ff300(300, '\xFF');

    row("empty", QByteArray(), UserBaud, {});
    row("abc", "abc", UserBaud, {0});
    row("1 byte", QByteArray(1, '\x5A'), 57600, {0});
    row("100", randomImage(100, 1), UserBaud, {0});
    row("127", randomImage(127, 4), UserBaud, {0});
    row("128", randomImage(128, 5), UserBaud, {0});
    row("129", randomImage(129, 2), UserBaud, {0, 100});
    row("256", randomImage(256, 3), 115200, {0, 50});
    row("300 x FF", ff300, UserBaud, {0, 43, 86});
    row("1000 x FF", QByteArray(1000, '\xFF'), UserBaud, {0, 13, 26, 39, 52, 64, 77, 90});
    row("64 KiB", randomImage(64 << 10, 6), UserBaud, {});
    row("1 MiB", randomImage(1 << 20, 7), UserBaud, {});
    SimLoader::Faults pieces;
    pieces.replyPieces = 2;
    row("every reply as 1 + 2 bytes", ff300, UserBaud, {0, 43, 86}, pieces);
    // About 1.5 s on the line: every accepted block restarts the reply window, so a healthy
    // data phase that outlasts it is not interrupted.
    SimLoader::Faults line;
    line.throttleBaud = 115200;
    row("16 KiB on a slow line", randomImage(16 << 10, 11), UserBaud, {}, line);
    // remaining * 100 leaves the 32-bit range above 21,474,836 bytes.
    SimLoader::Faults unrecorded;
    unrecorded.recordBlocks = false;
    row("24 MiB", randomImage(24 << 20, 13), 115200, {}, unrecorded);
    row("1 stale byte", ff300, UserBaud, {0, 43, 86}, {}, "\xA5");
    row("2 stale bytes", ff300, UserBaud, {0, 43, 86}, {}, "\xA5\x5A");
    // Low latency while the download holds the port, the adapter's own setting back after.
    row("adapter", ff300, UserBaud, {0, 43, 86}, {}, {}, ASYNC_SKIP_TEST);
    row("adapter already fast", ff300, UserBaud, {0, 43, 86}, {}, {}, ASYNC_LOW_LATENCY);
}

void tst_Engine::wire()
{
    QFETCH(QByteArray, image);
    QFETCH(int, baud);
    QFETCH(QList<int>, percents);
    QFETCH(SimLoader::Faults, faults);
    QFETCH(QByteArray, junk);
    QFETCH(int, adapterFlags);

    // A reply window far longer than any block's round trip, shorter than the slow line's image.
    dudoZerDownload::setTiming({200, 1000, 200});
    SimLoader loader(faults);
    QVERIFY(loader.start());
    loader.inject(junk);
    Adapter::on = adapterFlags >= 0;
    Adapter::flags = adapterFlags;
    EngineRun run;
    QVERIFY(run.start(loader.portName(), image, baud));
    QVERIFY(run.waitForResults(1, 120000));
    QCOMPARE(run.results, QList<int>{dudoZerDownload::E_DONE});
    if (Adapter::on) {
        QCOMPARE(Adapter::flags, adapterFlags | ASYNC_LOW_LATENCY);
        run.engine.reset();
        QCOMPARE(Adapter::flags, adapterFlags);
        Adapter::on = false;
    }

    // Byte-exact: two handshakes, the header, the image as it stands, the finish frame.
    const QByteArray expected = Protocol::handshakeFrame() + Protocol::handshakeFrame() +
                                headerFor(image) + image + Protocol::finishFrame();
    QVERIFY(loader.received() == expected);
    QVERIFY(loader.image() == image);

    // Each block is accepted on its own, so the loader counted as many as there are percents.
    QCOMPARE(run.percents.size(), loader.count(Frame::Block));
    if (!percents.isEmpty())
        QCOMPARE(run.percents, percents);
    for (int k = 0; k < run.percents.size(); ++k) {
        const qint64 remaining = image.size() - qint64(k) * Protocol::MaxBlockLength;
        QCOMPARE(run.percents[k], int(100 - remaining * 100 / image.size()));
    }

    // The user's rate only until the first ready reply, the fast rate from then on.
    const QVector<Frame> frames = loader.frames();
    for (int i = 0; i < frames.size(); ++i)
        QCOMPARE(frames[i].baud, i == 0 ? baud : Protocol::FastBaudRate);
}

void tst_Engine::conversation_data()
{
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<QList<QByteArray>>("injected");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("kinds");
    QTest::addColumn<QList<int>>("blockOffsets");
    QTest::addColumn<QList<int>>("percents");
    QTest::addColumn<int>("windowMs");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::addColumn<int>("imageLength");
    const auto row = [](const char *tag, const SimLoader::Faults &faults, int result,
                        const QString &kinds, QList<int> blockOffsets, QList<int> percents,
                        int windowMs = dudoZerDownload::Timing().windowMs, int minMs = 0,
                        int maxMs = 3000, QList<QByteArray> injected = {},
                        int imageLength = 600) {
        QTest::newRow(tag) << faults << injected << result << kinds << blockOffsets << percents
                           << windowMs << minMs << maxMs << imageLength;
    };
    const int error = dudoZerDownload::E_DOWNLOAD_ERR;
    const int done = dudoZerDownload::E_DONE;
    const int timeout = dudoZerDownload::E_TIMEOUT;
    const QList<int> everyBlock{0, 128, 256, 384, 512};
    const QList<int> everyPercent{0, 22, 43, 64, 86};

    // Seven handshakes 200 ms apart, the time-out on the seventh tick.
    SimLoader::Faults silent;
    silent.silent = true;
    row("silent device", silent, timeout, "HHHHHHH", {}, {}, 400, 1300, 3000);
    // The ready reply to the fourth handshake resets the retry budget: once the header is out
    // and the loader silent, six more handshakes precede the time-out, not three.
    SimLoader::Faults late;
    late.answerFromHandshake = 4;
    late.silentAt = Step::Header;
    row("answer from the 4th handshake", late, timeout, "HHHHHRHHHHHH", {}, {}, 400, 3000, 6000);
    // The line closes after two accepted blocks; the timer's rule still ends the download.
    SimLoader::Faults vanish;
    vanish.vanishAfterBlocks = 2;
    row("vanishing device", vanish, timeout, "HHRBBB", {0, 128, 256}, {0, 22}, 400, 2500, 6000);

    SimLoader::Faults block;
    block.wrongAt = Step::Block;
    block.wrongIndex = 2;
    row("ready reply to block 2", block, error, "HHRBB", {0, 128}, {0});
    SimLoader::Faults status = block;
    status.wrongReply = QByteArray::fromHex("A55A42");
    row("unknown status to block 2", status, error, "HHRBB", {0, 128}, {0});
    SimLoader::Faults finish;
    finish.wrongAt = Step::Finish;
    row("accept reply to the finish frame", finish, error, "HHRBBBBBF", everyBlock, everyPercent);
    // Grouping is by count: the stray byte and A5 5A form the group, a mismatch for a block.
    SimLoader::Faults stray;
    stray.strayAt = Step::Block;
    stray.strayIndex = 2;
    stray.strayByte = '\xA5';
    row("stray byte before block 2's reply", stray, error, "HHRBB", {0, 128}, {0});
    // After a ready reply to the header the engine waits for a further ready reply, not an
    // accept reply, and then sends the same header again.
    SimLoader::Faults header;
    header.wrongAt = Step::Header;
    header.wrongReply = Protocol::readyReply();
    row("ready reply to the header", header, done, "HHRRBBBBBF", everyBlock, everyPercent, 10000, 0,
        3000, {Protocol::acceptReply(), Protocol::readyReply()});
    // The window closes, a handshake goes out and the conversation runs again from the rate
    // change. Only the unaccepted block is sent again.
    SimLoader::Faults third;
    third.silentAt = Step::Block;
    third.silentIndex = 3;
    row("block 3 unanswered", third, done, "HHRBBBHHRBBBF", {0, 128, 256, 256, 384, 512},
        everyPercent, 800);
    SimLoader::Faults fifth = third;
    fifth.silentIndex = 5;
    row("block 5 unanswered", fifth, done, "HHRBBBBBHHRBF", {0, 128, 256, 384, 512, 512},
        everyPercent, 800);
    // Handshakes that draw ready replies renew nothing: a loader that refuses every header, or
    // restarts on the same block every time, ends like a silent one after seven windows.
    SimLoader::Faults refusing;
    refusing.wrongAt = Step::Header;
    refusing.wrongEvery = 1;
    row("every header refused", refusing, timeout, QString("HHR").repeated(7), {}, {}, 200, 2300,
        6000);
    SimLoader::Faults restarting = third;
    restarting.silentEvery = 1;
    row("block 3 never answered", restarting, timeout, "HHRBBB" + QString("HHRB").repeated(6),
        {0, 128, 256, 256, 256, 256, 256, 256, 256}, {0, 22}, 200, 2300, 6000);
    // Each accepted block renews the budget: eight stalls with progress between them complete.
    SimLoader::Faults stalling;
    stalling.silentAt = Step::Block;
    stalling.silentIndex = 2;
    stalling.silentEvery = 2;
    row("a stall before every block but the first", stalling, done,
        "HHRB" + QString("BHHRB").repeated(8) + "F",
        {0, 128, 128, 256, 256, 384, 384, 512, 512, 640, 640, 768, 768, 896, 896, 1024, 1024},
        {0, 12, 23, 34, 45, 56, 67, 78, 89}, 300, 3000, 8000, {}, 9 * 128);
}

void tst_Engine::conversation()
{
    QFETCH(SimLoader::Faults, faults);
    QFETCH(QList<QByteArray>, injected);
    QFETCH(int, result);
    QFETCH(QString, kinds);
    QFETCH(QList<int>, blockOffsets);
    QFETCH(QList<int>, percents);
    QFETCH(int, windowMs);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    QFETCH(int, imageLength);

    dudoZerDownload::setTiming({200, windowMs, 200});
    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    const QByteArray image = randomImage(imageLength, 10);
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpuBefore = std::clock();
    QVERIFY(run.start(loader.portName(), image));
    // A loader that answers late falls silent once the first header is out. Bytes injected from
    // then on go one by one, and all but the last draw no answer.
    if (!injected.isEmpty() || faults.answerFromHandshake > 1)
        QVERIFY(waitFor([&] { return loader.count(Frame::Header) > 0; }, 5000));
    if (faults.answerFromHandshake > 1)
        loader.setSilent(true);
    for (int i = 0; i < injected.size(); ++i) {
        const int framesBefore = loader.frames().size();
        loader.inject(injected[i]);
        QTest::qWait(50);
        if (i + 1 < injected.size())
            QCOMPARE(loader.frames().size(), framesBefore);
    }
    QVERIFY(run.waitForResults(1, 10000));
    const qint64 elapsed = clock.elapsed();
    const double cpu = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    QCOMPARE(run.results, QList<int>{result});
    QCOMPARE(run.percents, percents);
    if (result == dudoZerDownload::E_DONE)
        QVERIFY(loader.image() == image);
    QVERIFY2(elapsed >= minMs && elapsed < maxMs, qPrintable(QString::number(elapsed)));
    // Waiting costs next to no processor time, even on a line whose far end is gone.
    QVERIFY2(cpu < 0.25 * elapsed / 1000.0, qPrintable(QString("cpu %1 s").arg(cpu)));

    const QVector<Frame> frames = loader.frames();
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
    // every frame after that, even a handshake that interrupts the data phase, at the fast rate.
    const int userRateFrames = kinds.contains('R') ? kinds.indexOf('R') - 1 : kinds.size();
    for (int i = 0; i < frames.size(); ++i)
        QCOMPARE(frames[i].baud, i < userRateFrames ? UserBaud : Protocol::FastBaudRate);
    for (int i = 1; i < userRateFrames; ++i) {
        const qint64 gapMs = (frames[i].atUs - frames[i - 1].atUs) / 1000;
        QVERIFY2(gapMs > 100 && gapMs < 600, qPrintable(QString::number(gapMs)));
    }
    // Input after the result is ignored: no further result, percent or frame. After a time-out
    // the engine still listens, until its owner lets it go: that closes the port (unless the
    // loader took the line with it) and silences the engine.
    if (result == dudoZerDownload::E_TIMEOUT) {
        run.engine.reset();
        QVERIFY(loader.vanished() || portFree(loader.portName()));
    } else {
        loader.inject(Protocol::readyReply() + Protocol::acceptReply());
    }
    QTest::qWait(150);
    QCOMPARE(run.results.size(), 1);
    QCOMPARE(run.percents, percents);
    QCOMPARE(loader.frames().size(), frames.size());
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
