#pragma once

#include "station/boardoutcome.h"

class Recorder;

// The record store as a board's sink: its line and what became of its number, in one
// transaction, or in the spool while the store is out of reach.
class StoreSink : public OutcomeSink
{
public:
    explicit StoreSink(Recorder *recorder) : recorder(recorder) {}

    bool write(const BoardOutcome &outcome, QString *error) override;

private:
    Recorder *const recorder;
};
