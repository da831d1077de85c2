#include "download/dudozerdownload.h"
#include "download/protocol.h"
#include "simloader.h"

#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QtTest>

#include <functional>
#include <iterator>

namespace {

// Each run draws its image and its loader's behaviour from its own seed; LUMEDRA_SEED=n replays
// run n alone, LUMEDRA_RUNS=k runs k seeds from the master seed on.
constexpr uint MasterSeed = 20240611;
constexpr int DefaultRuns = 180;
constexpr int UserBaud = 9600;
constexpr int MaxImageLength = 2000;
constexpr char HostFrameStart = Protocol::HostPrefix[0];
constexpr dudoZerDownload::Timing FastTiming{40, 80, 5};
// Replies, delay and the gaps between at most three pieces included, come well within a
// handshake tick, so a tick never crosses a reply that is on its way.
const int MaxDelayMs = FastTiming.tickMs / 2 - 2 * SimLoader::Faults().pieceGapMs;
constexpr int PollMs = 5;
// Far beyond the longest run seen; a download still going then counts as hung.
constexpr int RunLimitMs = 20000;
constexpr int LineCloseMs = 2000;

enum class Kind { Behaved, Slow, Faulty };

struct Plan {
    Kind kind = Kind::Behaved;
    QByteArray image;
    SimLoader::Faults faults;
};

Plan planFor(uint seed)
{
    QRandomGenerator rng(seed);
    Plan plan;
    const int kind = rng.bounded(100);
    plan.kind = kind < 25 ? Kind::Behaved : kind < 40 ? Kind::Slow : Kind::Faulty;
    const int edges[] = {0, 1, 127, 128, 129, 256, 257};
    const int length = rng.bounded(5) == 0 ? edges[rng.bounded(int(std::size(edges)))]
                                           : rng.bounded(MaxImageLength + 1);
    plan.image.resize(length);
    for (char &byte : plan.image) {
        // Without 5A in the image, every 5A in the host's stream opens a frame.
        const int value = rng.bounded(255);
        byte = char(value < uchar(HostFrameStart) ? value : value + 1);
    }
    SimLoader::Chaos &chaos = plan.faults.chaos;
    chaos.seed = rng.generate();
    if (plan.kind == Kind::Behaved)
        return plan;
    chaos.percentSplit = rng.bounded(60);
    chaos.percentDelay = rng.bounded(60);
    chaos.maxDelayMs = 1 + rng.bounded(MaxDelayMs);
    if (plan.kind == Kind::Slow)
        return plan;
    chaos.percentWrong = rng.bounded(8);
    chaos.percentSilent = rng.bounded(8);
    chaos.percentVanish = rng.bounded(3);
    // Half the faulty loaders keep every reply three bytes long.
    if (rng.bounded(2) == 0) {
        chaos.percentGarbage = rng.bounded(8);
        chaos.percentStray = rng.bounded(10);
    }
    return plan;
}

QString describe(uint seed, const Plan &plan)
{
    const SimLoader::Chaos &c = plan.faults.chaos;
    const char *kinds[] = {"behaved", "slow", "faulty"};
    return QString::asprintf(
        "LUMEDRA_SEED=%u: %d bytes, %s loader (split %d%%, delay %d%% up to "
        "%d ms, wrong %d%%, garbage %d%%, silent %d%%, vanish %d%%, stray %d%%)",
        seed, plan.image.size(), kinds[int(plan.kind)], c.percentSplit, c.percentDelay,
        c.maxDelayMs, c.percentWrong, c.percentGarbage, c.percentSilent, c.percentVanish,
        c.percentStray);
}

// Runs the event loop until `done` holds; false after totalMs, or once `activity` has not changed
// for quietMs.
bool waitFor(
    const std::function<bool()> &done, int totalMs, int quietMs,
    const std::function<qint64()> &activity = [] { return qint64(0); })
{
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer total;
    QElapsedTimer quiet;
    qint64 seen = activity();
    bool ok = done();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if ((ok = done()) || total.hasExpired(totalMs) || quiet.hasExpired(quietMs))
            loop.quit();
        if (activity() != seen) {
            seen = activity();
            quiet.restart();
        }
    });
    total.start();
    quiet.start();
    poll.start(PollMs);
    if (!ok)
        loop.exec();
    return ok;
}

// The engine's owner, as the window is: the first result ends the download, the owner lets the
// engine go and has it deleted once control has left it; what it says after that is ignored.
struct Owner {
    QObject context; // takes the connections down with the owner
    dudoZerDownload *current;
    QList<int> results;  // received while the engine was the current one
    QList<int> percents; // all the engine emitted, up to its destruction
    bool destroyed = false;

    explicit Owner(dudoZerDownload *engine) : current(engine)
    {
        QObject::connect(engine, &dudoZerDownload::backInfo, &context,
                         [this, engine](dudoZerDownload::E_REBACK code) {
                             if (current != engine)
                                 return;
                             results << code;
                             current = nullptr;
                             engine->deleteLater();
                         });
        QObject::connect(engine, &dudoZerDownload::sendPercent, &context,
                         [this](int percent) { percents << percent; });
        QObject::connect(engine, &QObject::destroyed, &context, [this] { destroyed = true; });
    }
    ~Owner() { delete current; }
};

// Steps in the host's stream that each consumed a reply of its own.
struct Steps {
    int advances = 0; // a block followed by the next block or the finish frame: it was accepted
    int accepts = 0;  // advances, and headers followed by a block or the finish frame
    int readies = 0;  // two per header after a handshake (baud change, fast handshake), one per
                      // repeated header
};

// Walks every byte the host sent: handshake, header and finish frames, and data blocks, each of
// which must be the image's first bytes not yet accepted. With `cutShort`, the stream may end
// inside a frame. Returns what broke, or an empty string.
QString checkStream(const QByteArray &stream, const QByteArray &image, bool cutShort, Steps *steps)
{
    enum Token { None, Handshake, Header, Block, Finish };
    const QByteArray header =
        Protocol::headerFrame(0, image.size(), quint16(byteSum(image.constData(), image.size())));
    Token previous = None;
    int accepted = 0;
    int blockLength = 0;
    *steps = Steps();
    for (int at = 0; at < stream.size();) {
        Token token = Block;
        QByteArray expected;
        if (stream[at] == HostFrameStart) {
            const char command = at + 2 < stream.size() ? stream[at + 2] : Protocol::CmdHandshake;
            token = command == Protocol::CmdHeader   ? Header
                    : command == Protocol::CmdFinish ? Finish
                                                     : Handshake;
            expected = token == Header   ? header
                       : token == Finish ? Protocol::finishFrame()
                                         : Protocol::handshakeFrame();
        }
        if (previous == None && token != Handshake)
            return QString("byte %1: the host did not begin with a handshake").arg(at);
        if (token == Header && previous != Handshake && previous != Header)
            return QString("byte %1: header frame after neither handshake nor header").arg(at);
        if ((token == Block || token == Finish) && previous != Header && previous != Block)
            return QString("byte %1: data phase without a header frame").arg(at);
        const bool dataFollows = token == Block || token == Finish;
        if (previous == Block && dataFollows) {
            accepted += blockLength;
            ++steps->advances;
        }
        steps->accepts += dataFollows;
        steps->readies += token != Header ? 0 : previous == Header ? 1 : 2;
        if (token == Block) {
            if (accepted >= image.size())
                return QString("byte %1: block after the whole image was accepted").arg(at);
            blockLength = Protocol::blockLength(image.size() - accepted);
            expected = image.mid(accepted, blockLength);
        }
        if (token == Finish && accepted != image.size())
            return QString::asprintf("byte %d: finish frame with %d of %d bytes accepted", at,
                                     accepted, image.size());
        const QByteArray got = stream.mid(at, expected.size());
        if (got != expected) {
            if (cutShort && got.size() < expected.size() && expected.startsWith(got))
                break;
            return QString::asprintf("byte %d: got %s, expected %s (offset %d)", at,
                                     got.left(16).toHex().constData(),
                                     expected.left(16).toHex().constData(), accepted);
        }
        at += expected.size();
        previous = token;
    }
    return QString();
}

} // namespace

class tst_RandomDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void downloads_data();
    void downloads();
};

void tst_RandomDevice::initTestCase()
{
    dudoZerDownload::setTiming(FastTiming);
    // Thousands of engine log lines would bury the report.
    QLoggingCategory::setFilterRules("default.debug=false");
}

void tst_RandomDevice::downloads_data()
{
    QTest::addColumn<uint>("seed");
    bool ok = false;
    const uint only = qEnvironmentVariable("LUMEDRA_SEED").toUInt(&ok);
    if (ok) {
        QTest::addRow("seed %u", only) << only;
        return;
    }
    const int runs = qEnvironmentVariableIntValue("LUMEDRA_RUNS", &ok);
    for (int i = 0; i < (ok && runs > 0 ? runs : DefaultRuns); ++i)
        QTest::addRow("seed %u", MasterSeed + i) << MasterSeed + i;
}

void tst_RandomDevice::downloads()
{
    QFETCH(uint, seed);
    const Plan plan = planFor(seed);
    const QByteArray &image = plan.image;
    const QString run = describe(seed, plan);
    QByteArray message;
    const auto why = [&](const QString &what) {
        message = (run + ": " + what).toLocal8Bit();
        return message.constData();
    };
    SimLoader loader(plan.faults);
    QVERIFY2(loader.start(), why("no pseudo-terminal"));

    Owner owner(new dudoZerDownload);
    QVERIFY2(owner.current->startDownload(image.size(), 0,
                                          quint16(byteSum(image.constData(), image.size())), image,
                                          loader.portName(), UserBaud),
             why("the port did not open"));
    // An engine alive on its own line sends a handshake at least once per window until its
    // seventh tick gives up; once the line is gone, that tick comes within seven windows.
    const int quietMs = 7 * FastTiming.tickMs + 8 * FastTiming.windowMs + 1000;
    const bool ended = waitFor([&] { return owner.destroyed; }, RunLimitMs, quietMs,
                               [&] { return qint64(loader.received().size()); });
    QVERIFY2(ended && owner.results.size() == 1,
             why(QString::asprintf("%d results after %d ms at most, or %d ms of silence",
                                   owner.results.size(), RunLimitMs, quietMs)));

    // Once the loader has read all the host wrote and seen the line close, nothing may follow.
    QVERIFY2(waitFor([&] { return loader.hangups() > 0 || loader.vanished(); }, LineCloseMs,
                     LineCloseMs),
             why("the line stayed open after the engine was destroyed"));
    const QByteArray stream = loader.received();
    waitFor([] { return false; }, 2 * FastTiming.windowMs, 2 * FastTiming.windowMs);
    QVERIFY2(loader.received().size() == stream.size(),
             why("bytes sent after the engine was destroyed"));

    const int result = owner.results.constFirst();
    QVERIFY2(result == dudoZerDownload::E_DONE || result == dudoZerDownload::E_DOWNLOAD_ERR ||
                 result == dudoZerDownload::E_TIMEOUT,
             why(QString::asprintf("result %d", result)));
    if (plan.kind != Kind::Faulty)
        QVERIFY2(result == dudoZerDownload::E_DONE,
                 why(QString::asprintf("a behaving loader got result %d", result)));
    // Grouping is by count alone: after a reply of another length (garbage, a stray byte) whole
    // groups can stay queued, the engine then takes stale replies for fresh ones, and "done"
    // proves nothing about what the loader holds.
    QByteArray replies;
    bool oneGroupEach = true;
    for (const SimLoader::Frame &frame : loader.frames()) {
        replies += frame.reply;
        oneGroupEach &= frame.reply.isEmpty() || frame.reply.size() == Protocol::ReplyLength;
    }
    if (result == dudoZerDownload::E_DONE && oneGroupEach)
        QVERIFY2(
            loader.image() == image,
            why(QString::asprintf("done, but the loader holds %d bytes", loader.image().size())));

    Steps steps;
    const QString broken = checkStream(stream, image, loader.vanished(), &steps);
    QVERIFY2(broken.isEmpty(), why(broken));

    // The engine reads the loader's bytes three at a time, in order, skipping none, so the
    // groups must hold a reply of the right kind for every step that needed one.
    int readyGroups = 0;
    int acceptGroups = 0;
    for (int at = 0; at + Protocol::ReplyLength <= replies.size(); at += Protocol::ReplyLength) {
        const QByteArray group = replies.mid(at, Protocol::ReplyLength);
        readyGroups += group == Protocol::readyReply();
        acceptGroups += group == Protocol::acceptReply();
    }
    const int readies = steps.readies + (result == dudoZerDownload::E_DONE ? 1 : 0);
    QVERIFY2(acceptGroups >= steps.accepts && readyGroups >= readies,
             why(QString::asprintf("%d accept and %d ready replies for %d and %d steps",
                                   acceptGroups, readyGroups, steps.accepts, readies)));

    // The k-th accepted block is the one at 128 * k; a block or the finish frame follows each
    // acceptance at once, unless the loader vanished before reading it.
    for (int k = 0; k < owner.percents.size(); ++k) {
        const int remaining = image.size() - k * Protocol::MaxBlockLength;
        QVERIFY2(owner.percents[k] == 100 - remaining * 100 / image.size(),
                 why(QString::asprintf("percent %d is %d", k, owner.percents[k])));
    }
    const bool matches = loader.vanished() ? steps.advances <= owner.percents.size()
                                           : steps.advances == owner.percents.size();
    QVERIFY2(matches, why(QString::asprintf("%d blocks advanced on the line, %d percents",
                                            steps.advances, owner.percents.size())));
}

QTEST_GUILESS_MAIN(tst_RandomDevice)
#include "tst_randomdevice.moc"
