#pragma once

#include "download/image.h"
#include "station/boardlog.h"
#include "station/jobfile.h"
#include "station/session.h"

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
class RecentBoards;
class SlotTile;
class TotalsBar;

// The station for the technicians beside the fixture: a tile per slot, the totals and the most
// recent boards, Start and Stop. A view on the station library's session and state: the slots
// run on their own threads, and this window only shows what their state says. A job and its
// image are read off the window's thread.
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
        JobFile::Load job;
        ImageLoad image;
        std::shared_ptr<BoardLog> log;
        QString logError;
    };
    static Loaded load(const QString &path);

    void onLoaded();
    void showJob();
    void buildTiles();
    void onEvent(const BoardEvent &event);
    void onFinished();
    void redraw();
    void confirmStop(const std::function<void()> &then);
    int boardsMidImage() const;
    void updateActions();
    void chooseJob();
    void showProblem(const QString &text);

    const bool lockedByCommand;
    std::optional<Job> job;
    std::optional<Image> image;
    std::shared_ptr<BoardLog> log;
    std::unique_ptr<Session> session;
    bool running = false;
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
    QAction *openAction;
    QAction *startAction;
    QAction *stopAction;
    QAction *alarmAction;

    QSet<int> dirty;
    int ticks = 0;
    QTimer redrawTimer;
    QFileSystemWatcher imageWatcher;
    QFutureWatcher<Loaded> loading;
};
