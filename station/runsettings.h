#pragma once

#include "download/image.h"
#include "records/serialscheme.h"
#include "station/resetsequence.h"
#include "station/scanrules.h"

#include <QString>
#include <QVector>

#include <optional>

// How each board of a run is flashed: the same for every target.
struct RunSettings {
    static constexpr int DefaultBaud = 115200;
    static constexpr int DefaultGoneAfterMs = 2000;

    Image image;         // read once: every board gets the very same bytes
    ImageSpec imageSpec; // how the image file becomes those bytes, and the SHA-256 they must have
    int baud = DefaultBaud;
    std::optional<int> waitMs;          // none: one wake-up; 0: until stopped; else the limit
    std::optional<ResetSequence> reset; // DTR and RTS before each attempt
    QString resetCommand;               // or a shell command; empty: none
    int attempts = 1;                   // tries per board, from the reset
    bool station = false;               // each target is a slot that boards come and go on
    int goneAfterMs = DefaultGoneAfterMs;
    std::optional<SerialScheme> serial; // each board its own number, patched into its copy
    QVector<SerialScheme> pools;        // a job's [serial.NAME] sections: more numbers a board
    QString job; // the job file the run was given, for the record; empty: none
    ScanRules scan; // each board's printed label

    bool resets() const { return reset.has_value() || !resetCommand.isEmpty(); }
};
