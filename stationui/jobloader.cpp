#include "stationui/jobloader.h"

#include <QtConcurrent>

JobLoader::JobLoader(QObject *parent) : QObject(parent)
{
    connect(&loading, &QFutureWatcher<Loaded>::finished, this,
            [this] { emit loaded(loading.result()); });
}

JobLoader::~JobLoader()
{
    loading.waitForFinished();
}

void JobLoader::open(const QString &path)
{
    loading.setFuture(QtConcurrent::run(&JobLoader::load, path));
}

JobLoader::Loaded JobLoader::load(const QString &path)
{
    Loaded loaded;
    loaded.job = JobFile::load(path, &loaded.error);
    if (!loaded.job)
        return loaded;
    const RunPlan plan = RunPlan::fromJob(*loaded.job, {});
    loaded.image = StationRun::readImage(plan, &loaded.error);
    if (loaded.image)
        loaded.look = StationRun::lookAtStore(plan);
    return loaded;
}
