#pragma once

#include <QByteArray>
#include <QMetaType>

// How a simulated loader departs from the protocol. Indices are 1-based and count the frames of
// that kind received since the loader started, across sessions, so a fault strikes once per
// loader, or, with a period ("every") above 0, also at every period-th frame of that kind after
// the first.
struct LoaderFaults {
    enum class Step { None, Handshake, Header, Block, Finish };

    // Each reply independently goes wrong with the given probabilities (percent), drawn from a
    // generator seeded with `seed`, so a seed replays the same sequence of replies. The outcome is
    // one of wrong (the other reply token), garbage (1 to 6 random bytes), silent (no reply),
    // vanish (the loader closes the line and stops) or right; their percentages add up to at most
    // 100. Independently of it, what goes out may be split into 2 or 3 pieces, preceded by a stray
    // byte, or delayed by 1 to maxDelayMs. Garbage and stray bytes never contain A5, so they never
    // form a reply token with neighbouring bytes.
    struct Chaos {
        quint32 seed = 1;
        int percentWrong = 0;
        int percentGarbage = 0;
        int percentSilent = 0;
        int percentVanish = 0;
        int percentSplit = 0;
        int percentStray = 0;
        int percentDelay = 0;
        int maxDelayMs = 20;
    };

    bool silent = false;         // never answers anything
    int answerFromHandshake = 1; // handshakes before the N-th go unanswered
    Step wrongAt = Step::None;   // the wrongIndex-th frame of this kind gets wrongReply
    int wrongIndex = 1;
    int wrongEvery = 0;
    QByteArray wrongReply = {}; // empty: the other reply token
    Step silentAt = Step::None; // the silentIndex-th frame of this kind gets no reply
    int silentIndex = 1;
    int silentEvery = 0;
    Step strayAt = Step::None; // a stray byte goes out before the reply to the
    int strayIndex = 1;        // strayIndex-th frame of this kind
    char strayByte = '\x00';
    int replyPieces = 1;          // each reply written in 1 to 3 pieces: 1 + 2 or 1 + 1 + rest
    int pieceGapMs = 5;           // pause between pieces
    int replyDelayMs = 0;         // pause before each reply
    int throttleBaud = 0;         // 0: instant; otherwise each byte costs 10 / baud s both ways
    int vanishAfterBlocks = -1;   // >= 0: after this many accepted blocks, the next block
                                  // closes the line unanswered and the loader stops
    Step floodAfter = Step::None; // once the floodIndex-th frame of this kind is answered,
    int floodIndex = 1;           // garbage (never A5) goes out as fast as the host takes it
    Chaos chaos = {};
    bool recordBlocks = true; // false: Block frames are recorded without their bytes
};

// Fault settings travel through the tests' data tables.
Q_DECLARE_METATYPE(LoaderFaults)
