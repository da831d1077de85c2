#pragma once

#include "download/image.h"
#include "station/boardevent.h"
#include "station/jobfile.h"
#include "station/stationrun.h"
#include "stationui/jobloader.h"
#include "stationui/runcontrol.h"

#include <QFileSystemWatcher>
#include <QMainWindow>
#include <QTimer>

#include <optional>

class QAction;
class QLabel;
class JobPage;
class NoticesBanner;
class RecentBoards;
class RecentTable;
class Session;
class ReportView;
class ScanField;
class StoreView;
class TileGrid;
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
    void begin(const OperatorLot &operatorLot); // the run, with what the Start dialog answered
    void onLoaded(const JobLoader::Loaded &loaded);
    void onFailed(const QString &error);
    void onSessionMade(Session &session);
    void onStarted();
    void onSessionEnded();
    void onRunFinished();
    Session *session() const;
    void showJobStatus();
    // A locked job that does not pin its image says so: a replaced file would go unnoticed.
    void showPin();
    void onEvent(const BoardEvent &event);
    void redraw(bool all); // all: every tile, for the times; else those that changed
    void showStore();
    void confirmStop(const std::function<void()> &then);
    int boardsMidImage() const;
    void updateActions();
    void chooseJob();
    void showProblem(const QString &text);

    const bool lockedByCommand;
    std::optional<Job> job;
    std::optional<Image> image;
    StationRun::Look look; // the job's store as it was when the job was read
    bool closeWhenStopped = false;
    bool startWhenLoaded = false;

    TotalsBar *totals;
    RecentBoards *recent;
    QVector<BoardEvent> results; // for the recent boards, at the next redraw
    RecentTable *table;
    TileGrid *grid;
    JobPage *jobPage;
    QLabel *problem;
    QLabel *imageWarning;
    QLabel *pinWarning;
    NoticesBanner *notices;
    ScanField *scanField;
    StoreView *storeView;
    ReportView *report;
    QAction *openAction;
    QAction *startAction;
    QAction *stopAction;
    QAction *alarmAction;

    QTimer redrawTimer;
    QTimer clockTimer;
    QFileSystemWatcher imageWatcher;
    JobLoader loader;
    // Last, so that it goes first: the slots' threads end before the tiles go.
    RunControl control;
};
