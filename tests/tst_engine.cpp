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
    void download_data();
    void download();
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
    QTest::addColumn<int>("accepted"); // blocks; -1: all
    QTest::addColumn<QList<int>>("timing"); // reply window, least and most milliseconds taken
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
    SimLoader::Faults pieces;
    pieces.replyPieces = 2;
    clean("every reply as 1 + 2 bytes", ff300, UserBaud, pieces);
    // About 1.5 s on the line: every accepted block restarts the reply window.
    SimLoader::Faults line;
    line.throttleBaud = 115200;
    clean("16 KiB on a slow line", randomImage(16 << 10, 11), UserBaud, line);
    // remaining * 100 leaves the 32-bit range above 21,474,836 bytes.
    SimLoader::Faults unrecorded;
    unrecorded.recordBlocks = false;
    clean("24 MiB", randomImage(24 << 20, 13), 115200, unrecorded);
    clean("1 stale byte", ff300, UserBaud, {}, "\xA5");
    clean("2 stale bytes", ff300, UserBaud, {}, "\xA5\x5A");
    // Low latency while the download holds the port, the adapter's own setting back after.
    clean("adapter", ff300, UserBaud, {}, {}, ASYNC_SKIP_TEST);
    clean("adapter already fast", ff300, UserBaud, {}, {}, ASYNC_LOW_LATENCY);

    const int error = dudoZerDownload::E_DOWNLOAD_ERR;
    const int done = dudoZerDownload::E_DONE;
    const int timeout = dudoZerDownload::E_TIMEOUT;
    const QList<int> everyBlock{0, 128, 256, 384, 512};
    // Seven handshakes 200 ms apart, the time-out on the seventh tick.
    SimLoader::Faults silent;
    silent.silent = true;
    row("silent device", silent, timeout, "HHHHHHH", {}, 0, {400, 1300, 3000});
    // The ready reply to the fourth handshake resets the retry budget: once the header is refused
    // and the loader silent, six more handshakes precede the time-out, not three.
    SimLoader::Faults late;
    late.answerFromHandshake = 4;
    late.wrongAt = Step::Header;
    late.silentAt = Step::Handshake;
    late.silentIndex = 6;
    late.silentEvery = 1;
    row("answer from the 4th handshake", late, timeout, "HHHHHRHHHHHH", {}, 0, {400, 3000, 6000});
    // The line closes after two accepted blocks; the timer's rule still ends the download.
    SimLoader::Faults vanish;
    vanish.vanishAfterBlocks = 2;
    row("vanishing device", vanish, timeout, "HHRBBB", {0, 128, 256}, 2, {400, 2500, 6000});

    SimLoader::Faults block;
    block.wrongAt = Step::Block;
    block.wrongIndex = 2;
    row("ready reply to block 2", block, error, "HHRBB", {0, 128}, 1);
    SimLoader::Faults status = block;
    status.wrongReply = QByteArray::fromHex("A55A42");
    row("unknown status to block 2", status, error, "HHRBB", {0, 128}, 1);
    SimLoader::Faults finish;
    finish.wrongAt = Step::Finish;
    row("accept reply to the finish frame", finish, error, "HHRBBBBBF", everyBlock, 5);
    // Grouping is by count: the stray byte and A5 5A form the group, a mismatch for a block.
    SimLoader::Faults stray;
    stray.strayAt = Step::Block;
    stray.strayIndex = 2;
    stray.strayByte = '\xA5';
    row("stray byte before block 2's reply", stray, error, "HHRBB", {0, 128}, 1);
    // After a ready reply to the header the engine waits for a further ready reply, not an
    // accept reply, and then sends the same header again.
    SimLoader::Faults header;
    header.wrongAt = Step::Header;
    header.wrongReply = Protocol::readyReply();
    row("ready reply to the header", header, done, "HHRRBBBBBF", everyBlock, 5, {1000, 0, 3000},
        600, {Protocol::acceptReply(), Protocol::readyReply()});
    // The window closes, a handshake goes out and the conversation runs again from the rate
    // change. Only the unaccepted block is sent again, the short last one too.
    SimLoader::Faults third;
    third.silentAt = Step::Block;
    third.silentIndex = 3;
    row("block 3 unanswered", third, done, "HHRBBBHHRBBBF", {0, 128, 256, 256, 384, 512}, 5,
        {800, 0, 3000});
    SimLoader::Faults fifth = third;
    fifth.silentIndex = 5;
    row("block 5 unanswered", fifth, done, "HHRBBBBBHHRBF", {0, 128, 256, 384, 512, 512}, 5,
        {800, 0, 3000});
    // Handshakes that draw ready replies renew nothing: a loader that refuses every header, or
    // restarts on the same block every time, ends like a silent one after seven windows.
    SimLoader::Faults refusing;
    refusing.wrongAt = Step::Header;
    refusing.wrongEvery = 1;
    row("every header refused", refusing, timeout, QString("HHR").repeated(7), {}, 0,
        {200, 2300, 6000});
    SimLoader::Faults restarting = third;
    restarting.silentEvery = 1;
    row("block 3 never answered", restarting, timeout, "HHRBBB" + QString("HHRB").repeated(6),
        {0, 128, 256, 256, 256, 256, 256, 256, 256}, 2, {200, 2300, 6000});
    // Each accepted block renews the budget: eight stalls with progress between them complete.
    SimLoader::Faults stalling;
    stalling.silentAt = Step::Block;
    stalling.silentIndex = 2;
    stalling.silentEvery = 2;
    row("a stall before every block but the first", stalling, done,
        "HHRB" + QString("BHHRB").repeated(8) + "F",
        {0, 128, 128, 256, 256, 384, 384, 512, 512, 640, 640, 768, 768, 896, 896, 1024, 1024}, 9,
        {300, 3000, 8000}, 9 * 128);
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

    dudoZerDownload::setTiming({200, timing[0], 200});
    SimLoader loader(faults);
    QVERIFY(loader.start());
    loader.inject(junk);
    Adapter::on = adapterFlags >= 0;
    Adapter::flags = adapterFlags;
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
    if (Adapter::on) {
        QCOMPARE(Adapter::flags, adapterFlags | ASYNC_LOW_LATENCY);
        run.engine.reset();
        QCOMPARE(Adapter::flags, adapterFlags);
        Adapter::on = false;
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
            QCOMPARE(frames[i].baud, i == 0 ? baud : Protocol::FastBaudRate);
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
    QCOMPARE(run.percents.size(), accepted);
    QCOMPARE(loader.frames().size(), frames.size());
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
