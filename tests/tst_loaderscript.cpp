#include "download/protocol.h"
#include "testing/simloader/loaderscript.h"

#include <QtTest>

using Step = LoaderFaults::Step;

namespace
{

QByteArray header(qint32 length)
{
    return Protocol::headerFrame(0, length, 0x1234);
}

// One letter per turn: v vanishes, f starts a flood, c completes the image, n starts a new one,
// a is accepted otherwise, - is not accepted.
QChar flag(const LoaderScript::Turn &turn)
{
    if (turn.reply.vanish)
        return 'v';
    if (turn.flood)
        return 'f';
    if (turn.complete)
        return 'c';
    if (turn.newImage)
        return 'n';
    return turn.accepted ? 'a' : '-';
}

} // namespace

class tst_LoaderScript : public QObject
{
    Q_OBJECT

private slots:
    void conversation_data();
    void conversation();
    void completeImageCarriesItsChecksum();
    void chaosReplaysItsSeed();
};

void tst_LoaderScript::conversation_data()
{
    QTest::addColumn<LoaderFaults>("faults");
    QTest::addColumn<QByteArrayList>("input"); // host bytes as read; an empty one: a hang-up
    QTest::addColumn<QString>("kinds");        // one of HRBF? per turn
    QTest::addColumn<QString>("flags");        // see flag()
    QTest::addColumn<QByteArray>("replies");   // every byte out, in order

    const QByteArray hs = Protocol::handshakeFrame(), fin = Protocol::finishFrame();
    const QByteArray b128(128, '\x5A'), b72(72, '\xA5'), b44(44, '\x11');
    const QByteArray ready = QByteArray::fromHex("A55A00"), accept = QByteArray::fromHex("A55A41");
    const auto row = [](const char *tag, const LoaderFaults &faults, const QByteArrayList &input,
                        const char *kinds, const char *flags, const QByteArray &replies) {
        QTest::newRow(tag) << faults << input << QString(kinds) << QString(flags) << replies;
    };

    row("handshake", {}, {hs}, "H", "a", ready);
    row("handshake byte by byte", {}, {hs.left(1), hs.mid(1, 1), hs.mid(2)}, "H", "a", ready);
    row("finish", {}, {fin}, "F", "a", ready);
    row("noise before a handshake", {}, {QByteArray::fromHex("005A") + hs}, "??H", "--a", ready);
    row("a download", {}, {hs, hs, header(200), b128, b72, fin}, "HHRBBF", "aanaca",
        ready + ready + accept + accept + accept + ready);
    row("a download in one read", {}, {hs + hs + header(200) + b128 + b72 + fin}, "HHRBBF",
        "aanaca", ready + ready + accept + accept + accept + ready);
    row("a block across reads", {}, {header(200) + b128.left(100), b128.mid(100) + b72}, "RBB",
        "nac", accept + accept + accept);
    row("empty image", {}, {header(0), fin}, "RF", "ca", accept + ready);
    // The header after the stall resumes at the first block not accepted: 128 bytes, then 44.
    row("resume after an unanswered block", {.silentAt = Step::Block, .silentIndex = 2},
        {header(300), b128, b128, hs, header(300), b128, b44}, "RBBHRBB", "na-aaac",
        accept + accept + ready + accept + accept + accept);
    row("a hang-up starts the image again", {},
        {header(300), b128, QByteArray(), header(300), b128}, "RBRB", "nana",
        accept + accept + accept + accept);
    row("a finished image starts again", {}, {header(128), b128, header(128)}, "RBR", "ncn",
        accept + accept + accept);
    row("silent", {.silent = true}, {hs, header(128)}, "HR", "--", {});
    row("answers from the 3rd handshake", {.answerFromHandshake = 3}, {hs + hs + hs + hs}, "HHHH",
        "--aa", ready + ready);
    row("every 2nd handshake from the 2nd silent",
        {.silentAt = Step::Handshake, .silentIndex = 2, .silentEvery = 2}, {hs + hs + hs + hs + hs},
        "HHHHH", "a-a-a", ready + ready + ready);
    // Refused, the header leaves the loader in frame mode: the block's bytes are no frame.
    row("ready reply to the header", {.wrongAt = Step::Header}, {header(128), "\x01"}, "R?", "--",
        ready);
    row("unknown status to block 2",
        {.wrongAt = Step::Block, .wrongIndex = 2, .wrongReply = QByteArray::fromHex("A55A42")},
        {header(300), b128, b128}, "RBB", "na-", accept + accept + QByteArray::fromHex("A55A42"));
    row("stray byte before block 2's reply",
        {.strayAt = Step::Block, .strayIndex = 2, .strayByte = '\x07'}, {header(300), b128, b128},
        "RBB", "naa", accept + accept + '\x07' + accept);
    row("vanishes at block 2", {.vanishAfterBlocks = 1}, {header(400) + b128 + b128 + b128}, "RBB",
        "nav", accept + accept);
    row("flood after the first handshake", {.floodAfter = Step::Handshake}, {hs, hs}, "HH", "fa",
        ready + ready);
}

void tst_LoaderScript::conversation()
{
    QFETCH(LoaderFaults, faults);
    QFETCH(QByteArrayList, input);
    QFETCH(QString, kinds);
    QFETCH(QString, flags);
    QFETCH(QByteArray, replies);

    LoaderScript script(faults);
    QString gotKinds, gotFlags;
    QByteArray gotReplies;
    for (const QByteArray &bytes : input) {
        if (bytes.isEmpty())
            script.hangUp();
        for (const LoaderScript::Turn &turn : script.take(bytes.constData(), bytes.size())) {
            gotKinds += "HRBF?"[turn.kind];
            gotFlags += flag(turn);
            gotReplies += turn.reply.bytes;
        }
    }
    QCOMPARE(gotKinds, kinds);
    QCOMPARE(gotFlags, flags);
    QCOMPARE(gotReplies.toHex(), replies.toHex());
}

void tst_LoaderScript::completeImageCarriesItsChecksum()
{
    LoaderScript script({});
    const QByteArray frames = Protocol::headerFrame(0, 3, 0xBEEF) + "abc";
    const QVector<LoaderScript::Turn> turns = script.take(frames.constData(), frames.size());
    QCOMPARE(turns.size(), 2);
    QVERIFY(turns[1].complete);
    QCOMPARE(turns[1].checksum, quint16(0xBEEF));
    QCOMPARE(turns[1].bytes, QByteArray("abc"));
}

// A seed replays the same replies, and what chaos makes up never holds the first byte of a token.
void tst_LoaderScript::chaosReplaysItsSeed()
{
    const LoaderFaults faults{.chaos = {.seed = 7,
                                        .percentGarbage = 40,
                                        .percentSplit = 30,
                                        .percentStray = 30,
                                        .percentDelay = 30}};
    QByteArray handshakes;
    for (int i = 0; i < 200; ++i)
        handshakes += Protocol::handshakeFrame();
    const auto run = [&](quint32 seed) {
        LoaderFaults seeded = faults;
        seeded.chaos.seed = seed;
        LoaderScript script(seeded);
        QList<QByteArray> out;
        for (const LoaderScript::Turn &turn :
             script.take(handshakes.constData(), handshakes.size()))
            out << turn.reply.bytes + char(turn.reply.pieces) + char(turn.reply.delay.count());
        return out;
    };
    const QList<QByteArray> first = run(7);
    QCOMPARE(first.size(), 200);
    QCOMPARE(run(7), first);
    QVERIFY(run(8) != first);
    for (const QByteArray &reply : first) {
        const QByteArray bytes = reply.chopped(2);
        if (!bytes.endsWith(Protocol::readyReply()))
            QVERIFY2(!bytes.contains('\xA5'), bytes.toHex().constData());
    }
}

QTEST_GUILESS_MAIN(tst_LoaderScript)
#include "tst_loaderscript.moc"
