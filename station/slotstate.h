#pragma once

#include "station/boardevent.h"
#include "station/slotphase.h"
#include "station/target.h"

#include <QElapsedTimer>

#include <optional>

// What a view shows of one slot (or a plain run's port), kept from its events on the main thread.
struct SlotState {
    Target target;
    SlotPhase phase = SlotPhase::Idle;
    QElapsedTimer clock; // since the board started, or the slot began waiting
    int board = 0;
    QString path;
    int percent = -1; // -1: no block accepted yet in this attempt
    int attempt = 1;
    std::optional<Outcome> outcome; // the last board's
    QString reason;                 // of the last result, or why the slot cannot go on
    QString serial;                 // the board's serial number
    QString notice;                 // what else holds the slot up
    QString label;                  // the board's printed label
    bool reflash = false;           // its label was flashed before
    double seconds = 0;             // the last result's
    int done = 0;
    int firstPasses = 0; // boards done on their first attempt
    int failed = 0;

    SlotState(const Target &target, bool station);
    void apply(const BoardEvent &event);
    // The time in the current phase; a finished one shows its result's.
    double phaseSeconds() const;
    bool underWay() const;
    // The download's speed so far, for an image of `bytes`.
    double bytesPerSecond(qint64 bytes) const;
};
