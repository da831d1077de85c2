#include "cli/session.h"

#include "cli/boardrunner.h"
#include "cli/reporter.h"

#include <QThread>

Session::Session(const QStringList &paths, int baud, const QByteArray &image, quint16 checksum,
                 Reporter *reporter)
    : reporter(reporter)
{
    for (const QString &path : paths) {
        Board board;
        board.thread = new QThread;
        board.runner = new BoardRunner(image, checksum, path, baud);
        board.runner->moveToThread(board.thread);
        connect(board.thread, &QThread::started, board.runner, &BoardRunner::start);
        const int index = boards.size();
        connect(board.runner, &BoardRunner::progress, this,
                [this, index](int percent) { this->reporter->progress(index, percent); });
        connect(board.runner, &BoardRunner::finished, this,
                [this, index](int outcome, const QString &reason) {
                    onFinished(index, outcome, reason);
                });
        boards << board;
    }
}

Session::~Session()
{
    joinThreads();
}

void Session::start()
{
    remaining = boards.size();
    for (int i = 0; i < boards.size(); ++i) {
        reporter->started(i);
        boards[i].thread->start();
    }
}

void Session::stop()
{
    if (remaining == 0)
        return; // every board already has its result
    interrupted = true;
    // Each runner drops its engine on its own thread, which closes that board's port.
    for (const Board &board : qAsConst(boards))
        QMetaObject::invokeMethod(board.runner, &BoardRunner::stop, Qt::QueuedConnection);
}

int Session::exitStatus() const
{
    if (interrupted)
        return InterruptedStatus;
    for (const Board &board : boards)
        if (board.outcome != BoardRunner::Done)
            return 1;
    return 0;
}

void Session::onFinished(int board, int outcome, const QString &reason)
{
    boards[board].outcome = outcome;
    reporter->result(board, outcome, reason);
    if (--remaining == 0) {
        joinThreads();
        emit finished();
    }
}

void Session::joinThreads()
{
    for (Board &board : boards) {
        if (!board.thread)
            continue;
        board.thread->quit();
        board.thread->wait();
        // The thread has ended, so nothing runs the runner's code any more.
        delete board.runner;
        delete board.thread;
        board.thread = nullptr;
        board.runner = nullptr;
    }
}
