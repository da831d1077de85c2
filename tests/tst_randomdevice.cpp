#include "download/protocol.h"
#include "testing/kit/enginerun.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"

#include <QtTest>

#include <QLoggingCategory>

#include <iterator>

namespace
{

// Each run draws its image and its loader's behaviour from its own seed, named in the data tag.
// LUMEDRA_RUNS=k runs k seeds from the first (LUMEDRA_SEED=n, or the master seed) on, so
// LUMEDRA_SEED=n LUMEDRA_RUNS=1 replays run n alone.
constexpr uint MasterSeed = 20240611;
constexpr int DefaultRuns = 180;
constexpr uint KnownSeeds[] = {20241431}; // beyond the default runs; once hung the engine
constexpr char FrameStart = Protocol::HostPrefix[0];
constexpr dudoZerDownload::Timing FastTiming{40, 100, 5};
// Replies, delay and the gaps between at most three pieces included, come well within a tick.
const int MaxDelayMs = FastTiming.tickMs / 2 - 2 * SimLoader::Faults().pieceGapMs;

struct Plan {
    bool faulty = false; // the loader may answer wrongly or not at all, or vanish
    QByteArray image;
    SimLoader::Faults faults;
};

Plan planFor(uint seed)
{
    QRandomGenerator rng(seed);
    Plan plan;
    const int kind = rng.bounded(100); // below 25 a behaved loader, below 40 a slow one
    const int edges[] = {0, 1, 127, 128, 129, 256, 257};
    plan.image.resize(rng.bounded(5) == 0 ? edges[rng.bounded(int(std::size(edges)))]
                                          : rng.bounded(2001));
    for (char &byte : plan.image) { // without 5A, every 5A in the host's stream opens a frame
        const int value = rng.bounded(255);
        byte = char(value < uchar(FrameStart) ? value : value + 1);
    }
    SimLoader::Faults &f = plan.faults;
    f.chaos.seed = rng.generate();
    if (kind < 25)
        return plan;
    f.chaos.percentSplit = rng.bounded(60);
    f.chaos.percentDelay = rng.bounded(60);
    f.chaos.maxDelayMs = 1 + rng.bounded(MaxDelayMs);
    if (kind < 40)
        return plan;
    plan.faulty = true;
    f.chaos.percentWrong = rng.bounded(8);
    f.chaos.percentSilent = rng.bounded(8);
    f.chaos.percentVanish = rng.bounded(3);
    if (rng.bounded(2) == 0) { // the other half keep every reply three bytes long
        f.chaos.percentGarbage = rng.bounded(8);
        f.chaos.percentStray = rng.bounded(10);
    }
    // Some refuse every header, or restart on the same block every time.
    const int stuck = rng.bounded(10);
    if (stuck == 0) {
        f.wrongAt = SimLoader::Step::Header;
        f.wrongEvery = 1;
    } else if (stuck == 1) {
        f.silentAt = SimLoader::Step::Block;
        f.silentIndex = 1 + rng.bounded(8);
        f.silentEvery = 1;
    }
    return plan;
}

// Steps in the host's stream that each consumed a reply of its own: advances (a block followed
// by a block or the finish frame), accepts (advances and headers so followed) and readies (two
// per header after a handshake, one per repeated header).
struct Steps {
    int advances = 0, accepts = 0, readies = 0;
};

// Walks every byte the host sent: handshake, header and finish frames, and data blocks, each
// the image's first bytes not yet accepted. With `cutShort`, the stream may end inside a frame.
// Returns what broke, or an empty string.
QString checkStream(const QByteArray &stream, const QByteArray &image, bool cutShort, Steps *steps)
{
    enum Token { None, Handshake, Header, Block, Finish };
    Token previous = None;
    int accepted = 0, blockLength = 0;
    for (int at = 0; at < stream.size();) {
        const char command = at + 2 < stream.size() ? stream[at + 2] : Protocol::CmdHandshake;
        const Token token = stream[at] != FrameStart         ? Block
                            : command == Protocol::CmdHeader ? Header
                            : command == Protocol::CmdFinish ? Finish
                                                             : Handshake;
        const QString where = QString::asprintf("byte %d, token %d after %d, %d of %d accepted", at,
                                                token, previous, accepted, image.size());
        // A handshake may come at any time, a header after a handshake or a header (which got a
        // ready reply), a block or the finish frame after the header or a block.
        if (token != Handshake && (token == Header ? previous != Handshake && previous != Header
                                                   : previous != Header && previous != Block))
            return where;
        const bool data = token == Block || token == Finish;
        if (previous == Block && data) {
            accepted += blockLength;
            ++steps->advances;
        }
        steps->accepts += data;
        steps->readies += token != Header ? 0 : previous == Header ? 1 : 2;
        if (token == Block)
            blockLength = Protocol::blockLength(image.size() - accepted);
        if ((token == Block && blockLength == 0) || (token == Finish && accepted != image.size()))
            return where;
        const QByteArray expected = token == Block    ? image.mid(accepted, blockLength)
                                    : token == Header ? headerFor(image)
                                    : token == Finish ? Protocol::finishFrame()
                                                      : Protocol::handshakeFrame();
        const QByteArray got = stream.mid(at, expected.size());
        if (got != expected)
            return cutShort && got.size() < expected.size() && expected.startsWith(got)
                       ? QString()
                       : where + ": got " + got.left(16).toHex();
        at += expected.size();
        previous = token;
    }
    return QString();
}

// Whether the host kept to the test's pace: each frame that drew the reply the engine waits for
// was followed by the next within a tick, and not read at once with it (the next frame then went
// out before the reply did). A thread of the test held up longer, on a busy machine, lets the
// engine's window pass with the reply on its way; the engine then takes later replies for earlier
// ones, as after a line that lost one, and "done" proves nothing about what the loader holds.
bool keptPace(const QVector<SimLoader::Frame> &frames)
{
    constexpr qint64 UsPerMs = 1000;
    for (int i = 0; i + 1 < frames.size(); ++i) {
        const SimLoader::Frame &frame = frames[i];
        const bool acceptAwaited =
            frame.kind == SimLoader::Frame::Header || frame.kind == SimLoader::Frame::Block;
        if (frame.reply != (acceptAwaited ? Protocol::acceptReply() : Protocol::readyReply()))
            continue;
        const qint64 gapUs = frames[i + 1].atUs - frame.atUs;
        if (gapUs == 0 || gapUs >= FastTiming.tickMs * UsPerMs)
            return false;
    }
    return true;
}

} // namespace

class tst_RandomDevice : public QObject
{
    Q_OBJECT

private slots:
    void downloads_data();
    void downloads();
};

void tst_RandomDevice::downloads_data()
{
    dudoZerDownload::setTiming(FastTiming);
    // Thousands of engine log lines.
    QLoggingCategory::setFilterRules(
        QStringLiteral("%1.debug=false").arg(engineLog().categoryName()));
    QTest::addColumn<uint>("seed");
    bool ok = false;
    const uint first = qEnvironmentVariable("LUMEDRA_SEED").toUInt(&ok);
    QList<uint> seeds(std::begin(KnownSeeds), std::end(KnownSeeds));
    const int runs = qEnvironmentVariableIntValue("LUMEDRA_RUNS");
    for (int i = 0; i < (runs > 0 ? runs : DefaultRuns); ++i)
        seeds << (ok ? first : MasterSeed) + i;
    for (const uint seed : seeds)
        QTest::addRow("seed %u", seed) << seed;
}

void tst_RandomDevice::downloads()
{
    QFETCH(uint, seed);
    const Plan plan = planFor(seed);
    const QByteArray &image = plan.image;
    SimLoader loader(plan.faults);
    QVERIFY(loader.start());
    EngineRun owner;
    QVERIFY(owner.start(loader.portName(), image));
    // Far beyond the longest run (seven windows of time-out): a download still going is hung.
    QVERIFY2(owner.waitForResult(10000), "no result in time");
    // The owner lets the engine go at its first result, as the window does, which closes the
    // port at once. The engine's stream ends where the loader sees the line close: the terminal is
    // free from then on, for any program on the machine that opens it by its name.
    owner.engine.reset();
    QVERIFY(waitFor([&] { return loader.hangups() > 0 || loader.vanished(); }, 2000));
    const QByteArray stream = loader.received();
    const QVector<SimLoader::Frame> frames = loader.frames();

    const int result = owner.results.constFirst();
    const bool done = result == dudoZerDownload::E_DONE;
    QVERIFY(done || result == dudoZerDownload::E_DOWNLOAD_ERR ||
            result == dudoZerDownload::E_TIMEOUT);
    const bool inTime = keptPace(frames);
    QVERIFY(done || plan.faulty || !inTime);
    // Grouping is by count alone: after a reply of another length (garbage, a stray byte) whole
    // groups can stay queued, the engine then takes stale replies for fresh ones, and "done"
    // proves nothing about what the loader holds.
    QByteArray replies;
    bool oneGroupEach = true;
    for (const SimLoader::Frame &frame : frames) {
        replies += frame.reply;
        oneGroupEach &= frame.reply.isEmpty() || frame.reply.size() == Protocol::ReplyLength;
    }
    QVERIFY(!done || !oneGroupEach || !inTime || loader.image() == image);

    Steps steps;
    const QString broken = checkStream(stream, image, loader.vanished(), &steps);
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
    // The engine reads the loader's bytes three at a time, in order, skipping none, so the
    // groups must hold a reply of the right kind for every step that needed one.
    int readies = 0, accepts = 0;
    for (int at = 0; at + Protocol::ReplyLength <= replies.size(); at += Protocol::ReplyLength) {
        readies += replies.mid(at, Protocol::ReplyLength) == Protocol::readyReply();
        accepts += replies.mid(at, Protocol::ReplyLength) == Protocol::acceptReply();
    }
    QVERIFY(accepts >= steps.accepts && readies >= steps.readies + int(done));

    // The k-th accepted block is the one at 128 * k; a block or the finish frame follows each
    // acceptance at once, unless the loader vanished before reading it.
    for (int k = 0; k < owner.percents.size(); ++k)
        QCOMPARE(owner.percents[k],
                 100 - (image.size() - k * Protocol::MaxBlockLength) * 100 / image.size());
    QVERIFY(steps.advances == owner.percents.size() ||
            (loader.vanished() && steps.advances < owner.percents.size()));
}

QTEST_GUILESS_MAIN(tst_RandomDevice)
#include "tst_randomdevice.moc"
