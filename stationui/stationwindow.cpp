#include "stationui/stationwindow.h"

#include "station/elide.h"
#include "station/jobsummary.h"
#include "station/outcome.h"
#include "station/session.h"
#include "stationui/noticesbanner.h"
#include "stationui/recentboards.h"
#include "stationui/reportview.h"
#include "stationui/slottile.h"
#include "stationui/storeview.h"
#include "stationui/totalsbar.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QThread>
#include <QToolBar>
#include <QVBoxLayout>
#include <QtConcurrent>

#include <cmath>

namespace
{
constexpr int RedrawMs = 100;  // 64 slots flashing at once redraw at most this often
constexpr int ClockMs = 1000;  // the times in the tiles move once a second
constexpr int TitleWidth = 32; // characters of a port's name on a tile
// Wider than tall: a tile holds a line of words and a large verdict.
constexpr double TileAspect = 1.8;
constexpr int TileShare = 3, TableShare = 1;
const QString AlarmKey = QStringLiteral("alarm");

} // namespace

StationWindow::StationWindow(bool locked, QWidget *parent)
    : QMainWindow(parent), lockedByCommand(locked), totals(new TotalsBar),
      recent(new RecentBoards(this)), table(new QTableView), grid(new QWidget),
      gridLayout(new QGridLayout(grid)), jobForm(new QFormLayout), problem(new QLabel),
      imageWarning(new QLabel), notices(new NoticesBanner), storeView(new StoreView),
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

    for (QLabel *banner : {problem, imageWarning}) {
        banner->setWordWrap(true);
        banner->setStyleSheet("QLabel { background: #fff3b0; color: #5a3d00; padding: 6px; "
                              "font-weight: bold; }");
        banner->hide();
    }
    problem->setObjectName("problem");
    imageWarning->setObjectName("imageWarning");

    table->setModel(recent);
    table->setObjectName("recent");
    table->verticalHeader()->hide();
    // Widths fixed once from the font: sizing to the contents would measure every row again at
    // each new board.
    const QFontMetrics metrics(table->font());
    const char *const widest[RecentBoards::ColumnCount] = {
        "00:00:00__",       "slot__", "000000__",   "LMD-0000000000__",
        "download_error__", "",       "attempts__", "seconds__"};
    for (int column = 0; column < RecentBoards::ColumnCount; ++column)
        table->setColumnWidth(column, metrics.horizontalAdvance(widest[column]));
    table->horizontalHeader()->setSectionResizeMode(RecentBoards::Reason, QHeaderView::Stretch);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(metrics.height() + metrics.height() / 2);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridLayout->setSpacing(6);
    gridLayout->setContentsMargins(0, 0, 0, 0);

    // The tiles first: the table is for reading back, the tiles for a glance.
    auto *stationPage = new QWidget;
    auto *stationLayout = new QVBoxLayout(stationPage);
    stationLayout->setContentsMargins(0, 0, 0, 0);
    stationLayout->addWidget(grid, TileShare);
    stationLayout->addWidget(table, TableShare);
    auto *jobPage = new QWidget;
    jobPage->setLayout(jobForm);
    auto *tabs = new QTabWidget;
    tabs->addTab(stationPage, "Station");
    tabs->addTab(jobPage, "Job");
    tabs->addTab(report, "Report");

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(totals);
    layout->addWidget(storeView);
    layout->addWidget(problem);
    layout->addWidget(imageWarning);
    layout->addWidget(notices);
    layout->addWidget(tabs, 1);
    setCentralWidget(central);
    statusBar()->showMessage("no job");

    connect(&loading, &QFutureWatcher<Loaded>::finished, this, &StationWindow::onLoaded);
    connect(&preparing, &QFutureWatcher<Prepared>::finished, this, &StationWindow::onPrepared);
    connect(&finishing, &QFutureWatcher<void>::finished, this, &StationWindow::onRunFinished);
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

StationWindow::~StationWindow()
{
    loading.waitForFinished();
    preparing.waitForFinished();
    finishing.waitForFinished();
    // The slots' threads end before the tiles go: the run stops them, then settles its record.
    run.reset();
}

bool StationWindow::isLocked() const
{
    return lockedByCommand || (job && job->locked);
}

bool StationWindow::isRunning() const
{
    return running;
}

StationWindow::Loaded StationWindow::load(const QString &path)
{
    Loaded loaded;
    loaded.job = JobFile::load(path, &loaded.jobError);
    if (!loaded.job)
        return loaded;
    const RunPlan plan = RunPlan::fromJob(*loaded.job, {});
    loaded.image = StationRun::readImage(plan, &loaded.imageError);
    if (loaded.image)
        loaded.look = StationRun::lookAtStore(plan);
    return loaded;
}

void StationWindow::openJob(const QString &path, bool startAfter)
{
    if (running || loading.isRunning())
        return;
    startWhenLoaded = startAfter;
    statusBar()->showMessage("reading " + path);
    loading.setFuture(QtConcurrent::run(&StationWindow::load, path));
    updateActions();
}

void StationWindow::onLoaded()
{
    const Loaded loaded = loading.result();
    QString error = loaded.jobError;
    if (loaded.job && !loaded.image)
        error = loaded.imageError;
    if (!error.isEmpty()) {
        showProblem(error);
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
    run.reset();
    recent->clear();
    totals->clear();
    totals->showImage(*image);
    buildTiles();
    showJob();
    report->setStore(look.url);
    if (look.url)
        storeView->showLook(JobSummary::store(look, job->settings.serial.has_value()), !look.store);
    else
        storeView->hide();
    setWindowTitle(
        QString("Lumedra station — %1%2")
            .arg(job->stationId.isEmpty() ? QFileInfo(job->path).fileName() : job->stationId,
                 isLocked() ? " (locked)" : ""));
    statusBar()->showMessage(QString("job %1, %2 slots%3")
                                 .arg(job->path)
                                 .arg(job->slotList.size())
                                 .arg(isLocked() ? ", locked: start, stop and read only" : ""));
    updateActions();
    emit jobLoaded(true);
    if (startWhenLoaded)
        start();
}

void StationWindow::showJob()
{
    while (jobForm->rowCount() > 0)
        jobForm->removeRow(0);
    QLabel *last = nullptr;
    for (const JobSummary::Row &row : JobSummary::rows(RunPlan::fromJob(*job, {}), *image, look)) {
        // A row without a name goes on with the one before.
        if (row.name.isEmpty() && last) {
            last->setText(last->text() + '\n' + row.value);
            continue;
        }
        last = new QLabel(row.value);
        last->setTextInteractionFlags(Qt::TextSelectableByMouse);
        last->setWordWrap(true);
        jobForm->addRow(row.name, last);
    }
}

void StationWindow::buildTiles()
{
    qDeleteAll(tiles);
    tiles.clear();
    const int count = job->slotList.size();
    const SharedAffixes shared = SharedAffixes::of(job->ports());
    const int columns = qMin(count, int(std::ceil(std::sqrt(count * TileAspect))));
    const Targets targets = job->targets();
    for (int i = 0; i < count; ++i) {
        const JobSlot &slot = job->slotList[i];
        const QString title =
            slot.label.isEmpty() ? elide(slot.port, TitleWidth, shared) : slot.label;
        auto *tile = new SlotTile(i + 1, title, job->settings.resets(), grid);
        tile->show(SlotState(targets[i], true));
        gridLayout->addWidget(tile, i / columns, i % columns);
        tiles << tile;
    }
    for (int c = 0; c < columns; ++c)
        gridLayout->setColumnStretch(c, 1);
    for (int r = 0; r < (count + columns - 1) / columns; ++r)
        gridLayout->setRowStretch(r, 1);
}

void StationWindow::start()
{
    if (!job || running || loading.isRunning())
        return;
    running = true;
    stopAsked = false;
    run.reset();
    showProblem(QString());
    notices->hide();
    // The image read when the job was opened is the one flashed, whatever the file holds now.
    const RunPlan plan = RunPlan::fromJob(*job, "lumedra-station " + job->path);
    const Image read = *image;
    QThread *home = thread();
    preparing.setFuture(QtConcurrent::run([plan, read, home] {
        Prepared prepared;
        prepared.run = StationRun::prepare(plan, home, &prepared.error, read);
        return prepared;
    }));
    statusBar()->showMessage("starting: reaching the record store");
    updateActions();
}

void StationWindow::onPrepared()
{
    Prepared prepared = preparing.result();
    run = std::move(prepared.run);
    if (!run) {
        running = false;
        showProblem(prepared.error);
        statusBar()->showMessage("not started");
        updateActions();
        emit stopped();
        return;
    }
    notices->showVoided(run->voided());
    if (stopAsked) {
        finishing.setFuture(QtConcurrent::run([kept = run] { kept->finish(); }));
        return;
    }
    Session &session = run->createSession();
    const StationState &state = session.state();
    connect(&state, &StationState::slotChanged, this, [this](int index) {
        dirty.insert(index);
        if (!redrawTimer.isActive())
            redrawTimer.start(RedrawMs);
    });
    connect(&session, &Session::event, this, &StationWindow::onEvent);
    connect(&session, &Session::logLost, this, [this](const QString &reason) {
        showProblem(reason + "; the boards under way finish and the station stops");
    });
    connect(&session, &Session::finished, this, &StationWindow::onFinished, Qt::QueuedConnection);
    recent->clear();
    session.start();
    clockTimer.start(ClockMs);
    redraw(true);
    statusBar()->showMessage(QString("job %1, %2 slots%3")
                                 .arg(job->path)
                                 .arg(job->slotList.size())
                                 .arg(isLocked() ? ", locked: start, stop and read only" : ""));
    updateActions();
    emit started();
}

Session *StationWindow::session() const
{
    return run ? run->session() : nullptr;
}

void StationWindow::stop()
{
    if (!running)
        return;
    confirmStop([this] {
        if (session())
            session()->stop();
        else
            stopAsked = true; // still being prepared: it starts no slot
    });
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
        if (answer == QMessageBox::Yes && running)
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
    recent->add(event);
    const bool failed = event.outcome != Outcome::Done && event.outcome != Outcome::Stopped;
    if (failed && alarmAction->isChecked()) {
        QApplication::beep();
        emit alarm();
    }
}

void StationWindow::onFinished()
{
    redrawTimer.stop();
    clockTimer.stop();
    redraw(true);
    // The recorder settles what the slots left with the store, and the log closes.
    finishing.setFuture(QtConcurrent::run([kept = run] { kept->finish(); }));
}

void StationWindow::onRunFinished()
{
    running = false;
    updateActions();
    emit stopped();
    if (closeWhenStopped)
        close();
}

void StationWindow::redraw(bool all)
{
    if (!session())
        return;
    const StationState &state = session()->state();
    showStore();
    for (int i = 0; i < tiles.size(); ++i)
        if (all || dirty.contains(i))
            tiles[i]->show(state.slot(i));
    dirty.clear();
    totals->show(state);
}

void StationWindow::showStore()
{
    // The recorder's status is kept as it goes: reading it never waits on the store.
    if (run && run->recorder() && run->store())
        storeView->show(*run->store(), run->recorder()->status(),
                        run->settings().serial.has_value());
}

void StationWindow::updateActions()
{
    const bool busy = loading.isRunning();
    openAction->setEnabled(!isLocked() && !running && !busy);
    alarmAction->setEnabled(!isLocked());
    startAction->setEnabled(job.has_value() && !running && !busy);
    stopAction->setEnabled(running);
}

void StationWindow::chooseJob()
{
    if (isLocked() || running)
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

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (!running) {
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
