#include "stationui/recentboards.h"

#include <QColor>

void RecentBoards::add(const QVector<BoardEvent> &results)
{
    const int count = qMin(int(results.size()), int(MaxRows));
    if (count == 0)
        return;
    // Shown to the second: the moment the batch is drawn serves for each of its boards.
    const QDateTime now = QDateTime::currentDateTime();
    QVector<Row> made;
    made.reserve(count + rows.size());
    for (int i = results.size() - 1; i >= results.size() - count; --i)
        made.append({now, results[i]});
    beginInsertRows(QModelIndex(), 0, count - 1);
    made += rows;
    rows.swap(made);
    endInsertRows();
    if (rows.size() > MaxRows) {
        beginRemoveRows(QModelIndex(), MaxRows, rows.size() - 1);
        rows.resize(MaxRows);
        endRemoveRows();
    }
}

void RecentBoards::clear()
{
    beginResetModel();
    rows.clear();
    endResetModel();
}

int RecentBoards::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows.size();
}

int RecentBoards::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RecentBoards::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return {};
    const Row &row = rows[index.row()];
    const BoardEvent &event = row.event;
    if (role == Qt::ForegroundRole && index.column() == Result)
        return event.outcome == Outcome::Done ? QColor(Qt::darkGreen) : QColor(Qt::darkRed);
    if (role == Qt::TextAlignmentRole && index.column() != Reason && index.column() != Result &&
        index.column() != Serial)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (Column(index.column())) {
    case Time:
        return row.time.toString("HH:mm:ss");
    case Slot:
        return event.target + 1;
    case Board:
        return event.board;
    case Serial:
        return event.serial;
    case Result:
        return outcomeName(event.outcome);
    case Reason:
        return event.reason;
    case Attempts:
        return event.attempt;
    case Seconds:
        return QString::number(event.seconds, 'f', 2);
    case ColumnCount:
        break;
    }
    return {};
}

QVariant RecentBoards::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char *const names[ColumnCount] = {"time",   "slot",   "board",    "serial",
                                                   "result", "reason", "attempts", "seconds"};
    return section >= 0 && section < ColumnCount ? QString(names[section]) : QVariant();
}
