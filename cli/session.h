#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QVector>

class BoardRunner;
class QThread;
class Reporter;

// One run: a thread and a runner per board, all downloading at once. A board that fails or hangs
// touches no other. Ends when every board has a result and its thread is gone.
class Session : public QObject
{
    Q_OBJECT

public:
    static constexpr int InterruptedStatus = 130;

    Session(const QStringList &paths, int baud, const QByteArray &image, quint16 checksum,
            Reporter *reporter);
    ~Session() override;

    void start();
    void stop(); // for a stop signal: every running download ends as stopped
    int exitStatus() const;

signals:
    void finished();

private:
    struct Board {
        QThread *thread = nullptr;
        BoardRunner *runner = nullptr;
        int outcome = -1;
    };

    void onFinished(int board, int outcome, const QString &reason);
    void joinThreads();

    Reporter *const reporter;
    QVector<Board> boards;
    int remaining = 0;
    bool interrupted = false;
};
