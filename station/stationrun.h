#pragma once

#include "records/recordstore.h"
#include "records/storelook.h"
#include "records/storeurl.h"
#include "station/runplan.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <optional>

class BoardLog;
class QThread;
class Recorder;
class RecordSpool;
class Session;
class StoreKeeper;

// One run, put together once for every view: the image read and the serial scheme checked
// against it, the record store reached (the default one where none is named), what an earlier
// run left in the spool written, the recorder started, the log opened, and then the session.
// Everything before the first port opens happens in prepare(), on any thread, and fails with an
// error instead of exiting; a window does it off its own thread, which never waits on a store.
class StationRun
{
public:
    // `home`: the thread the session will live on (a view's own); the log is handed to it.
    // `read`: the image as the view already read it; otherwise it is read now.
    static std::unique_ptr<StationRun> prepare(const RunPlan &plan, QThread *home, QString *error,
                                               const std::optional<Image> &read = std::nullopt);
    // The plan's image, read whole, with the serial scheme checked against it: what a check of
    // the plan reads, and the first thing prepare() does.
    static std::optional<Image> readImage(const RunPlan &plan, QString *error);
    // The store a plan's run records in: the one it names, else the default one for a station or
    // numbered boards; none (and true) for a plain run without numbers.
    static bool storeOf(const RunPlan &plan, std::optional<StoreUrl> *url, QString *error);
    // What the plan's store holds now, read without changing it, for a check of the plan.
    struct Look {
        std::optional<StoreUrl> url; // none: the run keeps no store
        std::optional<StoreLook> store;
        QString error; // why the store could not be read
    };
    static Look lookAtStore(const RunPlan &plan);
    ~StationRun();
    StationRun(const StationRun &) = delete;
    StationRun &operator=(const StationRun &) = delete;

    // Made once, on the home thread.
    Session &createSession();
    Session *session() const { return sessionPtr.get(); }
    // After the session has finished: the recorder stops (what it still holds goes back to the
    // store) and then the log closes. Waits on the store: a window calls it off its thread.
    void finish();

    const RunPlan &plan() const { return runPlan; }
    // The plan's settings with the image read.
    const RunSettings &settings() const { return runSettings; }
    // Numbers that runs which are gone had sent out to boards, voided as this run started.
    const QVector<RecordStore::Voided> &voided() const { return voidedAtStart; }
    // What a view shows as the run starts, a line each: an image too big for the store to keep.
    const QStringList &warnings() const { return startWarnings; }
    Recorder *recorder() const { return recorderPtr.get(); }
    // The store this run records in; none for a plain run without serial numbers.
    const std::optional<StoreUrl> &store() const { return storeUrl; }
    // The station's name in the store: the plan's, or the host name.
    QString stationId() const;

private:
    StationRun() = default;
    static std::optional<Image> checked(const RunPlan &plan, const Image &image, QString *error);
    bool reachStore(QString *error);

    RunPlan runPlan;
    RunSettings runSettings;
    std::optional<StoreUrl> storeUrl;
    std::unique_ptr<RecordStore> storePtr;
    std::unique_ptr<RecordSpool> spool;
    std::unique_ptr<Recorder> recorderPtr;
    std::unique_ptr<StoreKeeper> keeper;
    QVector<RecordStore::Voided> voidedAtStart;
    QStringList startWarnings;
    std::unique_ptr<BoardLog> log;
    std::unique_ptr<Session> sessionPtr;
    bool finished = false;
};
