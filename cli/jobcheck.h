#pragma once

#include "download/image.h"
#include "station/job.h"
#include "station/runsettings.h"
#include "station/target.h"

#include <QString>

// What `lumedra-cli --job FILE --check` prints: what a run of the job would do, as the command
// line's options left it, and what each slot matches now.
namespace JobCheck
{
QString text(const Job &job, const Targets &targets, const RunSettings &settings,
             const QString &logPath);
}
