#include "station/folderwatch.h"

#include <QFileInfo>
#include <QRegularExpression>

FolderWatch::FolderWatch(const QString &pattern, QObject *parent)
    : QObject(parent), folder(folderOf(pattern)), watcher(this), poll(this)
{
    poll.setInterval(PollMs);
    connect(&poll, &QTimer::timeout, this, [this] {
        arm();
        emit changed();
    });
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        // The folder itself may be gone: then it is polled until it is back.
        arm();
        emit changed();
    });
    arm();
}

QString FolderWatch::folderOf(const QString &pattern)
{
    static const QRegularExpression glob(QStringLiteral("[*?\\[]"));
    const QString folder = QFileInfo(pattern).path();
    return folder.contains(glob) ? QString() : folder;
}

bool FolderWatch::watching() const
{
    return !watcher.directories().isEmpty();
}

void FolderWatch::arm()
{
    const bool there = !folder.isEmpty() && QFileInfo(folder).isDir();
    if (there && !watching())
        watcher.addPath(folder);
    else if (!there && watching())
        watcher.removePaths(watcher.directories());
    if (watching())
        poll.stop();
    else if (!poll.isActive())
        poll.start();
}
