#pragma once

#include <QRegularExpression>
#include <QString>
#include <QStringList>

// How a run takes each board's own printed label: whether it asks for one, what a label looks
// like, and what becomes of a label the store has seen flashed before.
struct ScanRules {
    enum class Mode {
        Off,      // no labels
        Optional, // a board starts at once and takes a label until its result
        Required, // a board starts only once its label is in
    };

    Mode mode = Mode::Off;
    QRegularExpression pattern; // a label matches it whole; none set: any text is a label
    QString patternText;        // as the job wrote it, for messages
    bool reflash = false;       // a label flashed before may be flashed again, keeping its numbers
    QStringList codes;          // each slot's position code, slot 1 first; empty: none

    // The job's keys, read here so that a job file names them once.
    static QStringList keys();
    bool set(const QString &key, const QString &value, QString *error);
    // The keys that only mean something together, checked once all are read.
    bool combination(QString *error) const;
    bool on() const { return mode != Mode::Off; }
    bool fits(const QString &label) const;
    QString modeName() const;
};
