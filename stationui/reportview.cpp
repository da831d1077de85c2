#include "stationui/reportview.h"

#include "records/labelhistory.h"
#include "stationui/lotview.h"

#include <QDateEdit>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace
{
constexpr int ShownShaDigits = 12;
constexpr int PercentScale = 100;

QString percent(double fraction)
{
    return QString("%1 %").arg(PercentScale * fraction, 0, 'f', 1);
}

QTableView *tableOf(QStandardItemModel *model, const QString &name)
{
    auto *view = new QTableView;
    view->setObjectName(name);
    view->setModel(model);
    view->verticalHeader()->hide();
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::NoSelection);
    view->horizontalHeader()->setStretchLastSection(true);
    return view;
}

QString orDash(qint64 value)
{
    return value > 0 ? QString::number(value) : QStringLiteral("-");
}
// A label's boards as the rows of a history: the number is the one each board had.
QVector<Report::Step> stepsOf(const QVector<LabelHistory::Board> &boards)
{
    QVector<Report::Step> steps;
    for (const LabelHistory::Board &board : boards)
        steps << Report::Step{.time = board.time,
                              .event = board.reflash ? "reflash" : "board",
                              .station = board.station,
                              .run = board.run,
                              .slot = board.slot,
                              .board = board.board,
                              .attempts = board.attempts,
                              .result = board.result,
                              .reason = board.reason,
                              .number = board.serial};
    return steps;
}
} // namespace

ReportView::ReportView(QWidget *parent)
    : QWidget(parent), day(new QDateEdit(QDate::currentDate())), totals(new QLabel),
      rows(new QStandardItemModel(this)), table(tableOf(rows, "report")), serial(new QLineEdit),
      historyTitle(new QLabel), steps(new QStandardItemModel(this)),
      history(tableOf(steps, "serialHistory")), lots(new LotView)
{
    day->setObjectName("reportDay");
    day->setCalendarPopup(true);
    totals->setObjectName("reportTotals");
    totals->setWordWrap(true);
    serial->setObjectName("serialLookup");
    serial->setPlaceholderText("type or scan a serial number or a board's label, then Enter");
    serial->setClearButtonEnabled(true);
    rows->setHorizontalHeaderLabels({"station", "image", "hour", "boards", "done", "failed",
                                     "yield", "first pass", "boards/h"});
    steps->setHorizontalHeaderLabels({"time", "event", "station", "run", "slot", "board",
                                      "attempts", "result", "reason", "number"});

    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel("day"));
    top->addWidget(day);
    top->addWidget(totals, 1);
    auto *lookup = new QHBoxLayout;
    lookup->addWidget(new QLabel("serial number"));
    lookup->addWidget(serial, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(table, 2);
    layout->addWidget(lots, 1);
    layout->addLayout(lookup);
    layout->addWidget(historyTitle);
    layout->addWidget(history, 1);

    timer.setInterval(RefreshMs);
    connect(&timer, &QTimer::timeout, this, &ReportView::refresh);
    connect(day, &QDateEdit::dateChanged, this, &ReportView::refresh);
    connect(serial, &QLineEdit::returnPressed, this, [this] {
        lookUp(serial->text().trimmed());
        // Ready for the next scan at once.
        serial->selectAll();
    });
    connect(&reading, &QFutureWatcher<Day>::finished, this, &ReportView::showDay);
    connect(&looking, &QFutureWatcher<History>::finished, this, &ReportView::showHistory);
    totals->setText("no store");
}

ReportView::~ReportView()
{
    reading.waitForFinished();
    looking.waitForFinished();
}

void ReportView::setStore(const std::optional<StoreUrl> &url)
{
    store = url;
    rows->removeRows(0, rows->rowCount());
    steps->removeRows(0, steps->rowCount());
    historyTitle->clear();
    lots->setStore(store);
    totals->setText(store ? QString("store %1").arg(store->display()) : QString("no store"));
    if (isVisible())
        refresh();
}

void ReportView::refresh()
{
    // One read at a time: a slow server is not asked again before it answered.
    if (!store || reading.isRunning())
        return;
    const QDateTime from(day->date(), QTime(0, 0));
    const QDateTime to = from.addDays(1);
    lots->refresh(from.toUTC(), to.toUTC());
    reading.setFuture(QtConcurrent::run([url = *store, from, to] {
        Day read;
        Report report(url);
        read.totals = report.totals(from.toUTC(), to.toUTC(), &read.error);
        if (read.totals) {
            const auto found = report.rows(from.toUTC(), to.toUTC(), &read.error);
            if (found)
                read.rows = *found;
        }
        report.closeThread();
        return read;
    }));
}

void ReportView::lookUp(const QString &number)
{
    if (!store || number.isEmpty() || looking.isRunning())
        return;
    looking.setFuture(QtConcurrent::run([url = *store, number] {
        History read{number, std::nullopt, QString(), false};
        Report report(url);
        read.steps = report.history(number, &read.error);
        report.closeThread();
        // A number the store never heard of may be a board's printed label.
        if (read.steps && read.steps->isEmpty()) {
            LabelHistory labels(url);
            const auto boards = labels.of(number, &read.error);
            labels.closeThread();
            read.steps.reset();
            if (boards)
                read.steps = stepsOf(*boards);
            read.byLabel = boards && !boards->isEmpty();
        }
        return read;
    }));
}

void ReportView::showDay()
{
    const Day read = reading.result();
    if (!read.totals) {
        totals->setText(read.error);
        emit refreshed();
        return;
    }
    const Report::Totals &t = *read.totals;
    const QString said = QString("%1 boards, %2 done, %3 failed, yield %4, first pass %5, "
                                 "%6 boards/h")
                             .arg(t.boards)
                             .arg(t.done)
                             .arg(t.failed)
                             .arg(percent(t.yield), percent(t.firstPassYield))
                             .arg(t.boardsPerHour, 0, 'f', 1);
    totals->setText(said);
    totals->setAccessibleDescription(said);
    rows->removeRows(0, rows->rowCount());
    for (const Report::Row &row : read.rows) {
        QList<QStandardItem *> cells;
        for (const QString &text :
             {row.station, row.image.left(ShownShaDigits),
              row.hour.toLocalTime().toString("yyyy-MM-dd HH:00"),
              QString::number(row.totals.boards), QString::number(row.totals.done),
              QString::number(row.totals.failed), percent(row.totals.yield),
              percent(row.totals.firstPassYield),
              QString::number(row.totals.boardsPerHour, 'f', 1)})
            cells << new QStandardItem(text);
        cells[1]->setToolTip(row.image);
        rows->appendRow(cells);
    }
    table->resizeColumnsToContents();
    emit refreshed();
}

void ReportView::showHistory()
{
    const History read = looking.result();
    steps->removeRows(0, steps->rowCount());
    if (!read.steps)
        historyTitle->setText(read.error);
    else if (read.steps->isEmpty())
        historyTitle->setText(QString("the store has never heard of %1").arg(read.serial));
    else if (read.byLabel)
        historyTitle->setText(
            QString("label %1: %2 boards").arg(read.serial).arg(read.steps->size()));
    else
        historyTitle->setText(QString("%1: %2 steps").arg(read.serial).arg(read.steps->size()));
    if (read.steps)
        for (const Report::Step &step : *read.steps) {
            QList<QStandardItem *> cells;
            for (const QString &text :
                 {step.time.isValid() ? step.time.toLocalTime().toString("yyyy-MM-dd HH:mm:ss")
                                      : QString("-"),
                  step.event, step.station.isEmpty() ? QString("-") : step.station,
                  orDash(step.run), orDash(step.slot), orDash(step.board), orDash(step.attempts),
                  step.result, step.reason, step.number})
                cells << new QStandardItem(text);
            steps->appendRow(cells);
        }
    history->resizeColumnsToContents();
    history->setAccessibleDescription(historyTitle->text());
    emit lookedUp();
}

void ReportView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
    timer.start();
}

void ReportView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    timer.stop();
}
