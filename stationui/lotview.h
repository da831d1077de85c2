#pragma once

#include "records/lotreport.h"
#include "records/storeurl.h"

#include <QDateTime>
#include <QFutureWatcher>
#include <QWidget>

#include <optional>

class QLabel;
class QLineEdit;
class QStandardItemModel;
class QTableView;

// The Report tab's lots: a day's boards by lot, and one lot looked up, typed or scanned, as
// `lumedra-cli report --by-lot` and `--lot` give them. Read off the window's thread.
class LotView : public QWidget
{
    Q_OBJECT

public:
    explicit LotView(QWidget *parent = nullptr);
    ~LotView() override;

    void setStore(const std::optional<StoreUrl> &url);
    // The lots with boards in [from, to).
    void refresh(const QDateTime &from, const QDateTime &to);
    // The lot whole, whenever its boards were flashed.
    void lookUp(const QString &lot);

signals:
    void refreshed(); // the range's lots are in the table
    void lookedUp();  // the lot's line is in the summary

private:
    struct Read {
        QString lot; // the one looked up
        std::optional<QVector<LotReport::Lot>> lots;
        QString error;
    };
    void showLots();
    void showLot();

    std::optional<StoreUrl> store;
    QStandardItemModel *rows;
    QTableView *table;
    QLineEdit *field;
    QLabel *summary;
    QFutureWatcher<Read> reading;
    QFutureWatcher<Read> looking;
};
