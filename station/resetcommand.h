#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

// Runs the user's reset command for one port through the shell: a relay, a USB power switch, a
// lab supply. "{port}" in the command becomes the port's path, quoted for the shell. The command
// has a time limit; it and everything it started go when it runs over or the run stops.
class ResetCommand : public QObject
{
    Q_OBJECT

public:
    static constexpr int LimitMs = 10000;

    explicit ResetCommand(QObject *parent = nullptr);
    ~ResetCommand() override;

    void start(const QString &command, const QString &port);
    void stop(); // ends the command and its children; no result follows

    // The command as the shell gets it.
    static QString expand(const QString &command, const QString &port);

signals:
    // Once per start: ok, or why not (exit status or time-out, and the last line of its errors).
    void finished(bool ok, const QString &reason);

private:
    class Process;

    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onTimeout();
    void end(bool ok, const QString &reason);
    QString lastErrorLine() const;

    Process *process = nullptr;
    QTimer limit;
    QByteArray errorTail; // the end of its standard error
};
