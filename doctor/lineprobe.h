#pragma once

#include "doctor/proctable.h"

#include <QString>
#include <QVector>

// The port's exclusive-mode flag and whether it has modem lines, asked of the driver without
// disturbing whoever uses the port.
struct LineProbe {
    enum class State { Unknown, Yes, No };

    State exclusive = State::Unknown;
    State modemLines = State::Unknown;
    QString unknownWhy; // why the driver was not asked
    bool busy = false;  // an open failed because the port is in exclusive mode

    // Every open of a tty, even a non-blocking one, raises DTR and RTS, which resets many boards;
    // so a port that some process holds is never opened: the holder's own descriptor is borrowed
    // (pidfd_getfd), which needs the right to trace it. An unheld port is opened and closed.
    static LineProbe of(const QString &hostPath, const QVector<ProcTable::Holder> &holders,
                        bool mayBorrow);
};
