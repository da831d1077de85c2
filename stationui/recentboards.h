#pragma once

#include "station/boardevent.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QVector>

// The most recent boards, newest on top: the records the log gets, as their results come.
class RecentBoards : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Time, Slot, Board, Serial, Result, Reason, Attempts, Seconds, ColumnCount };
    static constexpr int MaxRows = 500; // a shift's worth; the log keeps them all

    using QAbstractTableModel::QAbstractTableModel;

    // Results in the order they came, put on top together: one insertion repaints the table once.
    void add(const QVector<BoardEvent> &results);
    void clear();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    struct Row {
        QDateTime time;
        BoardEvent event;
    };
    QVector<Row> rows; // newest first
};
