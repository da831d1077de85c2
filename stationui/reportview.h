#pragma once

#include "records/report.h"
#include "records/storeurl.h"

#include <QFutureWatcher>
#include <QTimer>
#include <QWidget>

#include <optional>

class LotView;
class QDateEdit;
class QLabel;
class QLineEdit;
class QStandardItemModel;
class QTableView;

// What `lumedra-cli report` shows, in the window: a day's totals and its boards by station, image
// and hour and by lot, one lot, and one serial number's history, typed or scanned (a keyboard-wedge
// scanner types the code and presses Enter). Read off the window's thread, and refreshed while the
// tab is seen.
class ReportView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int RefreshMs = 5000;

    explicit ReportView(QWidget *parent = nullptr);
    ~ReportView() override;

    // The store the job records in; none: nothing to report.
    void setStore(const std::optional<StoreUrl> &url);
    void refresh();
    void lookUp(const QString &serial);

signals:
    void refreshed(); // the day's figures are in the view
    void lookedUp();  // the number's history is in the view

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    struct Day {
        std::optional<Report::Totals> totals;
        QVector<Report::Row> rows;
        QString error;
    };
    struct History {
        QString serial;
        std::optional<QVector<Report::Step>> steps;
        QString error;
        bool byLabel = false; // the boards that had the label, rather than a number's steps
    };
    void showDay();
    void showHistory();

    std::optional<StoreUrl> store;
    QDateEdit *day;
    QLabel *totals;
    QStandardItemModel *rows;
    QTableView *table;
    QLineEdit *serial;
    QLabel *historyTitle;
    QStandardItemModel *steps;
    QTableView *history;
    LotView *lots;
    QTimer timer;
    QFutureWatcher<Day> reading;
    QFutureWatcher<History> looking;
};
