#pragma once

#include "download/image.h"
#include "station/imagesummary.h"
#include "station/runplan.h"
#include "station/stationrun.h"

#include <QString>
#include <QVector>

// What a run of a job would do, as rows of a name and a value: what `lumedra-cli --job FILE
// --check` prints and what the station window's Job tab shows, written once. A row without a
// name goes on with the one before it.
namespace JobSummary
{
using Row = ImageSummary::Row;

// `look`: the plan's store as it is now, for the numbering and the store's rows.
QVector<Row> rows(const RunPlan &plan, const Image &image, const StationRun::Look &look);
// A store as a look found it: "sqlite:/srv/line/boards.sqlite: reachable, schema version 3; ...".
QString store(const StationRun::Look &look, bool numbered);
// The rows as aligned lines of text.
QString text(const QVector<Row> &rows);
} // namespace JobSummary
