#pragma once

#include "station/slotstate.h"

#include <QColor>
#include <QString>

// How a tile shows one slot's state: words, an icon and a colour, so that a technician who
// does not tell red from green reads it too. Worked out from the station's state only.
struct SlotLook {
    enum class Verdict { None, Pass, Fail };

    QString words; // "flashing", "done, remove the board", ...
    QString icon;  // a symbol beside the words
    QColor colour; // the tile's background
    Verdict verdict = Verdict::None;
    QString reason;        // a failure's, or why the port cannot be used
    bool progress = false; // a bar with the percentage

    // `resets`: the run resets each board before its attempts.
    static SlotLook of(const SlotState &slot, bool resets);
    // For screen readers and tests: "slot 2: done, board 17, remove the board".
    static QString description(int number, const SlotState &slot, bool resets);
};
