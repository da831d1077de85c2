#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>

// The ports the slots of a station hold, shared by their threads: a slot whose pattern matches
// several ports takes one no other slot holds, so two slots never fight over one board.
class PortClaims
{
public:
    // The first existing path that `pattern` matches (a path or a glob pattern, matches in
    // sorted order) and no other slot holds, now held by the caller; empty when there is none.
    QString claim(const QString &pattern);
    void release(const QString &path);
    // The existing paths `pattern` matches now, sorted.
    static QStringList matching(const QString &pattern);

private:
    QMutex mutex;
    QHash<QString, QString> held; // the device each claimed path named when it was claimed
};
