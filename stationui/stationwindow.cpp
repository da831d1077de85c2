#include "stationui/stationwindow.h"

#include "station/jobsummary.h"
#include "station/outcome.h"
#include "station/session.h"
#include "stationui/jobpage.h"
#include "stationui/noticesbanner.h"
#include "stationui/recentboards.h"
#include "stationui/recenttable.h"
#include "stationui/reportview.h"
#include "stationui/scanfield.h"
#include "stationui/startdialog.h"
#include "stationui/stationpage.h"
#include "stationui/storeview.h"
#include "stationui/tilegrid.h"
#include "stationui/totalsbar.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace
{
constexpr int RedrawMs = 100; // 64 slots flashing at once redraw at most this often
constexpr int ClockMs = 1000; // the times in the tiles move once a second
const QString AlarmKey = QStringLiteral("alarm");

} // namespace

StationWindow::StationWindow(bool locked, QWidget *parent)
    : QMainWindow(parent), lockedByCommand(locked), totals(new TotalsBar),
      recent(new RecentBoards(this)), table(new RecentTable(recent)), grid(new TileGrid),
      jobPage(new JobPage), problem(new QLabel), imageWarning(new QLabel), pinWarning(new QLabel),
      notices(new NoticesBanner), scanField(new ScanField), storeView(new StoreView),
      report(new ReportView)
{
    setWindowTitle("Lumedra station");
    setWindowIcon(QIcon::fromTheme("lumedra"));

    QToolBar *tools = addToolBar("Station");
    tools->setObjectName("tools");
    tools->setMovable(false);
    tools->setToolButtonStyle(Qt::ToolButtonTextOnly);
    openAction = tools->addAction("Open job…", this, &StationWindow::chooseJob);
    startAction = tools->addAction("Start", this, &StationWindow::start);
    stopAction = tools->addAction("Stop", this, &StationWindow::stop);
    tools->addSeparator();
    alarmAction = tools->addAction("Alarm on failure");
    alarmAction->setCheckable(true);
    alarmAction->setChecked(QSettings().value(AlarmKey, true).toBool());
    connect(alarmAction, &QAction::toggled, this,
            [](bool on) { QSettings().setValue(AlarmKey, on); });
    QFont big = font();
    big.setPointSizeF(big.pointSizeF() * 1.3);
    big.setBold(true);
    for (QAction *action : {openAction, startAction, stopAction})
        action->setFont(big);
    openAction->setObjectName("openJob");
    startAction->setObjectName("start");
    stopAction->setObjectName("stop");
    alarmAction->setObjectName("alarm");

    for (QLabel *banner : {problem, imageWarning, pinWarning}) {
        banner->setWordWrap(true);
        banner->setStyleSheet("QLabel { background: #fff3b0; color: #5a3d00; padding: 6px; "
                              "font-weight: bold; }");
        banner->hide();
    }
    problem->setObjectName("problem");
    imageWarning->setObjectName("imageWarning");
    pinWarning->setObjectName("pinWarning");
    pinWarning->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *tabs = new QTabWidget;
    tabs->addTab(new StationPage(grid, table), "Station");
    tabs->addTab(jobPage, "Job");
    tabs->addTab(report, "Report");

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(totals);
    layout->addWidget(storeView);
    layout->addWidget(problem);
    layout->addWidget(imageWarning);
    layout->addWidget(pinWarning);
    layout->addWidget(notices);
    layout->addWidget(scanField);
    layout->addWidget(tabs, 1);
    setCentralWidget(central);
    statusBar()->showMessage("no job");

    connect(&loader, &JobLoader::loaded, this, &StationWindow::onLoaded);
    connect(&control, &RunControl::failed, this, &StationWindow::onFailed);
    connect(&control, &RunControl::prepared, this,
            [this](const StationRun &run) { notices->showStart(run.warnings(), run.voided()); });
    connect(&control, &RunControl::sessionMade, this, &StationWindow::onSessionMade);
    connect(&control, &RunControl::started, this, &StationWindow::onStarted);
    connect(&control, &RunControl::sessionEnded, this, &StationWindow::onSessionEnded);
    connect(&control, &RunControl::finished, this, &StationWindow::onRunFinished);
    // Changes are drawn together, at most every RedrawMs; with none, only the clocks move.
    redrawTimer.setSingleShot(true);
    connect(&redrawTimer, &QTimer::timeout, this, [this] { redraw(false); });
    connect(&clockTimer, &QTimer::timeout, this, [this] { redraw(true); });
    connect(&imageWatcher, &QFileSystemWatcher::fileChanged, this, [this] {
        imageWarning->setText(
            QString("%1 changed on disk. This station keeps flashing the image it read when the "
                    "job was opened (SHA-256 %2…); open the job again for the new file.")
                .arg(image->path, QString::fromLatin1(image->sha256.left(12))));
        imageWarning->show();
    });
    updateActions();
}

StationWindow::~StationWindow() = default;

bool StationWindow::isLocked() const
{
    return lockedByCommand || (job && job->locked);
}

bool StationWindow::isRunning() const
{
    return control.isRunning();
}

void StationWindow::openJob(const QString &path, bool startAfter)
{
    if (isRunning() || loader.isBusy())
        return;
    startWhenLoaded = startAfter;
    statusBar()->showMessage("reading " + path);
    loader.open(path);
    updateActions();
}

void StationWindow::onLoaded(const JobLoader::Loaded &loaded)
{
    if (!loaded.image) {
        showProblem(loaded.error);
        statusBar()->showMessage(job ? "still the job " + job->path : "no job");
        updateActions();
        emit jobLoaded(false);
        return;
    }
    showProblem(QString());
    job = loaded.job;
    image = loaded.image;
    look = loaded.look;
    if (!imageWatcher.files().isEmpty())
        imageWatcher.removePaths(imageWatcher.files());
    imageWatcher.addPath(image->path);
    imageWarning->hide();
    notices->hide();
    control.forget();
    recent->clear();
    totals->clear();
    totals->showImage(*image);
    showPin();
    grid->build(*job);
    jobPage->show(RunPlan::fromJob(*job, {}), *image, look);
    report->setStore(look.url);
    if (look.url)
        storeView->showLook(JobSummary::store(look, job->settings.serial.has_value()), !look.store);
    else
        storeView->hide();
    setWindowTitle(
        QString("Lumedra station — %1%2")
            .arg(job->stationId.isEmpty() ? QFileInfo(job->path).fileName() : job->stationId,
                 isLocked() ? " (locked)" : ""));
    showJobStatus();
    updateActions();
    emit jobLoaded(true);
    if (startWhenLoaded)
        start();
}

void StationWindow::start()
{
    if (!job || isRunning() || loader.isBusy())
        return;
    StartDialog::ask(job->operatorLot, this, [this](const OperatorLot &who) { begin(who); });
}

void StationWindow::begin(const OperatorLot &operatorLot)
{
    if (!job || isRunning() || loader.isBusy())
        return;
    showProblem(QString());
    notices->hide();
    RunPlan plan = RunPlan::fromJob(*job, "lumedra-station " + job->path);
    plan.operatorLot = operatorLot;
    // The image read when the job was opened is the one flashed, whatever the file holds now.
    control.start(plan, *image);
    statusBar()->showMessage("starting: reaching the record store");
    updateActions();
}

void StationWindow::onFailed(const QString &error)
{
    showProblem(error);
    statusBar()->showMessage("not started");
    updateActions();
    emit stopped();
}

void StationWindow::onSessionMade(Session &session)
{
    connect(&session.state(), &StationState::slotChanged, this, [this](int index) {
        grid->changed(index);
        if (!redrawTimer.isActive())
            redrawTimer.start(RedrawMs);
    });
    connect(&session, &Session::event, this, &StationWindow::onEvent);
    connect(&session, &Session::logLost, this, [this](const QString &reason) {
        showProblem(reason + "; the boards under way finish and the station stops");
    });
    recent->clear();
    results.clear();
    scanField->attach(&session);
}

void StationWindow::onStarted()
{
    clockTimer.start(ClockMs);
    redraw(true);
    showJobStatus();
    updateActions();
    emit started();
}

Session *StationWindow::session() const
{
    return control.session();
}

void StationWindow::stop()
{
    if (!isRunning())
        return;
    confirmStop([this] { control.stop(); });
}

void StationWindow::confirmStop(const std::function<void()> &then)
{
    const int busy = boardsMidImage();
    if (busy == 0) {
        then();
        return;
    }
    auto *box = new QMessageBox(
        QMessageBox::Warning, "Stop the station",
        QString("%1 %2 mid-image. Stop now? %3 as stopped and must be flashed again.")
            .arg(busy)
            .arg(busy == 1 ? "board is" : "boards are")
            .arg(busy == 1 ? "It ends" : "They end"),
        QMessageBox::Yes | QMessageBox::No, this);
    box->setObjectName("confirmStop");
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, then](int answer) {
        if (answer == QMessageBox::Yes && isRunning())
            then();
        else
            closeWhenStopped = false;
    });
    box->open();
}

int StationWindow::boardsMidImage() const
{
    int busy = 0;
    if (session())
        for (const SlotState &slot : session()->state().slotStates())
            busy += slot.phase == SlotPhase::Flashing;
    return busy;
}

void StationWindow::onEvent(const BoardEvent &event)
{
    if (event.kind != BoardEvent::Kind::Result)
        return;
    results << event;
    if (!redrawTimer.isActive())
        redrawTimer.start(RedrawMs);
    const bool failed = event.outcome != Outcome::Done && event.outcome != Outcome::Stopped;
    if (failed && alarmAction->isChecked()) {
        QApplication::beep();
        emit alarm();
    }
}

void StationWindow::onSessionEnded()
{
    scanField->attach(nullptr);
    redrawTimer.stop();
    clockTimer.stop();
    redraw(true);
}

void StationWindow::onRunFinished()
{
    updateActions();
    emit stopped();
    if (closeWhenStopped)
        close();
}

void StationWindow::redraw(bool all)
{
    recent->add(results);
    results.clear();
    if (!session())
        return;
    const StationState &state = session()->state();
    showStore();
    grid->show(state, all);
    totals->show(state);
}

void StationWindow::showStore()
{
    // The recorder's status is kept as it goes: reading it never waits on the store.
    const StationRun *run = control.run();
    if (run && run->recorder() && run->store())
        storeView->show(*run->store(), run->recorder()->status(),
                        run->settings().serial.has_value());
}

void StationWindow::updateActions()
{
    const bool busy = loader.isBusy();
    const bool running = isRunning();
    openAction->setEnabled(!isLocked() && !running && !busy);
    alarmAction->setEnabled(!isLocked());
    startAction->setEnabled(job.has_value() && !running && !busy);
    stopAction->setEnabled(running);
}

void StationWindow::chooseJob()
{
    if (isLocked() || isRunning())
        return;
    auto *dialog =
        new QFileDialog(this, "Open a job", QString(), "Jobs (*.job *.ini);;All files (*)");
    dialog->setObjectName("jobDialog");
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this,
            [this](const QString &path) { openJob(path); });
    dialog->open();
}

void StationWindow::showProblem(const QString &text)
{
    problem->setText(text);
    problem->setVisible(!text.isEmpty());
}

void StationWindow::showJobStatus()
{
    statusBar()->showMessage(QString("job %1, %2 slots%3")
                                 .arg(job->path)
                                 .arg(job->slotList.size())
                                 .arg(isLocked() ? ", locked: start, stop and read only" : ""));
}

void StationWindow::showPin()
{
    const bool unpinned = isLocked() && !image->pinned;
    pinWarning->setText(unpinned ? QString("This locked job does not pin its image: add "
                                           "image-sha256 = %1 to the job, and a replaced file "
                                           "will be refused before any board gets it.")
                                       .arg(QString::fromLatin1(image->sha256))
                                 : QString());
    pinWarning->setVisible(unpinned);
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (!isRunning()) {
        event->accept();
        return;
    }
    // The window goes once every slot has ended and its port is closed.
    event->ignore();
    if (closeWhenStopped)
        return;
    closeWhenStopped = true;
    stop();
}
