#pragma once

#include "download/image.h"
#include "station/jobfile.h"
#include "station/stationrun.h"

#include <QFutureWatcher>
#include <QObject>

#include <optional>

// Reads a job, its image (the serial scheme checked against it) and a look at its store on a
// worker thread: a store across a network never holds up the window.
class JobLoader : public QObject
{
    Q_OBJECT

public:
    struct Loaded {
        std::optional<Job> job;
        std::optional<Image> image;
        StationRun::Look look; // the job's store as it was read
        QString error;         // of the job, else of its image; empty when both were read
    };

    explicit JobLoader(QObject *parent = nullptr);
    ~JobLoader() override;

    void open(const QString &path);
    bool isBusy() const { return loading.isRunning(); }

signals:
    void loaded(const JobLoader::Loaded &result);

private:
    static Loaded load(const QString &path);

    QFutureWatcher<Loaded> loading;
};
