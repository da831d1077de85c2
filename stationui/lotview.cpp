#include "stationui/lotview.h"

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
constexpr int PercentScale = 100;

QString percent(double fraction)
{
    return QString("%1 %").arg(PercentScale * fraction, 0, 'f', 1);
}

QString local(const QDateTime &time)
{
    return time.toLocalTime().toString("yyyy-MM-dd HH:mm:ss");
}

QString lotName(const LotReport::Lot &lot)
{
    return lot.lot.isEmpty() ? QStringLiteral("(no lot)") : lot.lot;
}
} // namespace

LotView::LotView(QWidget *parent)
    : QWidget(parent), rows(new QStandardItemModel(this)), table(new QTableView),
      field(new QLineEdit), summary(new QLabel)
{
    table->setObjectName("lotReport");
    table->setModel(rows);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->horizontalHeader()->setStretchLastSection(true);
    rows->setHorizontalHeaderLabels({"lot", "operators", "boards", "done", "failed", "yield",
                                     "first pass", "first board", "last board", "serial numbers"});
    field->setObjectName("lotLookup");
    field->setPlaceholderText("type or scan a lot, then Enter");
    field->setClearButtonEnabled(true);
    summary->setObjectName("lotSummary");
    summary->setWordWrap(true);
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *lookup = new QHBoxLayout;
    lookup->addWidget(new QLabel("lot"));
    lookup->addWidget(field, 1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table, 1);
    layout->addLayout(lookup);
    layout->addWidget(summary);

    connect(field, &QLineEdit::returnPressed, this, [this] {
        lookUp(field->text().trimmed());
        // Ready for the next scan at once.
        field->selectAll();
    });
    connect(&reading, &QFutureWatcher<Read>::finished, this, &LotView::showLots);
    connect(&looking, &QFutureWatcher<Read>::finished, this, &LotView::showLot);
}

LotView::~LotView()
{
    reading.waitForFinished();
    looking.waitForFinished();
}

void LotView::setStore(const std::optional<StoreUrl> &url)
{
    store = url;
    rows->removeRows(0, rows->rowCount());
    summary->clear();
}

void LotView::refresh(const QDateTime &from, const QDateTime &to)
{
    // One read at a time: a slow server is not asked again before it answered.
    if (!store || reading.isRunning())
        return;
    reading.setFuture(QtConcurrent::run([url = *store, from, to] {
        Read read;
        LotReport report(url);
        read.lots = report.lots(from, to, &read.error);
        report.closeThread();
        return read;
    }));
}

void LotView::lookUp(const QString &lot)
{
    if (!store || lot.isEmpty() || looking.isRunning())
        return;
    looking.setFuture(QtConcurrent::run([url = *store, lot] {
        Read read{lot, std::nullopt, QString()};
        LotReport report(url);
        read.lots = report.lot(lot, QDateTime(), QDateTime(), &read.error);
        report.closeThread();
        return read;
    }));
}

void LotView::showLots()
{
    const Read read = reading.result();
    rows->removeRows(0, rows->rowCount());
    if (read.lots)
        for (const LotReport::Lot &lot : *read.lots) {
            QList<QStandardItem *> cells;
            for (const QString &text :
                 {lotName(lot), lot.operators.join(", "), QString::number(lot.boards),
                  QString::number(lot.done), QString::number(lot.failed), percent(lot.yield),
                  percent(lot.firstPassYield), local(lot.first), local(lot.last),
                  LotReport::ranges(lot.serials).join(' ')})
                cells << new QStandardItem(text);
            rows->appendRow(cells);
        }
    table->resizeColumnsToContents();
    table->setAccessibleDescription(read.lots ? QString("%1 lots").arg(read.lots->size())
                                              : read.error);
    emit refreshed();
}

void LotView::showLot()
{
    const Read read = looking.result();
    QString said;
    if (!read.lots) {
        said = read.error;
    } else if (read.lots->isEmpty()) {
        said = QString("the store has no board of lot %1").arg(read.lot);
    } else {
        const LotReport::Lot &lot = read.lots->first();
        const QStringList serials = LotReport::ranges(lot.serials);
        said = QString("lot %1: %2 boards, %3 done, %4 failed, yield %5, first pass %6; "
                       "operators %7; first board %8, last %9; serial numbers %10")
                   .arg(lot.lot)
                   .arg(lot.boards)
                   .arg(lot.done)
                   .arg(lot.failed)
                   .arg(percent(lot.yield), percent(lot.firstPassYield),
                        lot.operators.isEmpty() ? QString("none") : lot.operators.join(", "),
                        local(lot.first), local(lot.last),
                        serials.isEmpty() ? QString("none") : serials.join(' '));
    }
    summary->setText(said);
    summary->setAccessibleDescription(said);
    emit lookedUp();
}
