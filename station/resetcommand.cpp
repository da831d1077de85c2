#include "station/resetcommand.h"

#include <csignal>

#include <unistd.h>

namespace
{
constexpr int ErrorTailBytes = 4096;
} // namespace

// A process in a group of its own, so that the time limit reaches what the shell started too.
class ResetCommand::Process : public QProcess
{
public:
    using QProcess::QProcess;

    void killGroup()
    {
        if (group > 0)
            ::kill(-group, SIGKILL);
    }

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }

private:
    friend class ResetCommand;
    pid_t group = 0; // the command's process group, kept after the command itself has ended
};

ResetCommand::ResetCommand(QObject *parent) : QObject(parent)
{
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer); // a coarse timer may cut the command short
    limit.setInterval(LimitMs);
    connect(&limit, &QTimer::timeout, this, &ResetCommand::onTimeout);
}

ResetCommand::~ResetCommand()
{
    stop();
}

QString ResetCommand::expand(const QString &command, const QString &port)
{
    QString quoted = port;
    quoted.replace('\'', QLatin1String("'\\''"));
    return QString(command).replace(QLatin1String("{port}"), '\'' + quoted + '\'');
}

void ResetCommand::start(const QString &command, const QString &port)
{
    stop();
    errorTail.clear();
    process = new Process(this);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardInputFile(QProcess::nullDevice());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LUMEDRA_PORT", port);
    process->setProcessEnvironment(environment);
    connect(process, &QProcess::readyReadStandardError, this, [this] {
        errorTail += process->readAllStandardError();
        if (errorTail.size() > ErrorTailBytes)
            errorTail = errorTail.right(ErrorTailBytes);
    });
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &ResetCommand::onFinished);
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(false, "the reset command could not start: " + process->errorString());
    });
    limit.start();
    process->start("/bin/sh", {"-c", expand(command, port)});
    process->group = pid_t(process->processId());
}

void ResetCommand::stop()
{
    limit.stop();
    if (!process)
        return;
    process->disconnect(this);
    // What the command left running in the background goes with it.
    process->killGroup();
    if (process->state() != QProcess::NotRunning)
        process->waitForFinished(1000);
    // Possibly called from one of its own signals: it goes once that has returned.
    process->deleteLater();
    process = nullptr;
}

void ResetCommand::onFinished(int exitCode, QProcess::ExitStatus status)
{
    errorTail += process->readAllStandardError();
    if (status == QProcess::NormalExit && exitCode == 0) {
        end(true, QString());
        return;
    }
    QString reason = status == QProcess::NormalExit
                         ? QString("the reset command exited with status %1").arg(exitCode)
                         : QString("the reset command was killed");
    const QString line = lastErrorLine();
    if (!line.isEmpty())
        reason += ": " + line;
    end(false, reason);
}

void ResetCommand::onTimeout()
{
    const QString line = lastErrorLine();
    end(false, QString("the reset command took longer than %1 s").arg(LimitMs / 1000) +
                   (line.isEmpty() ? QString() : ": " + line));
}

void ResetCommand::end(bool ok, const QString &reason)
{
    stop();
    emit finished(ok, reason);
}

QString ResetCommand::lastErrorLine() const
{
    const QList<QByteArray> lines = errorTail.trimmed().split('\n');
    return QString::fromLocal8Bit(lines.last()).trimmed();
}
