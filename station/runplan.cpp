#include "station/runplan.h"

#include "station/runvalues.h"

#include <QFileInfo>

RunPlan RunPlan::fromJob(const Job &job, const QString &invocation)
{
    RunPlan plan;
    plan.settings = job.settings;
    plan.image = job.image;
    plan.log = job.log;
    plan.db = job.db;
    plan.stationId = job.stationId;
    plan.invocation = invocation;
    plan.job = job;
    plan.operatorLot = job.operatorLot;
    QString unused;
    // A job's slots were checked when it was read: none is named twice.
    targetsOf(job.targets(), true, &plan.targets, &unused);
    return plan;
}

bool RunPlan::targetsOf(const Targets &given, bool station, Targets *targets, QString *error,
                        int *twice)
{
    QStringList canonical;
    targets->clear();
    for (const Target &target : given) {
        // A station's pattern may match several ports: slots with the same one share them out.
        if (station && RunValues::isPattern(target.path)) {
            *targets << target;
            continue;
        }
        const QFileInfo info(target.path);
        // Symbolic links such as /dev/serial/by-path/... name the same device as their target.
        const QString same = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
        if (canonical.contains(same)) {
            *error = QString("port %1 is named twice").arg(target.given);
            if (twice)
                *twice = int(targets->size());
            return false;
        }
        canonical << same;
        *targets << target;
    }
    return true;
}
