#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

// Tells when what a port pattern may match has changed: a port or a link appeared, vanished or
// now leads elsewhere in the pattern's folder. The folder is watched (inotify), so a board is
// seen as it is plugged in and nothing runs while nothing happens. A folder that cannot be
// watched (it does not exist yet, as /dev/serial/by-path before the first adapter, or the pattern
// globs a folder) is looked at every 100 ms instead, until it can be; a folder removed and made
// again is watched again.
class FolderWatch : public QObject
{
    Q_OBJECT

public:
    static constexpr int PollMs = 100;

    // Made on the thread that uses it: the watcher's notifier belongs to that thread.
    explicit FolderWatch(const QString &pattern, QObject *parent = nullptr);

    // The folder of the pattern's last part; empty when a folder part has a glob character.
    static QString folderOf(const QString &pattern);
    bool watching() const;

signals:
    void changed();

private:
    void arm();

    const QString folder;
    QFileSystemWatcher watcher;
    QTimer poll;
};
