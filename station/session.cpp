#include "station/session.h"

#include "station/boardrunner.h"

#include <QThread>

Session::Session(const Targets &targets, int baud, const QByteArray &image, quint16 checksum)
{
    // Events cross from the boards' threads through queued connections.
    qRegisterMetaType<BoardEvent>();
    for (const Target &target : targets) {
        Board board;
        board.thread = new QThread;
        board.runner = new BoardRunner(boards.size(), image, checksum, target.path, baud);
        board.runner->moveToThread(board.thread);
        connect(board.thread, &QThread::started, board.runner, &BoardRunner::start);
        connect(board.runner, &BoardRunner::event, this, &Session::onEvent);
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
    for (const Board &board : qAsConst(boards))
        board.thread->start();
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
        if (!board.done)
            return 1;
    return 0;
}

void Session::onEvent(const BoardEvent &event)
{
    emit this->event(event);
    if (event.kind != BoardEvent::Kind::Result)
        return;
    boards[event.target].done = event.outcome == Outcome::Done;
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
