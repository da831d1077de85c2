#pragma once

#include "download/image.h"
#include "station/boardevent.h"
#include "station/jobfile.h"
#include "station/stationrun.h"

#include <QFileSystemWatcher>
#include <QFutureWatcher>
#include <QMainWindow>
#include <QSet>
#include <QTimer>

#include <memory>
#include <optional>

class QAction;
class QFormLayout;
class QGridLayout;
class QLabel;
class QTableView;
class NoticesBanner;
class RecentBoards;
class Session;
class ReportView;
class StoreView;
class SlotTile;
class TotalsBar;

// The station for the technicians beside the fixture: a tile per slot, the totals and the most
// recent boards, Start and Stop. A view on the station library's run and its state: the slots
// run on their own threads, and this window only shows what their state says. A job and its
// image are read, and a run is prepared and finished, off the window's thread, which never
// waits on the record store.
class StationWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit StationWindow(bool locked, QWidget *parent = nullptr);
    ~StationWindow() override;

    // Reads the job and its image, then shows them (and starts, if asked); jobLoaded tells.
    void openJob(const QString &path, bool startWhenLoaded = false);
    bool isLocked() const;
    bool isRunning() const;
    const RecentBoards &recentBoards() const { return *recent; }

public slots:
    void start();
    void stop(); // asks first while boards are mid-image

signals:
    void jobLoaded(bool ok);
    void started();
    void stopped(); // the run is over, every port closed
    void alarm();   // a board failed, and the alarm is on

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    struct Loaded {
        std::optional<Job> job;
        QString jobError;
        std::optional<Image> image; // with the serial scheme checked against it
        QString imageError;
        StationRun::Look look; // the job's store as it was read
    };
    static Loaded load(const QString &path);
    struct Prepared {
        std::shared_ptr<StationRun> run;
        QString error;
    };

    void onLoaded();
    void onPrepared();
    void onRunFinished();
    Session *session() const;
    void showJob();
    void buildTiles();
    void onEvent(const BoardEvent &event);
    void onFinished();
    void redraw(bool all);
    void showStore(); // all: every tile, for the times; else those that changed
    void confirmStop(const std::function<void()> &then);
    int boardsMidImage() const;
    void updateActions();
    void chooseJob();
    void showProblem(const QString &text);

    const bool lockedByCommand;
    std::optional<Job> job;
    std::optional<Image> image;
    StationRun::Look look; // the job's store as it was when the job was read
    std::shared_ptr<StationRun> run;
    bool running = false;   // from Start until the run is over and finished
    bool stopAsked = false; // Stop came while the run was being prepared
    bool closeWhenStopped = false;
    bool startWhenLoaded = false;

    QVector<SlotTile *> tiles;
    TotalsBar *totals;
    RecentBoards *recent;
    QTableView *table;
    QWidget *grid;
    QGridLayout *gridLayout;
    QFormLayout *jobForm;
    QLabel *problem;
    QLabel *imageWarning;
    NoticesBanner *notices;
    StoreView *storeView;
    ReportView *report;
    QAction *openAction;
    QAction *startAction;
    QAction *stopAction;
    QAction *alarmAction;

    QSet<int> dirty;
    QTimer redrawTimer;
    QTimer clockTimer;
    QFileSystemWatcher imageWatcher;
    QFutureWatcher<Loaded> loading;
    QFutureWatcher<Prepared> preparing;
    QFutureWatcher<void> finishing;
};
