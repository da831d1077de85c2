#include "stationui/jobpage.h"

#include "station/jobsummary.h"

#include <QFormLayout>
#include <QLabel>

JobPage::JobPage(QWidget *parent) : QScrollArea(parent), form(new QFormLayout)
{
    auto *rows = new QWidget;
    rows->setLayout(form);
    setWidget(rows);
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
}

void JobPage::show(const RunPlan &plan, const Image &image, const StationRun::Look &look)
{
    while (form->rowCount() > 0)
        form->removeRow(0);
    QLabel *last = nullptr;
    for (const JobSummary::Row &row : JobSummary::rows(plan, image, look)) {
        // A row without a name goes on with the one before.
        if (row.name.isEmpty() && last) {
            last->setText(last->text() + '\n' + row.value);
            continue;
        }
        last = new QLabel(row.value);
        last->setTextInteractionFlags(Qt::TextSelectableByMouse);
        last->setWordWrap(true);
        form->addRow(row.name, last);
    }
}
