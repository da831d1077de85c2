#include "stationui/tilegrid.h"

#include "station/elide.h"
#include "stationui/slottile.h"

#include <QGridLayout>

#include <cmath>

namespace
{
constexpr int TitleWidth = 32; // characters of a port's name on a tile
// Wider than tall: a tile holds a line of words and a large verdict.
constexpr double TileAspect = 1.8;
constexpr int Spacing = 6;
} // namespace

TileGrid::TileGrid(QWidget *parent)
    : LayoutFence(new QWidget, parent), layout(new QGridLayout(findChild<QWidget *>()))
{
    layout->setSpacing(Spacing);
    layout->setContentsMargins(0, 0, 0, 0);
}

void TileGrid::build(const Job &job)
{
    qDeleteAll(tiles);
    tiles.clear();
    dirty.clear();
    // A smaller job after a larger one must not keep the larger one's empty rows and columns.
    for (int c = 0; c < layout->columnCount(); ++c)
        layout->setColumnStretch(c, 0);
    for (int r = 0; r < layout->rowCount(); ++r)
        layout->setRowStretch(r, 0);
    const int count = job.slotList.size();
    const SharedAffixes shared = SharedAffixes::of(job.ports());
    const int columns = qMin(count, int(std::ceil(std::sqrt(count * TileAspect))));
    const Targets targets = job.targets();
    for (int i = 0; i < count; ++i) {
        const JobSlot &slot = job.slotList[i];
        const QString title =
            slot.label.isEmpty() ? elide(slot.port, TitleWidth, shared) : slot.label;
        auto *tile = new SlotTile(i + 1, title, job.settings.resets(), layout->parentWidget());
        tile->show(SlotState(targets[i], true));
        layout->addWidget(tile, i / columns, i % columns);
        tiles << tile;
    }
    for (int c = 0; c < columns; ++c)
        layout->setColumnStretch(c, 1);
    for (int r = 0; r < (count + columns - 1) / columns; ++r)
        layout->setRowStretch(r, 1);
    layout->activate();
    refit();
}

void TileGrid::changed(int index)
{
    dirty.insert(index);
}

void TileGrid::show(const StationState &state, bool all)
{
    for (int i = 0; i < tiles.size(); ++i)
        if (all || dirty.contains(i))
            tiles[i]->show(state.slot(i));
    dirty.clear();
}
