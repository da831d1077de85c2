#include "station/storekeeper.h"

#include "records/recorder.h"

#include <QTimer>

StoreKeeper::StoreKeeper(Recorder *recorder)
{
    auto *timer = new QTimer;
    timer->setInterval(HealMs);
    timer->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, timer, qOverload<>(&QTimer::start));
    QObject::connect(timer, &QTimer::timeout, timer, [recorder] {
        const Recorder::Status status = recorder->status();
        QString error;
        if (status.lost || status.spooled > 0)
            recorder->heal(&error);
    });
    // Told on the thread itself as it ends: its connection and its timer go with it.
    QObject::connect(
        &thread, &QThread::finished, timer,
        [recorder, timer] {
            recorder->closeThread();
            delete timer;
        },
        Qt::DirectConnection);
    thread.setObjectName("store keeper");
    thread.start();
}

StoreKeeper::~StoreKeeper()
{
    thread.quit();
    thread.wait();
}
