#pragma once

#include "download/image.h"
#include "station/runplan.h"
#include "station/stationrun.h"

#include <QScrollArea>

class QFormLayout;

// The job as a run of it would go, read-only: the rows `lumedra-cli --job FILE --check` prints.
// It scrolls: a numbered job with a store has more rows than a small screen is tall, and the
// window must not grow past the screen for them.
class JobPage : public QScrollArea
{
    Q_OBJECT

public:
    explicit JobPage(QWidget *parent = nullptr);

    void show(const RunPlan &plan, const Image &image, const StationRun::Look &look);

private:
    QFormLayout *form;
};
