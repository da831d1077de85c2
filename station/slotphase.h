#pragma once

// Where a slot is in a board's life, as the slot itself decides it: every view shows this and
// never works it out again from the events.
enum class SlotPhase {
    Idle,     // a plain run's port, before its loader answered
    Looking,  // a station's slot with no port (no board plugged in)
    Waiting,  // a port, and its loader has not answered yet
    Label,    // a board waits for its printed label to be scanned before it starts
    Refused,  // the board's label was flashed before: it must be taken away unflashed
    Flashing, // a board's download (and its attempts) under way
    Remove,   // a station's board has its result and has not left yet
    Finished, // the result is final: the slot holds no board to take away
};
