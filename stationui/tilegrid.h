#pragma once

#include "station/jobfile.h"
#include "station/stationstate.h"

#include <QSet>
#include <QVector>
#include "stationui/layoutfence.h"

class QGridLayout;
class SlotTile;

// The job's slots as a grid of tiles, wider than tall, that fits 1 to 64. It redraws only the
// tiles whose slot changed since the last draw, unless asked for all of them (the times move).
// A tile's changes stay inside the grid.
class TileGrid : public LayoutFence
{
    Q_OBJECT

public:
    explicit TileGrid(QWidget *parent = nullptr);

    // A tile per slot of the job, each waiting for a board; the tiles of an earlier job go.
    void build(const Job &job);
    void changed(int index);
    void show(const StationState &state, bool all);

private:
    QVector<SlotTile *> tiles;
    QGridLayout *layout;
    QSet<int> dirty;
};
