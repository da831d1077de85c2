#include "stationui/stationpage.h"

#include "stationui/recenttable.h"
#include "stationui/tilegrid.h"

#include <QVBoxLayout>

namespace
{
constexpr int TileShare = 3, TableShare = 1;
} // namespace

StationPage::StationPage(TileGrid *grid, RecentTable *table, QWidget *parent) : QScrollArea(parent)
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(grid, TileShare);
    layout->addWidget(table, TableShare);
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setWidget(page);
}
