#pragma once

#include "station/boardevent.h"
#include "station/target.h"

#include <QByteArray>
#include <QObject>
#include <QVector>

class BoardRunner;
class QThread;

// One run: a thread and a runner per target, all downloading at once. A board that fails or
// hangs touches no other. Ends when every board has a result and its thread is gone.
class Session : public QObject
{
    Q_OBJECT

public:
    static constexpr int InterruptedStatus = 130;

    Session(const Targets &targets, int baud, const QByteArray &image, quint16 checksum);
    ~Session() override;

    void start();
    void stop(); // for a stop signal: every running download ends as stopped
    int exitStatus() const;

signals:
    void event(const BoardEvent &event); // on the main thread, in the order they happened
    void finished();

private:
    struct Board {
        QThread *thread = nullptr;
        BoardRunner *runner = nullptr;
        bool done = false;
    };

    void onEvent(const BoardEvent &event);
    void joinThreads();

    QVector<Board> boards;
    int remaining = 0;
    bool interrupted = false;
};
