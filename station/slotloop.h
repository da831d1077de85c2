#pragma once

#include "station/stationslot.h"

#include <QTimer>

class FolderWatch;
class PresenceProbe;

// A station's slot that boards come and go on: it waits for a board (its port to appear and the
// loader to answer), flashes it, waits until the board has left, and starts over; a board that
// stays is never flashed twice. Two slots with one pattern share out the ports it matches.
class SlotLoop : public StationSlot
{
public:
    SlotLoop(int index, const Target &target, const RunSettings &settings, Shared *shared);
    ~SlotLoop() override;

    void start() override;
    void takeLabel(const QString &text) override;

private:
    void look();
    // A board is in the slot: with labels required, it waits for its own before it starts.
    void boardIn();
    // What the slot knew of its board goes with it.
    void forgetBoard();
    void onFolderChanged();
    void awaitLeaving();
    void onBoardStarting() override { sendWaiting(); }
    void onAnswered() override;
    void onNumbersOut(const QString &pool, const QString &last) override;
    void onBoardFinished(const BoardJob::Result &result) override;
    bool waitsForever() const override { return true; }
    void release() override;

    QTimer lookTimer; // after a port that failed: when to look again
    FolderWatch *watch = nullptr;
    PresenceProbe *probe = nullptr;
    bool awaitingLabel = false;
    QString refusal; // why the board's label was refused; it is taken away unflashed
};
