#include "bench/clirun.h"

#include "bench/usage.h"
#include "testing/kit/waitfor.h"

#include <QElapsedTimer>
#include <QProcess>

#include <csignal>
#include <memory>
#include <vector>

CliRun runCli(const QString &program, const QString &imagePath, const QByteArray &image, int boards,
              const SimLoader::Faults &line, const QStringList &extraArgs)
{
    CliRun run;
    std::vector<std::unique_ptr<SimLoader>> loaders;
    QStringList args = extraArgs;
    args << imagePath;
    for (int i = 0; i < boards; ++i) {
        loaders.push_back(std::make_unique<SimLoader>(line));
        if (!loaders.back()->start())
            return run;
        args << "-p" << loaders.back()->portName();
    }
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setStandardErrorFile(QProcess::nullDevice());
    const double cpuBefore = childCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    cli.start(program, args);
    // The peak is read while the process lives: once it has ended, /proc no longer has it.
    const int TenMinutesMs = 600000;
    const bool ended = waitFor(
        [&] {
            run.peakKiB = qMax(run.peakKiB, statusKiB("VmHWM:", cli.processId()));
            return cli.state() == QProcess::NotRunning;
        },
        TenMinutesMs);
    if (!ended)
        return run;
    run.wallSeconds = clock.nsecsElapsed() / 1e9;
    run.cpuSeconds = childCpuSeconds() - cpuBefore;
    run.ok = cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0;
    for (const auto &loader : loaders)
        run.ok = run.ok && loader->image() == image;
    return run;
}

void interrupt(QProcess &cli)
{
    if (cli.processId() > 0)
        ::kill(pid_t(cli.processId()), SIGINT);
}
