#pragma once

#include "download/image.h"
#include "station/runplan.h"
#include "station/stationrun.h"

#include <QWidget>

class QFormLayout;

// The job as a run of it would go, read-only: the rows `lumedra-cli --job FILE --check` prints.
class JobPage : public QWidget
{
    Q_OBJECT

public:
    explicit JobPage(QWidget *parent = nullptr);

    void show(const RunPlan &plan, const Image &image, const StationRun::Look &look);

private:
    QFormLayout *form;
};
