#pragma once

#include "testing/simloader/simloader.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// A plain lumedra-cli run as the benchmarks measure it: `program` writing the image at
// `imagePath` into `boards` simulated loaders at once, each on a pseudo-terminal of its own
// with `line`'s settings.
struct CliRun {
    double wallSeconds = 0;
    double cpuSeconds = 0; // the process's, its start and exit included
    qint64 peakKiB = 0;    // its peak resident memory
    bool ok = false;       // exit status 0, and every loader holds `image`
};

CliRun runCli(const QString &program, const QString &imagePath, const QByteArray &image, int boards,
              const SimLoader::Faults &line, const QStringList &extraArgs = {});

class QProcess;

// Stops a lumedra-cli that still runs as Ctrl-C would. One that has ended has no id: a signal to
// id 0 would go to the whole process group, the benchmark and its shell with it.
void interrupt(QProcess &cli);
