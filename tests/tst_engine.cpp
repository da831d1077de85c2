#include "download/dudozerdownload.h"
#include "download/protocol.h"
#include "simloader.h"

#include <QRandomGenerator>
#include <QSerialPort>
#include <QtTest>

#include <ctime>
#include <memory>

using Frame = SimLoader::Frame;
using Step = SimLoader::Step;

Q_DECLARE_METATYPE(SimLoader::Faults)

namespace {

const int UserBaud = 9600;

QByteArray randomImage(int size, quint32 seed)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (char &c : image)
        c = char(rng.bounded(256));
    return image;
}

QByteArray headerFor(const QByteArray &image)
{
    return Protocol::headerFrame(0, image.size(), quint16(byteSum(image.constData(), image.size())));
}

QList<int> blockSizes(const QVector<Frame> &frames)
{
    QList<int> sizes;
    for (const Frame &f : frames)
        if (f.kind == Frame::Block)
            sizes << f.bytes.size();
    return sizes;
}

QVector<Frame> framesOf(const QVector<Frame> &frames, Frame::Kind kind)
{
    QVector<Frame> out;
    for (const Frame &f : frames)
        if (f.kind == kind)
            out << f;
    return out;
}

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// One engine as its owner sees it: results and percents in arrival order.
struct EngineRun {
    std::unique_ptr<dudoZerDownload> engine = std::make_unique<dudoZerDownload>();
    QList<int> results;
    QList<int> percents;
    QEventLoop *waiting = nullptr;
    int wanted = 0;

    EngineRun()
    {
        QObject::connect(engine.get(), &dudoZerDownload::backInfo,
                         [this](dudoZerDownload::E_REBACK code) {
                             results << code;
                             if (waiting && results.size() >= wanted)
                                 waiting->quit();
                         });
        QObject::connect(engine.get(), &dudoZerDownload::sendPercent,
                         [this](int percent) { percents << percent; });
    }

    // Runs the event loop until `results` holds `count` entries. QTRY_* would poll at 100 Hz and
    // make every block cost 10 ms.
    bool waitForResults(int count, int timeoutMs)
    {
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        waiting = &loop;
        wanted = count;
        if (results.size() < count)
            loop.exec();
        waiting = nullptr;
        return results.size() == count;
    }

    bool start(const SimLoader &loader, const QByteArray &image, int baud = UserBaud)
    {
        return engine->startDownload(image.size(), 0,
                                     quint16(byteSum(image.constData(), image.size())), image,
                                     loader.portName(), baud);
    }
};

} // namespace

class tst_Engine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void wire_data();
    void wire();
    void silentDevice();
    void lateAnswerGetsFreshBudget();
    void replyGrouping_data();
    void replyGrouping();
    void wrongReplies_data();
    void wrongReplies();
    void headerResentOnlyAfterReady();
    void tickInDataPhase_data();
    void tickInDataPhase();
    void windowRestartsPerBlock();
    void emptyImage();
    void openFailReportedBeforeReturn();
    void destructionClosesPort();
    void vanishingDevice();
    void percentAboveInt32Range();
};

void tst_Engine::init()
{
    dudoZerDownload::setTiming(dudoZerDownload::Timing());
}

void tst_Engine::wire_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("baud");
    QTest::addColumn<QList<int>>("blocks");
    QTest::addColumn<QList<int>>("percents"); // empty: not checked

    QTest::newRow("abc") << QByteArray("abc") << UserBaud << QList<int>{3} << QList<int>{0};
    QTest::newRow("1 byte") << QByteArray(1, '\x5A') << 57600 << QList<int>{1} << QList<int>{0};
    QTest::newRow("100") << randomImage(100, 1) << UserBaud << QList<int>{100} << QList<int>{0};
    QTest::newRow("129") << randomImage(129, 2) << UserBaud << QList<int>{128, 1}
                         << QList<int>{0, 100};
    QTest::newRow("256") << randomImage(256, 3) << 115200 << QList<int>{128, 128}
                         << QList<int>{0, 50};
    QTest::newRow("300 x FF") << QByteArray(300, '\xFF') << UserBaud
                              << QList<int>{128, 128, 44} << QList<int>{0, 43, 86};
    QTest::newRow("1000 x FF") << QByteArray(1000, '\xFF') << UserBaud
                               << QList<int>{128, 128, 128, 128, 128, 128, 128, 104}
                               << QList<int>{0, 13, 26, 39, 52, 64, 77, 90};
    QTest::newRow("127") << randomImage(127, 4) << UserBaud << QList<int>{127} << QList<int>{};
    QTest::newRow("128") << randomImage(128, 5) << UserBaud << QList<int>{128} << QList<int>{};
    const QList<int> full64 = QVector<int>(512, 128).toList();
    QTest::newRow("64 KiB") << randomImage(64 << 10, 6) << UserBaud << full64 << QList<int>{};
    const QList<int> full1M = QVector<int>(8192, 128).toList();
    QTest::newRow("1 MiB") << randomImage(1 << 20, 7) << UserBaud << full1M << QList<int>{};
}

void tst_Engine::wire()
{
    QFETCH(QByteArray, image);
    QFETCH(int, baud);
    QFETCH(QList<int>, blocks);
    QFETCH(QList<int>, percents);

    SimLoader loader;
    QVERIFY(loader.start());
    EngineRun run;
    QVERIFY(run.start(loader, image, baud));
    QVERIFY(run.waitForResults(1, 60000));
    QCOMPARE(run.results, QList<int>{dudoZerDownload::E_DONE});

    // Byte-exact: two handshakes, the header, the image as it stands, the finish frame.
    const QByteArray expected = Protocol::handshakeFrame() + Protocol::handshakeFrame() +
                                headerFor(image) + image + Protocol::finishFrame();
    QCOMPARE(loader.received().size(), expected.size());
    QVERIFY(loader.received() == expected);
    QVERIFY(loader.image() == image);

    const QVector<Frame> frames = loader.frames();
    QCOMPARE(blockSizes(frames), blocks);
    QCOMPARE(run.percents.size(), blocks.size());
    if (!percents.isEmpty())
        QCOMPARE(run.percents, percents);

    // The user's rate only until the first ready reply, the fast rate from then on.
    QCOMPARE(frames.first().kind, Frame::Handshake);
    QCOMPARE(frames.first().baud, baud);
    for (int i = 1; i < frames.size(); ++i)
        QCOMPARE(frames[i].baud, Protocol::FastBaudRate);
}

void tst_Engine::silentDevice()
{
    SimLoader::Faults faults;
    faults.silent = true;
    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(run.start(loader, "abc"));
    QTRY_COMPARE_WITH_TIMEOUT(run.results.size(), 1, 5000);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(run.results.first(), int(dudoZerDownload::E_TIMEOUT));
    QVERIFY2(elapsed >= 1300 && elapsed < 3000, qPrintable(QString::number(elapsed)));

    const QVector<Frame> frames = loader.frames();
    QCOMPARE(frames.size(), 7);
    for (int i = 0; i < frames.size(); ++i) {
        QCOMPARE(frames[i].kind, Frame::Handshake);
        QCOMPARE(frames[i].baud, UserBaud);
        if (i > 0) {
            const qint64 gapMs = (frames[i].atUs - frames[i - 1].atUs) / 1000;
            QVERIFY2(gapMs > 100 && gapMs < 600, qPrintable(QString::number(gapMs)));
        }
    }
}

void tst_Engine::lateAnswerGetsFreshBudget()
{
    // Answers from the fourth handshake, then falls silent once the header is out. The ready
    // reply resets the retry budget, so six more handshakes precede the time-out, not three.
    dudoZerDownload::setTiming({200, 400, 200});
    SimLoader::Faults faults;
    faults.answerFromHandshake = 4;
    faults.silentAt = Step::Header;
    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    QVERIFY(run.start(loader, "abc"));
    QTRY_COMPARE_WITH_TIMEOUT(loader.count(Frame::Header), 1, 5000);
    loader.setSilent(true);
    QTRY_COMPARE_WITH_TIMEOUT(run.results.size(), 1, 10000);
    QCOMPARE(run.results.first(), int(dudoZerDownload::E_TIMEOUT));

    const QVector<Frame> frames = loader.frames();
    QCOMPARE(framesOf(frames, Frame::Handshake).size(), 4 + 1 + 6);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(frames[i].baud, UserBaud);
    QCOMPARE(frames[5].kind, Frame::Header);
    for (int i = 6; i < frames.size(); ++i) {
        QCOMPARE(frames[i].kind, Frame::Handshake);
        QCOMPARE(frames[i].baud, Protocol::FastBaudRate);
    }
}

void tst_Engine::replyGrouping_data()
{
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("blocksSent");

    SimLoader::Faults pieces;
    pieces.replyPieces = 2;
    QTest::newRow("every reply as 1 + 2 bytes") << pieces << int(dudoZerDownload::E_DONE) << 3;
    SimLoader::Faults slow;
    slow.replyDelayMs = 30;
    QTest::newRow("slow replies") << slow << int(dudoZerDownload::E_DONE) << 3;
    // Grouping is by count: the stray byte and A5 5A form the group, a mismatch for a block.
    SimLoader::Faults stray;
    stray.strayAt = Step::Block;
    stray.strayIndex = 2;
    stray.strayByte = '\xA5';
    QTest::newRow("stray byte before block 2's reply")
        << stray << int(dudoZerDownload::E_DOWNLOAD_ERR) << 2;
}

void tst_Engine::replyGrouping()
{
    QFETCH(SimLoader::Faults, faults);
    QFETCH(int, result);
    QFETCH(int, blocksSent);

    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    const QByteArray image(300, '\xFF');
    QVERIFY(run.start(loader, image));
    QTRY_COMPARE_WITH_TIMEOUT(run.results, QList<int>{result}, 5000);
    QCOMPARE(loader.count(Frame::Block), blocksSent);
    if (result == dudoZerDownload::E_DONE)
        QVERIFY(loader.image() == image);
}

void tst_Engine::wrongReplies_data()
{
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<int>("blocksSent");
    QTest::addColumn<int>("finishSent");

    SimLoader::Faults block;
    block.wrongAt = Step::Block;
    block.wrongIndex = 2;
    QTest::newRow("ready reply to block 2") << block << 2 << 0;
    SimLoader::Faults garbage = block;
    garbage.wrongReply = QByteArray::fromHex("A55A42");
    QTest::newRow("unknown status to block 2") << garbage << 2 << 0;
    SimLoader::Faults finish;
    finish.wrongAt = Step::Finish;
    QTest::newRow("accept reply to the finish frame") << finish << 3 << 1;
}

void tst_Engine::wrongReplies()
{
    QFETCH(SimLoader::Faults, faults);
    QFETCH(int, blocksSent);
    QFETCH(int, finishSent);

    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    QVERIFY(run.start(loader, QByteArray(300, '\xFF')));
    QTRY_COMPARE_WITH_TIMEOUT(run.results, QList<int>{dudoZerDownload::E_DOWNLOAD_ERR}, 5000);
    QCOMPARE(loader.count(Frame::Block), blocksSent);
    QCOMPARE(loader.count(Frame::Finish), finishSent);

    // Input after the result is ignored: no further result, percent or frame.
    const int framesBefore = loader.frames().size();
    const int percentsBefore = run.percents.size();
    loader.inject(Protocol::readyReply() + Protocol::acceptReply());
    QTest::qWait(300);
    QCOMPARE(run.results.size(), 1);
    QCOMPARE(run.percents.size(), percentsBefore);
    QCOMPARE(loader.frames().size(), framesBefore);
}

void tst_Engine::headerResentOnlyAfterReady()
{
    SimLoader::Faults faults;
    faults.wrongAt = Step::Header;
    faults.wrongReply = Protocol::readyReply();
    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    const QByteArray image = randomImage(200, 9);
    QVERIFY(run.start(loader, image));
    QTRY_COMPARE_WITH_TIMEOUT(loader.count(Frame::Header), 1, 5000);

    // An accept reply now is not the ready reply the engine waits for: nothing is re-sent.
    loader.inject(Protocol::acceptReply());
    QTest::qWait(300);
    QCOMPARE(loader.count(Frame::Header), 1);
    QCOMPARE(loader.count(Frame::Block), 0);

    loader.inject(Protocol::readyReply());
    QTRY_COMPARE_WITH_TIMEOUT(run.results, QList<int>{dudoZerDownload::E_DONE}, 5000);
    const QVector<Frame> headers = framesOf(loader.frames(), Frame::Header);
    QCOMPARE(headers.size(), 2);
    QCOMPARE(headers[1].bytes, headers[0].bytes);
    QCOMPARE(headers[0].bytes, headerFor(image));
    QVERIFY(loader.image() == image);
}

void tst_Engine::tickInDataPhase_data()
{
    QTest::addColumn<int>("silentAt");
    QTest::addColumn<int>("silentIndex");
    QTest::addColumn<QString>("kinds");
    QTest::addColumn<QList<int>>("blockOffsets");
    QTest::addColumn<QList<int>>("percents");
    // The window closes, a handshake goes out and the conversation runs again from the rate
    // change. Only the unaccepted block is sent again.
    QTest::newRow("block 3 unanswered")
        << int(Step::Block) << 3 << "HHRBBBHHRBBBF" << QList<int>{0, 128, 256, 256, 384, 512}
        << QList<int>{0, 22, 43, 64, 86};
    QTest::newRow("block 5 unanswered")
        << int(Step::Block) << 5 << "HHRBBBBBHHRBF" << QList<int>{0, 128, 256, 384, 512, 512}
        << QList<int>{0, 22, 43, 64, 86};
}

void tst_Engine::tickInDataPhase()
{
    QFETCH(int, silentAt);
    QFETCH(int, silentIndex);
    QFETCH(QString, kinds);
    QFETCH(QList<int>, blockOffsets);
    QFETCH(QList<int>, percents);

    dudoZerDownload::setTiming({200, 500, 200});
    SimLoader::Faults faults;
    faults.silentAt = Step(silentAt);
    faults.silentIndex = silentIndex;
    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    const QByteArray image = randomImage(600, 10);
    QVERIFY(run.start(loader, image));
    QVERIFY(run.waitForResults(1, 10000));
    QCOMPARE(run.results, QList<int>{dudoZerDownload::E_DONE});

    const QVector<Frame> frames = loader.frames();
    QString actual;
    for (const Frame &f : frames)
        actual += "HRBF?"[f.kind];
    QCOMPARE(actual, kinds);
    const QVector<Frame> blocks = framesOf(frames, Frame::Block);
    QCOMPARE(blocks.size(), blockOffsets.size());
    for (int i = 0; i < blocks.size(); ++i)
        QCOMPARE(blocks[i].bytes, image.mid(blockOffsets[i], 128));
    const QVector<Frame> headers = framesOf(frames, Frame::Header);
    QCOMPARE(headers[1].bytes, headers[0].bytes);
    QCOMPARE(run.percents, percents);
    QVERIFY(loader.image() == image);
    // The handshake that interrupts the data phase travels at the fast rate.
    QCOMPARE(frames[kinds.indexOf("HHR", 1)].baud, Protocol::FastBaudRate);
}

void tst_Engine::windowRestartsPerBlock()
{
    // A healthy data phase that lasts several windows must not be interrupted.
    dudoZerDownload::setTiming({200, 300, 200});
    SimLoader::Faults faults;
    faults.throttleBaud = 115200;
    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    const QByteArray image = randomImage(16 << 10, 11); // about 1.5 s on the line
    QVERIFY(run.start(loader, image));
    QTRY_COMPARE_WITH_TIMEOUT(run.results, QList<int>{dudoZerDownload::E_DONE}, 20000);
    QCOMPARE(loader.count(Frame::Handshake), 2);
    QVERIFY(loader.image() == image);
}

void tst_Engine::emptyImage()
{
    SimLoader loader;
    QVERIFY(loader.start());
    EngineRun run;
    QVERIFY(run.start(loader, QByteArray()));
    QTRY_COMPARE_WITH_TIMEOUT(run.results, QList<int>{dudoZerDownload::E_DONE}, 5000);
    QVERIFY(run.percents.isEmpty());
    QCOMPARE(loader.received(), Protocol::handshakeFrame() + Protocol::handshakeFrame() +
                                    headerFor(QByteArray()) + Protocol::finishFrame());
}

void tst_Engine::openFailReportedBeforeReturn()
{
    dudoZerDownload engine;
    bool returned = false;
    QList<int> seen;
    connect(&engine, &dudoZerDownload::backInfo, this, [&](dudoZerDownload::E_REBACK code) {
        QVERIFY(!returned);
        seen << code;
    });
    const bool ok =
        engine.startDownload(3, 0, 294, "abc", "/dev/lumedra-no-such-port", UserBaud);
    returned = true;
    QVERIFY(!ok);
    QCOMPARE(seen, QList<int>{dudoZerDownload::E_OPEN_FAIL});
    // Nothing was started: no timer ticks into a time-out later.
    QTest::qWait(500);
    QCOMPARE(seen.size(), 1);
}

void tst_Engine::destructionClosesPort()
{
    SimLoader::Faults faults;
    faults.silent = true;
    SimLoader loader(faults);
    QVERIFY(loader.start());
    auto run = std::make_unique<EngineRun>();
    QVERIFY(run->start(loader, "abc"));
    QTRY_COMPARE_WITH_TIMEOUT(loader.count(Frame::Handshake), 1, 2000);
    run.reset();

    QSerialPort port(loader.portName());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    port.close();
    QTest::qWait(500);
    QCOMPARE(loader.count(Frame::Handshake), 1);
}

void tst_Engine::vanishingDevice()
{
    dudoZerDownload::setTiming({200, 300, 200});
    SimLoader::Faults faults;
    faults.vanishAfterBlocks = 2;
    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    QVERIFY(run.start(loader, randomImage(1000, 12)));
    QTRY_VERIFY_WITH_TIMEOUT(loader.vanished(), 5000);

    // While it waits for the timer the process must stay near idle, not spin on the dead line.
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.results, QList<int>{dudoZerDownload::E_TIMEOUT}, 10000);
    const double cpu = cpuSeconds() - cpuBefore;
    const qint64 waitedMs = clock.elapsed();
    QVERIFY2(waitedMs > 1500, qPrintable(QString::number(waitedMs)));
    QVERIFY2(cpu < 0.25 * waitedMs / 1000.0, qPrintable(QString("cpu %1 s").arg(cpu)));
    QCOMPARE(run.percents, (QList<int>{0, 13}));
}

void tst_Engine::percentAboveInt32Range()
{
    // remaining * 100 leaves the 32-bit range above 21,474,836 bytes.
    const int size = 24 << 20;
    SimLoader::Faults faults;
    faults.recordBlocks = false;
    SimLoader loader(faults);
    QVERIFY(loader.start());
    EngineRun run;
    const QByteArray image = randomImage(size, 13);
    QVERIFY(run.start(loader, image, 115200));
    QVERIFY(run.waitForResults(1, 120000));
    QCOMPARE(run.results, QList<int>{dudoZerDownload::E_DONE});
    QCOMPARE(run.percents.size(), size / 128);
    qint64 remaining = size;
    for (int i = 0; i < run.percents.size(); ++i, remaining -= 128) {
        const int expected = int(100 - remaining * 100 / size);
        if (run.percents[i] != expected)
            QFAIL(qPrintable(QString("block %1: %2, expected %3")
                                 .arg(i).arg(run.percents[i]).arg(expected)));
    }
    QVERIFY(loader.image() == image);
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
