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
