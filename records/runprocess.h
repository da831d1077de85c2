#pragma once

#include <QtGlobal>

// Whether the process a run was started by still lives on this host.
class RunProcess
{
public:
    // A process that has ended is gone, and so is one killed but not yet reaped (a zombie),
    // though kill() still finds it. One that kill() may not signal (EPERM) lives on under another
    // user.
    static bool alive(qint64 pid);
};
