#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the main thread's event loop: the handler
// only writes the signal's number into a socket pair, which a notifier reads.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    SignalWatcher();
    ~SignalWatcher() override;

    bool install(); // false when the socket pair cannot be made

signals:
    void caught(int signal);

private:
    void drain();

    QSocketNotifier *notifier = nullptr;
};
