#pragma once

#include <QTableView>

class RecentBoards;

// The most recent boards for reading back: columns as wide as their widest value, the reason
// taking what is left, nothing to select or edit.
class RecentTable : public QTableView
{
    Q_OBJECT

public:
    explicit RecentTable(RecentBoards *boards, QWidget *parent = nullptr);
};
