#include "station/stationrun.h"

#include "records/imagearchive.h"
#include "records/numberpools.h"
#include "records/recorder.h"
#include "records/recordspool.h"
#include "station/boardlog.h"
#include "station/session.h"
#include "station/storekeeper.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>

namespace
{
constexpr int SpoolNameDigits = 16;
}

std::unique_ptr<StationRun> StationRun::prepare(const RunPlan &plan, QThread *home, QString *error,
                                                const std::optional<Image> &read)
{
    std::unique_ptr<StationRun> run(new StationRun);
    run->runPlan = plan;
    run->runSettings = plan.settings;
    const std::optional<Image> image = read ? checked(plan, *read, error) : readImage(plan, error);
    if (!image)
        return nullptr;
    run->runSettings.image = *image;
    if (!run->reachStore(error))
        return nullptr;
    if (!plan.log.isEmpty()) {
        run->log = std::make_unique<BoardLog>();
        if (!run->log->open(plan.log, error))
            return nullptr;
        run->log->setStationId(plan.stationId);
        run->log->setOperatorLot(plan.operatorLot.value(OperatorLot::Field::Operator),
                                 plan.operatorLot.value(OperatorLot::Field::Lot));
        if (home && home != QThread::currentThread())
            run->log->moveToThread(home);
    }
    return run;
}

std::optional<Image> StationRun::readImage(const RunPlan &plan, QString *error)
{
    // Read whole and once, before any port opens: every board gets the very same bytes.
    const std::optional<Image> image = Image::load(plan.image, plan.settings.imageSpec, error);
    return image ? checked(plan, *image, error) : std::nullopt;
}

std::optional<Image> StationRun::checked(const RunPlan &plan, const Image &image, QString *error)
{
    const NumberPools pools(plan.settings.serial, plan.settings.pools);
    if (!pools.check(error) || !pools.fits(image.size(), error))
        return std::nullopt;
    return image;
}

bool StationRun::storeOf(const RunPlan &plan, std::optional<StoreUrl> *url, QString *error)
{
    url->reset();
    // A station and any run with serial numbers keep their record in a store.
    if (!plan.db.isEmpty())
        *url = StoreUrl::parse(plan.db, error);
    else if (plan.settings.serial || !plan.settings.pools.isEmpty() || plan.settings.station)
        *url = StoreUrl::defaultSqlite();
    else
        return true;
    return url->has_value();
}

StationRun::Look StationRun::lookAtStore(const RunPlan &plan)
{
    Look look;
    if (storeOf(plan, &look.url, &look.error) && look.url)
        look.store =
            StoreLook::of(*look.url, plan.settings.serial, &look.error, plan.settings.pools);
    return look;
}

bool StationRun::reachStore(QString *error)
{
    if (!storeOf(runPlan, &storeUrl, error))
        return false;
    if (!storeUrl)
        return true;
    storePtr = std::make_unique<RecordStore>(*storeUrl);
    // One spool per store and station: what a crashed run left is written by its successor.
    const QByteArray name =
        QCryptographicHash::hash((storeUrl->display() + '\n' + stationId()).toUtf8(),
                                 QCryptographicHash::Sha1)
            .toHex();
    spool = std::make_unique<RecordSpool>(
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/lumedra/spool/" +
        QString::fromLatin1(name.left(SpoolNameDigits)) + ".jsonl");
    recorderPtr = std::make_unique<Recorder>(storePtr.get(), spool.get(), runSettings.serial,
                                             runSettings.pools);
    const RecordStore::Run run{.station = stationId(),
                               .host = QSysInfo::machineHostName(),
                               .version = QCoreApplication::applicationVersion(),
                               .job = runPlan.invocation,
                               .imageSha256 = QString::fromLatin1(runSettings.image.sha256),
                               .pid = QCoreApplication::applicationPid(),
                               // The slots note each number before its header frame goes out:
                               // after a crash, those that never went out are given back.
                               .notesWentOut = true,
                               .operatorName =
                                   runPlan.operatorLot.value(OperatorLot::Field::Operator),
                               .lot = runPlan.operatorLot.value(OperatorLot::Field::Lot),
                               .image = runSettings.image};
    if (ImageArchive::tooBig(runSettings.image.size()))
        startWarnings << QString("the image (%1 bytes) is over the %2 MiB the record store keeps: "
                                 "it records the image by its SHA-256 only, and cannot give back "
                                 "the bytes a board received")
                             .arg(runSettings.image.size())
                             .arg(ImageArchive::KeptLimit >> 20);
    const bool started = recorderPtr->start(run, &voidedAtStart, error);
    // The connection belongs to this thread, which may be a worker's that goes on to other work.
    recorderPtr->closeThread();
    if (started)
        keeper = std::make_unique<StoreKeeper>(recorderPtr.get());
    return started;
}

StationRun::~StationRun()
{
    // The slots' threads end before the recorder and the log they use.
    sessionPtr.reset();
    if (!finished)
        finish();
}

Session &StationRun::createSession()
{
    sessionPtr =
        std::make_unique<Session>(runPlan.targets, runSettings, log.get(), recorderPtr.get());
    return *sessionPtr;
}

void StationRun::finish()
{
    if (finished)
        return;
    finished = true;
    keeper.reset();
    if (recorderPtr) {
        recorderPtr->stop();
        recorderPtr->closeThread();
    }
    if (log)
        log->close();
}

QString StationRun::stationId() const
{
    return runPlan.stationId.isEmpty() ? QSysInfo::machineHostName() : runPlan.stationId;
}
