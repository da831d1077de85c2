#pragma once

#include <QScrollArea>

class RecentTable;
class TileGrid;

// The Station tab: the tiles first, for a glance, and the recent boards below them, for reading
// back. A text changing on a tile or in the table lays out the page again; in a scroll area of
// its own that stops here, where the tab widget would repaint itself whole on every layout.
class StationPage : public QScrollArea
{
    Q_OBJECT

public:
    StationPage(TileGrid *grid, RecentTable *table, QWidget *parent = nullptr);
};
