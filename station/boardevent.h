#pragma once

#include "station/outcome.h"

#include <QMetaType>
#include <QString>

// What a run tells whoever shows or records it about one of its targets. Travels by value from
// the boards' threads to the main thread.
struct BoardEvent {
    enum class Kind {
        Started,  // the download began
        Progress, // percent changed
        Result,   // the board's one result: outcome, reason, seconds
    };

    Kind kind = Kind::Started;
    int target = -1; // index into the run's targets
    int percent = 0;
    Outcome outcome = Outcome::Done;
    QString reason = {}; // empty when there is nothing to add
    double seconds = 0;  // from the start to the result
};

Q_DECLARE_METATYPE(BoardEvent)
