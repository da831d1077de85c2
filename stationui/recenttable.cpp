#include "stationui/recenttable.h"

#include "stationui/recentboards.h"

#include <QHeaderView>

RecentTable::RecentTable(RecentBoards *boards, QWidget *parent) : QTableView(parent)
{
    setModel(boards);
    setObjectName("recent");
    verticalHeader()->hide();
    // Widths fixed once from the font: sizing to the contents would measure every row again at
    // each new board.
    const QFontMetrics metrics(font());
    const char *const widest[RecentBoards::ColumnCount] = {
        "00:00:00__",       "slot__", "000000__",   "LMD-0000000000__",
        "download_error__", "",       "attempts__", "seconds__"};
    for (int column = 0; column < RecentBoards::ColumnCount; ++column)
        setColumnWidth(column, metrics.horizontalAdvance(widest[column]));
    horizontalHeader()->setSectionResizeMode(RecentBoards::Reason, QHeaderView::Stretch);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(metrics.height() + metrics.height() / 2);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}
