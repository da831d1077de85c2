#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

// The objects of a JSON-lines file such as a board log; none when it cannot be read.
QList<QJsonObject> readJsonLines(const QString &path);
