#pragma once

#include <QThread>

class Recorder;

// Keeps a run's record store in step from a thread of its own: while the store is lost or the
// spool holds entries, the spool is written into it every few seconds, so that everything recovers
// by itself once the store answers again, whether or not a board finishes meanwhile. Nobody waits
// on it.
class StoreKeeper
{
public:
    static constexpr int HealMs = 2000;

    explicit StoreKeeper(Recorder *recorder);
    ~StoreKeeper(); // stops, and waits for a write under way
    StoreKeeper(const StoreKeeper &) = delete;
    StoreKeeper &operator=(const StoreKeeper &) = delete;

private:
    QThread thread;
};
