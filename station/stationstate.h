#pragma once

#include "station/boardevent.h"
#include "station/slotstate.h"
#include "station/target.h"

#include <QElapsedTimer>
#include <QObject>
#include <QVector>

// The counts of a run, or of some of its slots.
struct StationTotals {
    int done = 0;
    int failed = 0;
    int firstPass = 0; // boards done on their first attempt
    int stopped = 0;   // slots whose last board was stopped
    int underWay = 0;  // slots with a board or a wake-up under way

    int boards() const { return done + failed; }
    double yieldPercent() const;
    double firstPassPercent() const;
};

// The state of every slot of a run and the run's totals, kept once on the main thread from the
// session's events. The command line's lines and displays and a window are views on it: they read
// it when told it changed and never work any of it out again.
class StationState : public QObject
{
    Q_OBJECT

public:
    StationState(const Targets &targets, bool station);

    void apply(const BoardEvent &event);
    void startClock(); // as the run starts

    const QVector<SlotState> &slotStates() const { return slotList; }
    const SlotState &slot(int index) const { return slotList[index]; }
    // Of the slots [from, from + count); count -1: to the last.
    StationTotals totals(int from = 0, int count = -1) const;
    double upSeconds() const;
    double boardsPerHour() const;

signals:
    void slotChanged(int index);
    void totalsChanged(); // a board ended

private:
    QVector<SlotState> slotList;
    QElapsedTimer upClock;
};
