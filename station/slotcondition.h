#pragma once

#include "station/slotstate.h"

#include <QString>

// What one slot is doing, worked out once for every view: which of its conditions comes first
// (the record store holding it up, a port that cannot be used, the board's own state) and how it
// is said. A view styles it (a colour, an icon, a bar) and words nothing itself.
struct SlotCondition {
    enum class Kind {
        StoreWait,     // the slot waits for the record store or for serial numbers
        PortTrouble,   // its port cannot be used: `reason` says why
        NoBoard,       // a station's slot with no port
        WaitingLoader, // a port, and the loader has not answered
        Waking,        // a board's attempt, before the loader took a block
        Flashing,      // blocks going out: a bar with the percentage
        Pass,
        Fail, // `reason` says why
        Stopped,
        ScanLabel,    // a board waits for its printed label to be scanned
        LabelRefused, // the board's label was flashed before: `words` say when and where
    };

    Kind kind = Kind::NoBoard;
    QString words;       // "waiting for a board", "flashing, attempt 2", "done", ...
    QString reason;      // a failure's, or why the port cannot be used
    bool remove = false; // the board has its result and must be taken away

    // `resets`: the run resets each board before its attempts.
    static SlotCondition of(const SlotState &slot, bool resets);
    // The words, with what to do after them: "done, remove the board".
    QString text() const;
};
