#pragma once

#include <QtGlobal>

// What the benchmarks measure of a process: processor time and resident memory.

double threadCpuSeconds();
// Of the children that have ended, together.
double childCpuSeconds();
// A field of /proc/<pid>/status in KiB, such as "VmRSS:" or "VmHWM:"; pid 0: this process.
// -1 when it cannot be read.
qint64 statusKiB(const char *field, qint64 pid = 0);
// Starts this process's peak (VmHWM) afresh from its current resident size.
void resetPeakMemory();

// Read from /proc, outside the measured program's own accounting; -1 when it cannot be read.
// One thread's time on a core (its schedstat, in nanoseconds); pid 0: this process.
double taskCpuSeconds(qint64 pid, qint64 tid);
// How often the thread has given up its core to wait (voluntary_ctxt_switches): its wake-ups.
qint64 taskWakeUps(qint64 pid, qint64 tid);
// A whole process's, every thread that has run in it included (utime and stime of its stat); pid
// 0: this process.
double processCpuSeconds(qint64 pid);
// This process's threads that run neither Qt's threads nor the main one: the simulated loaders
// and the harness around them. Ended ones count too.
double harnessCpuSeconds();
// The calling thread's id, for taskCpuSeconds.
qint64 currentTid();
