#pragma once

#include "station/stationslot.h"

// A plain run's port: its board is flashed once, and the port's run ends with the result.
class PlainPort : public StationSlot
{
public:
    using StationSlot::StationSlot;

    void start() override;

private:
    void onNumbersOut(const QString &pool, const QString &last) override;
    void onBoardFinished(const BoardJob::Result &result) override;
    bool waitsForever() const override { return settings.waitMs == 0; }
};
