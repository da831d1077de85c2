#pragma once

#include "station/outcome.h"
#include "station/slotphase.h"

#include <QMetaType>
#include <QString>

// What a run tells whoever shows or records it about one of its targets (a port, or a station's
// slot). Travels by value from the slots' threads to the main thread.
struct BoardEvent {
    enum class Kind {
        Waiting,  // the loader has not answered yet, or the slot has no port yet
        Started,  // a board's download began: at once on a plain run, at the loader's answer
                  // on a station
        Attempt,  // a new attempt from the reset, after a failed one
        Progress, // percent changed
        Result,   // the board's one result
        Left,     // the board left the station's slot, which waits for the next
        Labelled, // the board's label is in
    };

    Kind kind = Kind::Waiting;
    SlotPhase phase = SlotPhase::Idle; // where the slot is after this event
    int target = -1;    // index into the run's targets
    int board = 0;      // the run's board number, from 1; 0 while no board is known
    QString path = {};  // the port the board is on; empty while a slot finds none
    int percent = 0;    // Progress
    int attempt = 0;    // Attempt: its number; Result: the attempts it took
    double seconds = 0; // Waiting: the time so far; Result: the time it took
    Outcome outcome = Outcome::Done;
    QString reason = {}; // Result: what went wrong; Waiting: why no board can be reached
    QString serial = {}; // the board's serial number, once it has one
    QString notice = {}; // Waiting: what else holds the slot up (the record store)
    QString label = {};  // the board's own printed label, once it is in
    bool reflash = false; // the label was flashed before, and the board is flashed again
};

Q_DECLARE_METATYPE(BoardEvent)
